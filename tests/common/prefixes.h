#pragma once

// Wine prefixes as the launchers make them, in the test's temporary home.

#include "common/test_env.h"

#include <filesystem>
#include <string>

namespace testenv {

// A Wine prefix at `prefix` with Moonforge installed below `programFiles`,
// holding a save folder when `save`. Returns the game's folder, ending in '/'.
inline std::string MakeInstallation(const std::string& prefix, bool save = true,
                                    const std::string& programFiles = "Program Files") {
    const std::string game = prefix + "/drive_c/" + programFiles + "/Corvanta Software/Moonforge/";
    std::filesystem::create_directories(save ? game + "save" : game);
    return game;
}

// Removes every prefix and launcher file of the sandbox, for tests that
// share a process.
inline void ClearLauncherFolders() {
    for (const char* sub : {"/.wine", "/.steam", "/.local/share", "/.var", "/.config/lutris",
                            "/Games", "/.PlayOnLinux"})
        std::filesystem::remove_all(Home() + sub);
    std::filesystem::remove_all(WinePrefix() + "/drive_c");
    std::filesystem::remove_all(Scratch() + "/drive2");
    std::filesystem::remove_all(Scratch() + "/lutris");
}

// One installation of each kind the launchers make, in the order they are
// searched: Steam's Proton (in Steam's own library, and in a second library on
// "another drive" that libraryfolders.vdf lists), Lutris (a game file's
// prefix:), Bottles, Heroic.
struct LauncherGames {
    std::string proton, protonLibrary, lutris, bottles, heroic; // game folders
};

inline LauncherGames MakeLauncherGames() {
    ClearLauncherFolders();
    const std::string steam = Home() + "/.local/share/Steam";
    const std::string library = Scratch() + "/drive2/SteamLibrary";
    WriteFile(steam + "/steamapps/libraryfolders.vdf",
              "\"libraryfolders\"\n{\n"
              "\t\"0\"\n\t{\n\t\t\"path\"\t\t\"" +
                  steam +
                  "\"\n\t\t\"apps\"\n\t\t{\n\t\t\t\"2000\"\t\t\"1\"\n\t\t}\n\t}\n"
                  "\t\"1\"\n\t{\n\t\t\"path\"\t\t\"" +
                  library + "\"\n\t\t\"label\"\t\t\"\"\n\t}\n}\n");
    // ~/.steam/steam is Steam's link to its own folder: one library, not two.
    // It is searched first, and names the games it holds.
    std::filesystem::create_directories(Home() + "/.steam");
    std::filesystem::create_directory_symlink(steam, Home() + "/.steam/steam");

    const std::string lutrisPrefix = Scratch() + "/lutris/moonforge";
    WriteFile(Home() + "/.config/lutris/games/moonforge-1700000000.yml",
              "game:\n  exe: " + lutrisPrefix +
                  "/drive_c/Program Files/Corvanta Software/Moonforge/moonforge.exe\n"
                  "  prefix: " +
                  lutrisPrefix + "\nname: Moonforge\nrunner: wine\n");

    LauncherGames games;
    games.proton = MakeInstallation(Home() + "/.steam/steam/steamapps/compatdata/2000/pfx");
    games.protonLibrary =
        MakeInstallation(library + "/steamapps/compatdata/1000/pfx", true, "Program Files (x86)");
    games.lutris = MakeInstallation(lutrisPrefix);
    games.bottles = MakeInstallation(Home() + "/.local/share/bottles/bottles/Moonforge");
    games.heroic = MakeInstallation(Home() + "/Games/Heroic/Prefixes/default/Moonforge");
    return games;
}

} // namespace testenv
