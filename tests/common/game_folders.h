#pragma once

// A game installation inside the test's Wine prefix and a backup directory in
// its home.

#include "common/test_env.h"
#include "platform/attributes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

using Names = std::vector<std::string>;
using FileList = std::vector<std::pair<std::string, std::string>>; // name, content

class GameFolders : public ::testing::Test {
protected:
    void SetUp() override {
        gameDir = testenv::WinePrefix() + "/drive_c/Program Files/Corvanta Software/Moonforge/";
        backupDir = testenv::Home() + "/Moonforge Backup/";
        std::filesystem::remove_all(gameDir); // when several tests share a process
        std::filesystem::remove_all(backupDir);
        for (const char* sub : {"save/characters", "save/net", "save/games"})
            std::filesystem::create_directories(gameDir + sub);
        std::filesystem::create_directories(backupDir);
    }

    // Writes a save file (path below "save/") with its archive bit set.
    std::string Save(const std::string& rel, const std::string& bytes) {
        const std::string path = gameDir + "save/" + rel;
        testenv::WriteFile(path, bytes);
        return path;
    }
    static bool Changed(const std::string& path) {
        return (platform::GetFileAttributes(path) & platform::faArchive) != 0;
    }
    static void MarkClean(const std::string& path) {
        ASSERT_TRUE(platform::SetFileAttributes(path, 0)) << path;
    }
    // A folder of the backup directory holding `files`, made by hand.
    void MakeSet(const std::string& name, const FileList& files) {
        std::filesystem::create_directories(backupDir + name);
        for (const auto& [file, bytes] : files)
            testenv::WriteFile(backupDir + name + "/" + file, bytes);
    }
    // The set folders in the backup directory, by name.
    std::vector<std::string> Sets() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(backupDir))
            if (e.is_directory())
                names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    // The one set that is not in `before`.
    std::string NewSet(const std::vector<std::string>& before) const {
        std::vector<std::string> added;
        for (const std::string& name : Sets())
            if (std::find(before.begin(), before.end(), name) == before.end())
                added.push_back(name);
        EXPECT_EQ(added.size(), 1u);
        return added.empty() ? std::string() : added[0];
    }
    // The file names of one folder, sorted.
    static std::vector<std::string> Files(const std::string& dir) { return testenv::Listing(dir); }

    std::string gameDir;
    std::string backupDir;
};
