#include "platform/last_error.h"
#include "sets/set_writer.h"

#include "common/test_env.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace sets;

// Two sources whose names differ only in letter case would be one file where
// the set goes (a Windows drive, a stick): whichever comes first is kept,
// the second fails with 80, in either order.
TEST(SetWriter, ACaseTwinIsRefusedWhicheverComesFirst) {
    const std::string dir = testenv::Scratch() + "/";
    testenv::WriteFile(dir + "a/game1.sav", "lower case");
    testenv::WriteFile(dir + "b/GAME1.SAV", "UPPER CASE");
    const struct {
        std::string first, second;
    } orders[] = {{"a/game1.sav", "b/GAME1.SAV"}, {"b/GAME1.SAV", "a/game1.sav"}};
    for (const auto& [first, second] : orders) {
        SCOPED_TRACE(first);
        SetWriter writer;
        std::string why;
        ASSERT_TRUE(writer.Create(dir, "", why)) << why;
        const std::string& set = writer.Path();
        platform::FileVersion read;
        EXPECT_TRUE(writer.Copy(dir + first, read));
        EXPECT_FALSE(writer.Copy(dir + second, read));
        EXPECT_EQ(platform::GetLastError(), platform::ERROR_FILE_EXISTS);
        EXPECT_EQ(testenv::ReadFile(set + first.substr(2)), testenv::ReadFile(dir + first));
        EXPECT_FALSE(testenv::Exists(set + second.substr(2)));
    }
}
