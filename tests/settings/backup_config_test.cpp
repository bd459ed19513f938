#include "common/settings_file.h"
#include "settings/backup_config.h"

#include "common/prefixes.h"
#include "games/machine_name.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

namespace {

using Errors = std::vector<std::string>;

std::string SettingsFile() {
    return testenv::ConfigHome() + "/mfbackup.ini";
}

std::string GameDefault() {
    return testenv::WinePrefix() + "/drive_c/Program Files/Corvanta Software/Moonforge/";
}
std::string BackupDefault() {
    return testenv::Home() + "/Moonforge Backup/";
}

// A short string field as it lies in the file: length byte, text, zeros.
std::string Field(const std::string& text) {
    std::string out(1, static_cast<char>(text.size()));
    out += text;
    out.resize(256, '\0');
    return out;
}

// The image a first start writes, built from the layout, not from the code.
std::string DefaultImage() {
    return std::string("\x01\x01\x00", 3) + Field(GameDefault()) + Field(BackupDefault()) +
           std::string("\x00\x01", 2);
}

std::string Image(const TBackupConfig& config) {
    const auto bytes = config.ToBytes();
    return std::string(bytes.begin(), bytes.end());
}

// Bytes that differ from the defaults everywhere, so each one read shows.
std::string Pattern(std::size_t size) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        out[i] = static_cast<char>(0x80 + i % 101);
    return out;
}

void WriteSystemReg(const std::string& valueLine,
                    const std::string& prefix = testenv::WinePrefix()) {
    testenv::WriteFile(prefix + "/system.reg",
                       "WINE REGISTRY Version 2\n"
                       ";; All keys relative to \\\\Machine\n\n"
                       "[System\\\\CurrentControlSet\\\\Control\\\\ComputerName\\\\ComputerName]"
                       " 1700000000\n" +
                           valueLine + "\n\n");
}

} // namespace

TEST(SettingsFile, FirstStartWritesTheDefaultImage) {
    ASSERT_FALSE(testenv::Exists(SettingsFile()));
    const Errors errors = InitialiseSettings();

    const std::string expected = DefaultImage();
    ASSERT_EQ(expected.size(), 517u);
    EXPECT_EQ(testenv::ReadFile(SettingsFile()), expected);
    EXPECT_EQ(Image(BackupConfig), expected);
    EXPECT_EQ(BackupConfig.GameDir.Get(), GameDefault());
    EXPECT_EQ(BackupConfig.BackupDir.Get(), BackupDefault());
    EXPECT_EQ(errors, Errors{});
}

TEST(SettingsFile,
     FirstStartTakesTheFirstInstallationFoundAndItsMachineNameAndMakesTheBackupFolder) {
    const testenv::LauncherGames games = testenv::MakeLauncherGames();
    WriteSystemReg("\"ComputerName\"=\"WINEBOX\"");
    WriteSystemReg("\"ComputerName\"=\"PROTONBOX\"", games::PrefixOfPath(games.proton));
    InitialiseSettings();
    EXPECT_EQ(BackupConfig.GameDir.Get(), games.proton);
    EXPECT_EQ(ComputerName, "PROTONBOX");
    std::string expected = DefaultImage();
    expected.replace(3, 256, Field(games.proton));
    EXPECT_EQ(testenv::ReadFile(SettingsFile()), expected);

    // The first backup finds its folder.
    EXPECT_TRUE(std::filesystem::is_directory(BackupDefault()));

    // Only a first start looks, or makes a folder: a settings file keeps its
    // game folder, and a backup folder gone later stays an error.
    std::filesystem::remove_all(testenv::Home() + "/.local/share/Steam/steamapps/compatdata");
    std::filesystem::remove(BackupDefault());
    InitialiseSettings();
    EXPECT_EQ(BackupConfig.GameDir.Get(), games.proton);
    EXPECT_FALSE(std::filesystem::exists(BackupDefault()));
}

