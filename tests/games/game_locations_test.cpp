#include "games/game_locations.h"

#include "common/prefixes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>

using namespace games;
using namespace std::string_literals;
using Strings = std::vector<std::string>;

namespace {

// A folder with links resolved (Steam's ~/.steam/steam is one), ending in '/'.
std::string Real(const std::string& dir) {
    return std::filesystem::weakly_canonical(dir).string() + "/";
}

Strings GameDirs(const std::vector<GameInstallation>& found) {
    Strings dirs;
    for (const GameInstallation& g : found) {
        EXPECT_EQ(g.GameDir.back(), '/');
        dirs.push_back(Real(g.GameDir) + " " + g.Launcher);
    }
    return dirs;
}

} // namespace

TEST(GameLocations, EachLauncherIsSearchedInItsOrderAndGamesWithSavesComeFirst) {
    const testenv::LauncherGames games = testenv::MakeLauncherGames();
    const std::string home = testenv::Home();
    // Plain Wine: $WINEPREFIX (the game in Program Files (x86), in another
    // letter case) and ~/.wine without the game.
    const std::string wine =
        testenv::WinePrefix() + "/drive_c/program files (x86)/corvanta software/MOONFORGE/";
    std::filesystem::create_directories(wine + "save");
    std::filesystem::create_directories(home + "/.wine/drive_c");
    // Lutris's folder of prefixes, a game file naming one of them again ("~"
    // for the home), and Heroic's folder, which is no prefix.
    const std::string lutrisGames = testenv::MakeInstallation(home + "/Games/moonforge", false);
    testenv::WriteFile(home + "/.local/share/lutris/games/again.yml",
                       "game:\n  prefix: '~/Games/moonforge'\n");
    const std::string playOnLinux = testenv::MakeInstallation(home + "/.PlayOnLinux/wineprefix/MF");

    EXPECT_EQ(GameDirs(FindGameInstallations()),
              (Strings{Real(wine) + " Wine", Real(games.proton) + " Steam",
                       Real(games.protonLibrary) + " Steam", Real(games.lutris) + " Lutris",
                       Real(games.bottles) + " Bottles", Real(games.heroic) + " Heroic",
                       Real(playOnLinux) + " PlayOnLinux", Real(lutrisGames) + " Lutris"}));

    Strings prefixes;
    for (const WinePrefixPlace& p : FindWinePrefixes())
        prefixes.push_back(p.Path);
    ASSERT_EQ(prefixes.size(), 9u); // the eight above and ~/.wine
    EXPECT_EQ(prefixes[1], home + "/.wine");
    EXPECT_EQ(prefixes[5], home + "/Games/moonforge") << "named by Lutris's game file first";
}

TEST(GameLocations, DamagedOrHostileLauncherFilesAreSkipped) {
    testenv::ClearLauncherFolders();
    const std::string home = testenv::Home();
    const std::string steam = home + "/.local/share/Steam";
    std::filesystem::create_directories(steam + "/steamapps");
    // A FIFO would block a plain read; a huge file is read only in part.
    ASSERT_EQ(::mkfifo((steam + "/steamapps/libraryfolders.vdf").c_str(), 0600), 0);
    testenv::WriteFile(steam + "/config/libraryfolders.vdf", std::string(3 << 20, '{'));
    std::filesystem::create_directories(home + "/.config/lutris/games/folder.yml");
    testenv::WriteFile(home + "/.config/lutris/games/binary.yml", std::string("\0\xff\n", 3));
    std::filesystem::create_directories(home + "/Games");
    std::filesystem::create_directory_symlink(home + "/Games/loop", home + "/Games/loop");
    const std::string only = testenv::MakeInstallation(steam + "/steamapps/compatdata/7/pfx");
    // A relative prefix would be found wherever the program happens to run.
    const std::string here = testenv::Scratch() + "/here";
    testenv::MakeInstallation(here + "/rel");
    testenv::WriteFile(home + "/.config/lutris/games/relative.yml", "game:\n  prefix: rel\n");
    const auto before = std::filesystem::current_path();
    std::filesystem::current_path(here);

    const auto found = FindGameInstallations();
    std::filesystem::current_path(before);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].GameDir, only);
}

