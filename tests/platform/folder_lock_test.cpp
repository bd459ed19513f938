#include "platform/folder_lock.h"

#include "common/test_env.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace platform;
using namespace std::chrono_literals;
using Outcome = FolderLock::Outcome;

namespace {

using Clock = std::chrono::steady_clock;

// Backup folders of the test's own; the test main gave it a runtime folder.
class FolderLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const std::string& f : {a_, b_})
            std::filesystem::create_directories(f);
    }
    std::string runtime_ = std::getenv("XDG_RUNTIME_DIR"); // the test main's
    std::string a_ = testenv::Scratch() + "/Moonforge Backup";
    std::string b_ = testenv::Scratch() + "/Other Backup";
};

} // namespace

TEST_F(FolderLockTest, AnotherProcessWaitsUntilTheHolderLetsGo) {
    for (const bool withCallback : {true, false}) {
        SCOPED_TRACE(withCallback ? "asking the caller" : "blocking");
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t holder = ::fork();
        if (holder == 0) {
            FolderLock lock;
            const char taken = lock.TryLock(a_) == Outcome::Taken ? '1' : '0';
            [[maybe_unused]] auto n = ::write(ready[1], &taken, 1);
            ::usleep(400'000);
            ::_exit(0);
        }
        char taken = 0;
        ASSERT_EQ(::read(ready[0], &taken, 1), 1);
        ::close(ready[0]);
        ::close(ready[1]);
        ASSERT_EQ(taken, '1');
        const auto start = Clock::now();

        FolderLock lock;
        EXPECT_EQ(lock.TryLock(a_), Outcome::Busy);
        int asked = 0;
        const auto outcome = withCallback ? lock.Lock(
                                                a_, [&] { return ++asked > 0; }, 50)
                                          : lock.Lock(a_);
        EXPECT_EQ(outcome, Outcome::Taken);
        EXPECT_TRUE(lock.Held());
        EXPECT_GE(Clock::now() - start, 300ms);
        if (withCallback) {
            EXPECT_GE(asked, 4);
        }
        ::waitpid(holder, nullptr, 0);
    }
}

TEST_F(FolderLockTest, WaitingCanBeCancelledAndLeavesTheLockToOthers) {
    FolderLock first;
    ASSERT_EQ(first.TryLock(a_), Outcome::Taken);
    FolderLock second;
    int asked = 0;
    EXPECT_EQ(second.Lock(
                  a_, [&] { return ++asked < 3; }, 10),
              Outcome::Cancelled);
    EXPECT_EQ(asked, 3);
    EXPECT_FALSE(second.Held());
    first.Unlock();
    EXPECT_EQ(second.TryLock(a_), Outcome::Taken);
}

TEST_F(FolderLockTest, OnlyTheSameFolderHoweverSpelledIsBusy) {
    std::filesystem::create_directory_symlink(a_, testenv::Scratch() + "/link");
    FolderLock held;
    ASSERT_EQ(held.TryLock(a_), Outcome::Taken);
    for (const auto& [folder, outcome] : {std::pair{b_, Outcome::Taken},
                                          {a_ + "/", Outcome::Busy},
                                          {testenv::Scratch() + "/link", Outcome::Busy}}) {
        FolderLock other;
        EXPECT_EQ(other.TryLock(folder), outcome) << folder;
    }
}

TEST_F(FolderLockTest, LockFileIsInTheRuntimeFolderElseHiddenInTheBackupFolder) {
    FolderLock lock;
    ASSERT_EQ(lock.TryLock(a_), Outcome::Taken);
    EXPECT_EQ(FolderLock::LockFilePath(a_).rfind(runtime_ + "/mfbackup/", 0), 0u);
    EXPECT_TRUE(testenv::Exists(FolderLock::LockFilePath(a_)));
    EXPECT_FALSE(testenv::Exists(a_ + "/.mfbackup-lock"));

    ::unsetenv("XDG_RUNTIME_DIR");
    struct stat st;
    if (::stat(("/run/user/" + std::to_string(::getuid())).c_str(), &st) == 0)
        GTEST_SKIP() << "this user has a runtime folder without the variable";
    EXPECT_EQ(FolderLock::LockFilePath(a_), a_ + "/.mfbackup-lock");
}