TEST(SettingsFile, PathFollowsTheConfigHomeAndCreatesItsFolder) {
    // A folder name that is not UTF-8 is no reason to lose the settings.
    const std::string nested = testenv::Scratch() + "/deep \xE9t\xE9/config";
    setenv("XDG_CONFIG_HOME", nested.c_str(), 1);
    EXPECT_EQ(SettingsFilePath(), nested + "/mfbackup.ini");
    EXPECT_EQ(InitialiseSettings(), Errors{});
    EXPECT_EQ(testenv::ReadFile(nested + "/mfbackup.ini").size(), 517u);
    BackupConfig.ZipBackups = 1;
    ASSERT_TRUE(testenv::SaveSettings());
    InitialiseSettings();
    EXPECT_EQ(BackupConfig.ZipBackups, 1);

    // A relative value is no base directory: the home's .config is used.
    setenv("XDG_CONFIG_HOME", "relative/dir", 1);
    EXPECT_EQ(SettingsFilePath(), testenv::Home() + "/.config/mfbackup.ini");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(SettingsFilePath(), testenv::Home() + "/.config/mfbackup.ini");
}

// Whatever the file's length, its leading bytes (at most 517) replace those of
// the defaults (3: the kinds alone; 10: a game folder cut inside, its missing
// characters the default's), and the file itself is left as it is.
class FileOfSize : public testing::TestWithParam<std::size_t> {};

TEST_P(FileOfSize, ReplacesOnlyTheBytesItHolds) {
    const std::size_t size = GetParam();
    const std::string content = Pattern(size);
    testenv::WriteFile(SettingsFile(), content);

    EXPECT_EQ(InitialiseSettings(), Errors{});

    std::string expected = DefaultImage();
    expected.replace(0, std::min<std::size_t>(size, 517), content.substr(0, 517));
    EXPECT_EQ(Image(BackupConfig), expected);
    EXPECT_EQ(testenv::ReadFile(SettingsFile()), content) << "rewritten at start-up";
}

INSTANTIATE_TEST_SUITE_P(Sizes, FileOfSize, testing::Values(0, 3, 10, 260, 517, 600));

