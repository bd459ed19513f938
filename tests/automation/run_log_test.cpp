#include "automation/run_log.h"

#include "common/test_env.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace automation;

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

TEST(RunLog, AWriterThatWaitedWhileAnotherTrimmedTheLogWritesIntoTheNewOne) {
    ASSERT_TRUE(AppendRunLog("watch", "first"));
    const std::string path = RunLogPath();
    const int held = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(held); // its lock is the parent's to hold
        ::_exit(AppendRunLog("wrap", "waited") ? 0 : 1);
    }
    // Until the kernel lists the child as waiting for the lock.
    const std::string waiting = "-> FLOCK  ADVISORY  WRITE " + std::to_string(child) + " ";
    for (int i = 0; i < 500 && testenv::ReadFile("/proc/locks").find(waiting) == std::string::npos;
         ++i)
        ::usleep(10'000);
    // What a trim does meanwhile: a new log renamed over the old one.
    testenv::WriteFile(path + ".new", "trimmed\n");
    ASSERT_EQ(::rename((path + ".new").c_str(), path.c_str()), 0);
    ::close(held);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    const auto lines = Lines(testenv::ReadFile(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "trimmed");
    EXPECT_EQ(lines[1].substr(19), "\twrap\twaited");
}
