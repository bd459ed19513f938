#pragma once

// Where Moonforge may be installed on this machine: the Wine prefixes that
// plain Wine, Steam's Proton, Lutris, Bottles, Heroic and PlayOnLinux make,
// each searched for the game's folder.

#include <string>
#include <string_view>
#include <vector>

namespace games {

// One Wine prefix (a folder holding drive_c) and the launcher that made it.
struct WinePrefixPlace {
    std::string Path; // without a trailing '/'
    std::string Launcher;
};

struct GameInstallation {
    std::string GameDir; // ".../drive_c/Program Files/Corvanta Software/Moonforge/", as on disk
    std::string Launcher;
    bool HasSave = false; // holds a "save" folder
};

// The Wine prefixes of this user that exist, in the order they are searched:
// $WINEPREFIX and ~/.wine; Steam's compatdata/*/pfx in each library it lists
// (native and Flatpak); Lutris (each game's prefix, then ~/Games/*); Bottles
// (native and Flatpak); Heroic; PlayOnLinux. A prefix reached twice (through
// a link, or named by two launchers) is kept at its first place.
std::vector<WinePrefixPlace> FindWinePrefixes();

// Every installation in those prefixes: first all that hold a save folder,
// then those without one, each group in the order of its prefixes.
std::vector<GameInstallation> FindGameInstallations();

// Where FindWinePrefixes looks, one line per launcher ("Steam: ..."), with
// the home folder written as "~".
std::vector<std::string> WinePrefixSearchPlaces();

// The folder above the last "drive_c" component of `path` (ASCII case
// ignored), without a trailing '/'; "" when it has none.
std::string PrefixOfPath(std::string_view path);

// The readers of the launchers' files. Each takes the file's text as it is,
// damaged or hostile, and never reads past it.

// The library folders listed in Steam's libraryfolders.vdf: "path" of each
// numbered entry (or, in the old form, the numbered value itself). Only
// absolute paths, at most kMaxSteamLibraries.
inline constexpr std::size_t kMaxSteamLibraries = 64;
std::vector<std::string> ParseSteamLibraryFolders(std::string_view vdf);

// The value of `prefix:` in the `game:` section of a Lutris game file, as
// written ("~/..." is left to the caller); "" when there is none.
std::string ParseLutrisPrefix(std::string_view yml);

} // namespace games
