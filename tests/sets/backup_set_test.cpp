#include "common/test_env.h"
#include "platform/files.h"
#include "sets/backup_set.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

namespace fs = std::filesystem;
using Names = std::vector<std::string>;
using testenv::Listing;

namespace {

using namespace sets;

class BackupSetTest : public ::testing::Test {
protected:
    void SetUp() override {
        backupDir = testenv::Scratch() + "/Moonforge Backup/";
        fs::create_directories(backupDir);
    }

    bool Create(const std::string& description, std::string& setPath) {
        return CreateBackupSet(backupDir, description, setPath, why);
    }

    std::string backupDir;
    std::string why; // of the last set not made
};

TEST_F(BackupSetTest, NewSetsAreUniqueHexNamedFoldersWithoutLeftovers) {
    const fs::path here = fs::current_path();
    const std::regex setName("MFB[0-9A-F]{1,4}");
    std::set<std::string> made;
    for (int i = 0; i < 3; ++i) {
        std::string setPath;
        ASSERT_TRUE(Create("run " + std::to_string(i), setPath));
        ASSERT_EQ(setPath.substr(0, backupDir.size()), backupDir);
        ASSERT_EQ(setPath.back(), '/');
        const std::string name =
            setPath.substr(backupDir.size(), setPath.size() - backupDir.size() - 1);
        EXPECT_TRUE(std::regex_match(name, setName)) << name;
        EXPECT_TRUE(fs::is_directory(setPath));
        EXPECT_EQ(testenv::ReadFile(setPath + "desc.txt"), "run " + std::to_string(i) + "\r\n");
        made.insert(name);
    }
    EXPECT_EQ(made.size(), 3u);
    // Only the set folders are left: no temporary file of the same name.
    EXPECT_EQ(Listing(backupDir), Names(made.begin(), made.end()));
    // The current folder is not the sets' business.
    EXPECT_EQ(fs::current_path(), here);
    EXPECT_EQ(why, "");
}

TEST_F(BackupSetTest, DescriptionIsCutTo255BytesWithoutSplittingACharacter) {
    std::string setPath;
    ASSERT_TRUE(Create(std::string(300, 'x'), setPath));
    EXPECT_EQ(testenv::ReadFile(setPath + "desc.txt"), std::string(255, 'x') + "\r\n");

    std::string accented;
    for (int i = 0; i < 150; ++i)
        accented += "\xC3\xA9"; // é, two bytes each
    ASSERT_TRUE(Create(accented, setPath));
    EXPECT_EQ(testenv::ReadFile(setPath + "desc.txt"), accented.substr(0, 254) + "\r\n");
}

TEST_F(BackupSetTest, EmptyDescriptionWritesNoFileAndReadsEmpty) {
    std::string setPath;
    ASSERT_TRUE(Create("", setPath));
    EXPECT_EQ(Listing(setPath), Names{UnfinishedName}); // until its run ends
    EXPECT_TRUE(IsSetUnfinished(setPath));
    ASSERT_TRUE(MarkSetFinished(setPath));
    EXPECT_TRUE(Listing(setPath).empty());
    EXPECT_FALSE(IsSetUnfinished(setPath));
    const std::string name = fs::path(setPath).parent_path().filename().string();
    std::string description = "stale";
    ReadSetDescription(backupDir, name, description);
    EXPECT_EQ(description, "");
    // Nor has a folder the program did not make, or no folder at all.
    fs::create_directories(backupDir + "Other");
    description = "stale";
    ReadSetDescription(backupDir, "Other", description);
    EXPECT_EQ(description, "");
    EXPECT_EQ(ReadDescriptionFile(testenv::Scratch() + "/nowhere/"), "");
}

TEST_F(BackupSetTest, MissingBackupDirMakesNothingAndSaysWhy) {
    const std::string missing = testenv::Scratch() + "/gone/";
    backupDir = missing;
    std::string setPath;
    EXPECT_FALSE(Create("text", setPath));
    EXPECT_EQ(why, "Could not create a backup set in " + missing +
                       ": The system cannot find the file specified.");
    EXPECT_FALSE(testenv::Exists(missing));
    EXPECT_EQ(Listing(testenv::Scratch()), Names{"Moonforge Backup"});
}

TEST_F(BackupSetTest, EmptySetsAreRemovedAndStaleOnesOnlyWhenMarkedUnfinishedAndAMinuteOld) {
    const std::string mark = UnfinishedName;
    const struct {
        const char* name;
        std::vector<std::string> files; // a name ending in '/' is a folder
        bool old;
        bool removed; // by RemoveStaleSets
    } cases[] = {
        {"MFB1A", {"desc.txt", mark}, true, true},
        {"MFB2", {mark}, true, true},
        {"MFB3", {"desc.txt", mark}, false, false},
        {"MFB4", {"DESC.TXT", "net.sav", mark}, true, false},
        {"MFB5", {"desc.txt", "sub/", mark}, true, false},
        // Not marked: made by another program, an older version or the user.
        {"MFB6", {}, true, false},
        {"MFB7", {"desc.txt"}, true, false},
        {"MFB12345", {mark}, true, false},
        {"MFBXY", {mark}, true, false},
        {"Other", {mark}, true, false},
    };
    const timespec longAgo[2] = {{std::time(nullptr) - 120, 0}, {std::time(nullptr) - 120, 0}};
    for (const auto& c : cases) {
        fs::create_directories(backupDir + c.name);
        for (const std::string& file : c.files) {
            if (file.back() == '/')
                fs::create_directories(backupDir + c.name + "/" + file);
            else
                testenv::WriteFile(backupDir + c.name + "/" + file, "x");
        }
        if (c.old) {
            ASSERT_EQ(utimensat(AT_FDCWD, (backupDir + c.name).c_str(), longAgo, 0), 0);
        }
    }
    // A link named as a set, to a folder that looks like a stale one.
    testenv::WriteFile(testenv::Scratch() + "/elsewhere/" + mark, "");
    ASSERT_EQ(symlink((testenv::Scratch() + "/elsewhere").c_str(), (backupDir + "MFB8").c_str()),
              0);
    ASSERT_EQ(utimensat(AT_FDCWD, (backupDir + "MFB8").c_str(), longAgo, AT_SYMLINK_NOFOLLOW), 0);
    ASSERT_EQ(utimensat(AT_FDCWD, (testenv::Scratch() + "/elsewhere").c_str(), longAgo, 0), 0);
    RemoveStaleSets(backupDir);
    for (const auto& c : cases)
        EXPECT_EQ(fs::exists(backupDir + c.name), !c.removed) << c.name;
    EXPECT_TRUE(fs::exists(testenv::Scratch() + "/elsewhere/" + mark));

    // At the end of a run, its set goes when it holds nothing but desc.txt
    // and the mark.
    EXPECT_TRUE(RemoveEmptySet(backupDir + "MFB3/"));
    EXPECT_TRUE(RemoveEmptySet(backupDir + "MFB7/"));
    EXPECT_FALSE(RemoveEmptySet(backupDir + "MFB4/"));
    EXPECT_FALSE(RemoveEmptySet(backupDir + "MFB5/"));
    EXPECT_FALSE(RemoveEmptySet(backupDir + "MFB8/"));
    EXPECT_EQ(Listing(backupDir),
              (Names{"MFB12345", "MFB4", "MFB5", "MFB6", "MFB8", "MFBXY", "Other"}));
    EXPECT_EQ(Listing(backupDir + "MFB4"), (Names{mark, "DESC.TXT", "net.sav"}));
}

TEST_F(BackupSetTest, ReadsTheFirstLineOnlyOfADescFileInAnyLetterCase) {
    std::string euros;
    for (int i = 0; i < 3000; ++i)
        euros += "\xE2\x82\xAC";
    struct Case {
        const char* name;
        std::string bytes;
        std::string expected;
    };
    const Case cases[] = {
        {"lines", "first line\r\nsecond line\r\n", "first line"},
        {"lfonly", "unix line\nsecond\n", "unix line"},
        {"ctrlz",
         "before\x1A"
         "after\r\n",
         "before"},
        {"long", std::string(300, 'y') + "\r\n", std::string(255, 'y')},
        {"ansi", "Caf\xE9 \x80 5\r\n", "Caf\xC3\xA9 \xE2\x82\xAC 5"},
        {"utf8", "Caf\xC3\xA9\r\n", "Caf\xC3\xA9"},
        // Far longer than anything kept, cut by the reader inside a
        // character: still UTF-8.
        {"longutf8", euros + "\r\n", euros.substr(0, 255)},
    };
    for (const Case& c : cases) {
        testenv::WriteFile(backupDir + c.name + "/desc.txt", c.bytes);
        std::string description;
        ReadSetDescription(backupDir, c.name, description);
        EXPECT_EQ(description, c.expected) << c.name;
    }
    testenv::WriteFile(backupDir + "FromWindows/DESC.TXT", "copied set\r\n");
    EXPECT_EQ(ReadDescriptionFile(backupDir + "FromWindows/"), "copied set");
}

} // namespace
