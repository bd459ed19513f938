#include "automation/session.h"

#include "common/test_env.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace automation;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// A folder of stand-in games, first on PATH.
class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        bin_ = testenv::Scratch() + "/bin/";
        Script("game", "#!/bin/sh\n"
                       "[ \"$1\" = 'a b' ] && [ \"$2\" = '' ] && [ $# = 2 ] && "
                       "[ -n \"$MF_TEST_SCRATCH\" ] && exit 5\n"
                       "exit 1\n");
        Script("no-shebang", "exit 4\n");
        testenv::WriteFile(bin_ + "not-executable", "#!/bin/sh\nexit 0\n");
        ASSERT_EQ(::symlink("/bin/sleep", (bin_ + "wineserver").c_str()), 0);
        ::setenv("PATH", (bin_ + ":" + std::getenv("PATH")).c_str(), 1);
    }
    void Script(const std::string& name, const std::string& text) {
        testenv::WriteFile(bin_ + name, text);
        ::chmod((bin_ + name).c_str(), 0755);
    }
    static bool NoChildLeft() { return ::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

    std::string bin_;
};

struct StatusCase {
    const char* Name;
    std::vector<std::string> Argv;
    int Status;
    std::string Error; // empty: started
};

void PrintTo(const StatusCase& c, std::ostream* os) {
    *os << c.Name;
}

class SessionStatus : public SessionTest, public ::testing::WithParamInterface<StatusCase> {};

const StatusCase kStatusCases[] = {
    {"ExitZero", {"sh", "-c", "exit 0"}, 0, ""},
    {"ExitSeven", {"sh", "-c", "exit 7"}, 7, ""},
    {"KilledBySignal", {"sh", "-c", "kill -KILL $$"}, 128 + SIGKILL, ""},
    {"ArgumentsAndEnvironmentAsGiven", {"game", "a b", ""}, 5, ""},
    {"ScriptWithoutInterpreterLine", {"no-shebang"}, 4, ""},
    {"NotFound", {"mfbackup-no-such-game"}, 127, "command not found"},
    {"MissingPath", {"/nonexistent/game"}, 127, "No such file or directory"},
    {"NotExecutable", {"not-executable"}, 126, "Permission denied"},
};

} // namespace

TEST_P(SessionStatus, EndsWithTheStatusAShellWouldGive) {
    const StatusCase& c = GetParam();
    const SessionResult r = RunSession(c.Argv);
    EXPECT_EQ(r.ExitStatus, c.Status);
    EXPECT_EQ(r.Started, c.Error.empty());
    EXPECT_EQ(r.Error, c.Error);
    EXPECT_TRUE(NoChildLeft());
}

INSTANTIATE_TEST_SUITE_P(Cases, SessionStatus, ::testing::ValuesIn(kStatusCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(SessionTest, WaitsForWhatTheLauncherLeftRunningAfterItExited) {
    const std::string out = testenv::Scratch() + "/late.txt";
    const SessionResult r =
        RunSession({"sh", "-c", "(sleep 0.3; echo saved > \"$0\") & exit 3", out});
    EXPECT_EQ(r.ExitStatus, 3);
    EXPECT_EQ(testenv::ReadFile(out), "saved\n");
    EXPECT_TRUE(NoChildLeft());
}

TEST_F(SessionTest, PassesTerminationOnToEveryProcessAndStillReturns) {
    const std::string ready = testenv::Scratch() + "/ready";
    const std::string out = testenv::Scratch() + "/term.txt";
    // The launcher waits on a game it started in the background; without the
    // signal both would run their 5 s.
    std::thread launcher([&] {
        while (!testenv::Exists(ready))
            std::this_thread::sleep_for(10ms);
        ::kill(::getpid(), SIGTERM);
    });
    const auto start = Clock::now();
    const SessionResult r = RunSession(
        {"sh", "-c", "trap 'echo term > \"$1\"; exit 9' TERM; sleep 5 & : > \"$0\"; wait", ready,
         out});
    launcher.join();
    EXPECT_LT(Clock::now() - start, 4s);
    EXPECT_EQ(r.ExitStatus, 9);
    EXPECT_EQ(r.ForwardedSignal, SIGTERM);
    EXPECT_EQ(testenv::ReadFile(out), "term\n");
    EXPECT_TRUE(NoChildLeft());
}

TEST_F(SessionTest, ALingeringWineServerIsWaitedForOnlyItsGraceTime) {
    // A server that ends within the grace is waited for; one that outlives it
    // is left running.
    for (const auto& [lifetime, left] : {std::pair{"0.2", false}, {"10", true}}) {
        SCOPED_TRACE(lifetime);
        const auto start = Clock::now();
        const SessionResult r =
            RunSession({"sh", "-c", std::string("wineserver ") + lifetime + " & exit 0"},
                       SessionOptions{600ms});
        const auto took = Clock::now() - start;
        EXPECT_EQ(r.ExitStatus, 0);
        ASSERT_EQ(r.LeftRunning.size(), left ? 1u : 0u);
        if (left) {
            EXPECT_GE(took, 600ms);
            EXPECT_LT(took, 3s);
            ::kill(r.LeftRunning[0], SIGKILL);
            ::waitpid(r.LeftRunning[0], nullptr, 0);
        } else {
            EXPECT_LT(took, 600ms);
        }
        EXPECT_TRUE(NoChildLeft());
    }
}