TEST(GameLocations, PrefixOfPathIsTheFolderAboveTheLastDriveC) {
    const std::pair<const char*, const char*> cases[] = {
        {"/h/.wine/drive_c/Program Files/Corvanta Software/Moonforge/", "/h/.wine"},
        {"/a/drive_c/b/drive_c/x/", "/a/drive_c/b"},
        {"/h/pfx/DRIVE_C/x", "/h/pfx"},
        {"/drive_c/x", "/"},
        {"/games/Moonforge/", ""},
        {"/h/my_drive_c/x", ""},
        {"", ""},
    };
    for (const auto& [path, prefix] : cases)
        EXPECT_EQ(PrefixOfPath(path), prefix) << path;
}

TEST(SteamLibraryFolders, ReadsBothFormsAndSurvivesDamage) {
    const std::string deep = std::string(100000, '{') + "\"1\" \"/deep\"";
    std::string many = "\"libraryfolders\" {";
    for (int i = 0; i < 100; ++i)
        many += " \"" + std::to_string(i) + "\" { \"path\" \"/lib" + std::to_string(i) + "\" }";
    const struct {
        std::string vdf;
        Strings expected;
    } cases[] = {
        {"\"libraryfolders\"\n{\n\t\"0\"\n\t{\n\t\t\"path\"\t\t\"/home/u/.local/share/Steam\"\n"
         "\t\t\"apps\"\n\t\t{\n\t\t\t\"228980\"\t\t\"/not/a/library\"\n\t\t}\n\t}\n"
         "\t\"1\"\n\t{\n\t\t\"label\" \"\"\n\t\t\"PATH\"\t\t\"/mnt/games/SteamLibrary\"\n\t}\n}\n",
         {"/home/u/.local/share/Steam", "/mnt/games/SteamLibrary"}},
        // The old form: numbered values beside other settings.
        {"\"LibraryFolders\"\r\n{\r\n\t\"TimeNextStatsReport\"\t\t\"1700000000\"\r\n"
         "\t\"1\"\t\t\"/media/ssd/Steam\"\r\n}\r\n",
         {"/media/ssd/Steam"}},
        {"// comment\n\"libraryfolders\" { \"1\" { \"path\" \"/a \\\"b\\\"\\\\c\" [$LINUX] } "
         "\"2\" { \"path\" \"relative/lib\" } \"x\" { \"path\" \"/named/not/numbered\" } }",
         {"/a \"b\"\\c"}},
        {"\"libraryfolders\" { \"1\" { \"path\" \"/cut/off", {"/cut/off"}},
        {"}}}} \"1\" \"/outside\" {{ \"path\" }", {}},
        {deep, {}},
        {many, {}},
        {"\"libraryfolders\" { \"1\" \"/nul\0byte\" }"s, {}},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Strings got = ParseSteamLibraryFolders(cases[i].vdf);
        if (cases[i].vdf == many) {
            ASSERT_EQ(got.size(), kMaxSteamLibraries);
            EXPECT_EQ(got.back(), "/lib63");
            continue;
        }
        EXPECT_EQ(got, cases[i].expected) << "case " << i;
    }
}

TEST(LutrisGameFile, ReadsThePrefixOfTheGameSection) {
    const std::pair<const char*, const char*> cases[] = {
        {"game:\n  exe: /x/game.exe\n  prefix: /home/u/Games/moonforge\nname: M\n",
         "/home/u/Games/moonforge"},
        {"name: M\r\ngame:\r\n  prefix: \"/q/with \\\"quote\\\"\"   # note\r\n",
         "/q/with \"quote\""},
        {"game:\n    prefix: 'it''s here' \n", "it's here"},
        {"game:\n  prefix: ~/Games/mf # where Lutris put it\n", "~/Games/mf"},
        {"game:\n  prefix: ~\n", ""},
        {"game:\n  prefix: 'never closed\n", ""},
        {"wine:\n  prefix: /not/the/game\n", ""},
        {"game:\n  args:\n    prefix: /nested\n  exe: x\n", ""},
        {"game:\n  exe: x\nsystem:\n  prefix: /after/the/section\n", ""},
        {"prefix: /top/level\n", ""},
        {"", ""},
    };
    for (const auto& [yml, prefix] : cases)
        EXPECT_EQ(ParseLutrisPrefix(yml), prefix) << yml;
}
