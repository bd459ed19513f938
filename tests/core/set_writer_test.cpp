#include "core/set_writer.h"
#include "platform/last_error.h"

#include "common/test_env.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace core;

// Two sources whose names differ only in letter case would be one file where
// the set goes (a Windows drive, a stick): whichever comes first is kept,
// the second fails with 80, in either order.
TEST(SetWriter, ACaseTwinIsRefusedWhicheverComesFirst) {
    const std::string dir = testenv::Scratch() + "/";
    const std::string lower = dir + "a/game1.sav", upper = dir + "b/GAME1.SAV";
    testenv::WriteFile(lower, "lower case");
    testenv::WriteFile(upper, "UPPER CASE");
    const struct { std::string first, second; } orders[] = {{lower, upper}, {upper, lower}};
    for (const auto& [first, second] : orders) {
        SCOPED_TRACE(first);
        const std::string set =
            dir + "set" + std::filesystem::path(first).filename().string() + "/";
        std::filesystem::create_directories(set);
        SetWriter writer(set);
        platform::FileVersion read;
        EXPECT_TRUE(writer.Copy(first, read));
        EXPECT_FALSE(writer.Copy(second, read));
        EXPECT_EQ(platform::GetLastError(), platform::ERROR_FILE_EXISTS);
        ASSERT_TRUE(writer.Finish());

        const std::string name = std::filesystem::path(first).filename().string();
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(set))
            files.push_back(entry.path().filename().string());
        std::sort(files.begin(), files.end());
        EXPECT_EQ(files, (std::vector<std::string>{ManifestName, name}));
        EXPECT_EQ(testenv::ReadFile(set + name), testenv::ReadFile(first));
        Manifest sums;
        ASSERT_EQ(ReadManifest(set, sums), ManifestRead::Read);
        ASSERT_EQ(sums.Entries.size(), 1u);
        ManifestEntry now;
        EXPECT_TRUE(HashEntry(set, name, now) && sums.Entries[0] == now);
    }
}
