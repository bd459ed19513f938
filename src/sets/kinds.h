#pragma once

// The three kinds of save data, where each lives in the game's tree, and the
// names its files carry in a set or on a medium.

#include <array>
#include <string>

namespace sets {

enum class Kind { Characters, Multiplayer, Single };
inline constexpr std::array<Kind, 3> AllKinds = {Kind::Characters, Kind::Multiplayer, Kind::Single};

// A choice of kinds, in the order every operation offers them.
struct KindSet {
    bool Characters = false;
    bool Multiplayer = false;
    bool Single = false;

    bool Has(Kind kind) const;
    void Set(Kind kind, bool on);
    bool Any() const { return Characters || Multiplayer || Single; }
    bool operator==(const KindSet&) const = default;
};

// The kind's folder below the game folder ("save/characters/", ...).
std::string KindFolder(Kind kind);
// The name, or pattern, of the kind's files with their own extension
// ("characters.lpl", "net.sav", "game*.sav"), or with `zip` as archives.
std::string KindFileName(Kind kind, bool zip = false);

// Whether `folder` (ending in '/') holds the kind's files under the names of
// that form.
bool Holds(const std::string& folder, Kind kind, bool zip);
KindSet HeldKinds(const std::string& folder, bool zip);

} // namespace sets
