#include "sets/kinds.h"

#include "platform/files.h"
#include "platform/paths.h"

namespace sets {
namespace {

struct KindPlace {
    const char* Folder;
    const char* Stem;
    const char* Extension;
};

const KindPlace& PlaceOf(Kind kind) {
    static const KindPlace places[] = {{"save/characters/", "characters", "lpl"},
                                       {"save/net/", "net", "sav"},
                                       {"save/games/", "game*", "sav"}};
    return places[static_cast<int>(kind)];
}

} // namespace

bool KindSet::Has(Kind kind) const {
    switch (kind) {
    case Kind::Characters:
        return Characters;
    case Kind::Multiplayer:
        return Multiplayer;
    case Kind::Single:
        return Single;
    }
    return false;
}

void KindSet::Set(Kind kind, bool on) {
    switch (kind) {
    case Kind::Characters:
        Characters = on;
        break;
    case Kind::Multiplayer:
        Multiplayer = on;
        break;
    case Kind::Single:
        Single = on;
        break;
    }
}

std::string KindFolder(Kind kind) {
    return PlaceOf(kind).Folder;
}

std::string KindFileName(Kind kind, bool zip) {
    const KindPlace& place = PlaceOf(kind);
    return std::string(place.Stem) + "." + (zip ? "zip" : place.Extension);
}

bool Holds(const std::string& folder, Kind kind, bool zip) {
    return platform::FileExists(folder + KindFileName(kind, zip));
}

KindSet HeldKinds(const std::string& folder, bool zip) {
    KindSet held;
    for (Kind kind : AllKinds)
        held.Set(kind, Holds(folder, kind, zip));
    return held;
}

} // namespace sets