TEST(SettingsFile, LengthByte255WithGarbageIsReadAndWrittenBackAsItStands) {
    std::string content = DefaultImage();
    std::string garbage(255, '\0');
    for (std::size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>(0xFF - i); // not valid UTF-8, holds zeros
    content[3] = char(255);
    content.replace(4, 255, garbage);
    content[259] = char(255);
    testenv::WriteFile(SettingsFile(), content);

    InitialiseSettings();
    EXPECT_EQ(BackupConfig.GameDir.Get(), garbage);
    EXPECT_EQ(BackupConfig.BackupDir.Get().size(), 255u);
    EXPECT_EQ(BackupConfig.BackupDir.Get().substr(0, BackupDefault().size()), BackupDefault());

    ASSERT_TRUE(testenv::SaveSettings());
    EXPECT_EQ(testenv::ReadFile(SettingsFile()), content);
}

TEST(SettingsFile, FolderInPlaceOfTheFileKeepsTheDefaultsAndSaysSoOnce) {
    std::filesystem::create_directories(SettingsFile());
    EXPECT_EQ(InitialiseSettings(), Errors{"Cannot create file " + SettingsFile()});
    EXPECT_EQ(Image(BackupConfig), DefaultImage());

    std::string why;
    EXPECT_FALSE(SaveConfig(why));
    EXPECT_EQ(why, "Cannot create file " + SettingsFile());
}

TEST(SettingsFile, SaveOnAFullDiskKeepsTheOldRecordAndSaysSo) {
    const std::string disk = testenv::Scratch() + "/small-disk";
    testenv::TmpfsMount mount(disk, 64 * 1024);
    if (!mount.Mounted())
        GTEST_SKIP() << "No small file system to fill, so no full-disk save: " << mount.Reason();
    ::setenv("XDG_CONFIG_HOME", disk.c_str(), 1);
    const std::string file = disk + "/mfbackup.ini";
    InitialiseSettings();
    const std::string before = testenv::ReadFile(file);
    ASSERT_EQ(before.size(), 517u);

    // Fill what is left of the disk.
    const int fd = ::open((disk + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'f');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    EXPECT_EQ(errno, ENOSPC);
    ::close(fd);

    BackupConfig.GameDir.Set("/somewhere/else/");
    std::string why;
    EXPECT_FALSE(SaveConfig(why));
    EXPECT_EQ(why, "Cannot create file " + file);
    EXPECT_EQ(testenv::ReadFile(file), before);
    EXPECT_EQ(testenv::Listing(disk), (std::vector<std::string>{"filler", "mfbackup.ini"}))
        << "no temporary left";

    // With room again, the new record is saved whole.
    std::filesystem::remove(disk + "/filler");
    EXPECT_TRUE(testenv::SaveSettings());
    EXPECT_EQ(testenv::ReadFile(file), Image(BackupConfig));
}

TEST(SettingsFile, WithoutHomeTheDefaultsComeFromThePasswordDatabase) {
    ::unsetenv("HOME");
    ::unsetenv("WINEPREFIX");
    const passwd* pw = ::getpwuid(::getuid());
    ASSERT_NE(pw, nullptr);
    const std::string home = std::string(pw->pw_dir) == "/" ? "" : pw->pw_dir;
    EXPECT_EQ(DefaultBackupDir(), home + "/Moonforge Backup/");
    EXPECT_EQ(DefaultGameDir(), home + "/.wine/drive_c/Program Files/Corvanta Software/Moonforge/");
    ::setenv("HOME", testenv::Home().c_str(), 1);
    ::setenv("WINEPREFIX", testenv::WinePrefix().c_str(), 1);
}

TEST(ShortStringTest, CutsAt255BytesWithoutSplittingACharacter) {
    ShortString s;
    std::string text;
    for (int i = 0; i < 200; ++i)
        text += "\xC3\xA9"; // é, two bytes
    s.Set(text);
    EXPECT_EQ(s.Bytes[0], 254);
    EXPECT_EQ(s.Get(), text.substr(0, 254));

    s.Set(std::string(300, 'a'));
    EXPECT_EQ(s.Get(), std::string(255, 'a'));
}

TEST(MachineIdentity, TheGamesOwnPrefixNamesTheMachineFirst) {
    std::string why;
    const std::string proton = testenv::Home() + "/.steam/steam/steamapps/compatdata/1/pfx";
    BackupConfig.GameDir.Set(testenv::MakeInstallation(proton));
    WriteSystemReg("\"ComputerName\"=\"WINEBOX\"");
    ReadMachineIdentity(why);
    EXPECT_EQ(ComputerName, "WINEBOX") << "no system.reg in the game's prefix";
    WriteSystemReg("\"Other\"=\"x\"", proton);
    ReadMachineIdentity(why);
    EXPECT_EQ(ComputerName, "WINEBOX") << "no name in the game's prefix";
    WriteSystemReg("\"ComputerName\"=\"PROTONBOX\"", proton);
    ReadMachineIdentity(why);
    EXPECT_EQ(ComputerName, "PROTONBOX");
}

TEST(MachineIdentity, FallsBackToTheHostName) {
    std::string why;
    ComputerName = "stale";
    ReadMachineIdentity(why);
    EXPECT_EQ(ComputerName, games::HostComputerName());
    EXPECT_FALSE(ComputerName.empty());
}

TEST(MachineIdentity, WrongTypeLeavesTheNameEmptyAndStartUpGoesOn) {
    WriteSystemReg("\"ComputerName\"=dword:00000001");
    EXPECT_EQ(InitialiseSettings(), Errors{"Invalid data type for 'ComputerName'"});
    EXPECT_EQ(ComputerName, "");
    EXPECT_EQ(testenv::ReadFile(SettingsFile()).size(), 517u);
}
