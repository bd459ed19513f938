#include "platform/run_log.h"

#include "common/test_env.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <regex>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

using namespace platform;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

const std::regex kLine(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\t([^\t]*)\t([^\t]*))");

} // namespace

TEST(RunLog, AppendsOneLinePerRunBesideTheCleanStamps) {
    EXPECT_EQ(RunLogPath(), std::string(std::getenv("XDG_STATE_HOME")) + "/mfbackup/mfbackup.log");
    ASSERT_TRUE(AppendRunLog("wrap -- %command%", "backed up: 3 files into MFB1A2B"));
    ASSERT_TRUE(AppendRunLog("watch", "failed:\nno space left\ton device"));
    const auto lines = Lines(testenv::ReadFile(RunLogPath()));
    ASSERT_EQ(lines.size(), 2u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, kLine)) << lines[0];
    EXPECT_EQ(m[1], "wrap -- %command%");
    EXPECT_EQ(m[2], "backed up: 3 files into MFB1A2B");
    ASSERT_TRUE(std::regex_match(lines[1], m, kLine)) << lines[1];
    EXPECT_EQ(m[2], "failed: no space left on device");
}

TEST(RunLog, AFullLogKeepsItsNewestHalfAndStaysUnderTheLimit) {
    std::string old;
    for (int i = 0; old.size() < kRunLogMaxBytes - 60; ++i)
        old += "2024-01-01 00:00:00\twatch\told " + std::to_string(i) + "\n";
    testenv::WriteFile(RunLogPath(), old);
    const auto before = Lines(old);

    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(AppendRunLog("watch", "new " + std::to_string(i)));
    const std::string text = testenv::ReadFile(RunLogPath());
    EXPECT_LT(text.size(), kRunLogMaxBytes / 2 + 200);
    EXPECT_GT(text.size(), kRunLogMaxBytes / 2 - 100);
    const auto lines = Lines(text);
    ASSERT_GE(lines.size(), 4u);
    // The old lines kept are whole and the newest ones, then the three new.
    const std::size_t kept = lines.size() - 3;
    EXPECT_TRUE(std::equal(lines.begin(), lines.begin() + static_cast<long>(kept),
                           before.end() - static_cast<long>(kept)));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(lines[kept + static_cast<std::size_t>(i)].substr(20),
                  "watch\tnew " + std::to_string(i));
}

TEST(RunLog, TwoWritersLoseNoLineWhileTheLogIsTrimmed) {
    // Long lines, so that the log is trimmed several times while both write.
    const std::string padding(3000, 'x');
    constexpr int kEach = 400;
    auto write = [&](const char* who) {
        for (int i = 0; i < kEach; ++i)
            if (!AppendRunLog(who, std::to_string(i) + " " + padding))
                return false;
        return true;
    };
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(write("child") ? 0 : 1);
    EXPECT_TRUE(write("parent"));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);

    const std::string text = testenv::ReadFile(RunLogPath());
    EXPECT_LT(text.size(), kRunLogMaxBytes);
    // Each writer's lines are a run of its newest, without a gap.
    std::map<std::string, std::vector<int>> seen;
    for (const std::string& line : Lines(text)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, kLine)) << line.substr(0, 80);
        seen[m[1]].push_back(std::stoi(m[2]));
    }
    for (const auto& [who, numbers] : seen)
        for (std::size_t i = 1; i < numbers.size(); ++i)
            ASSERT_EQ(numbers[i], numbers[i - 1] + 1) << who;
    const std::string lastLine = Lines(text).back();
    EXPECT_NE(lastLine.find("\t" + std::to_string(kEach - 1) + " "), std::string::npos);
}
