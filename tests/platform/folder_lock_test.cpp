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

// One lock however the folder is reached and whatever the run's environment.
TEST_F(FolderLockTest, OnlyTheSameFolderHoweverReachedIsBusy) {
    const std::string link = testenv::Scratch() + "/link", bound = testenv::Scratch() + "/bound";
    std::filesystem::create_directory_symlink(a_, link);
    const testenv::ReadOnlyMount bind(bound, a_);
    // Each folder, whether busy, with XDG_RUNTIME_DIR set as the holder's or
    // not, locked itself or (as on NFS) through a file of the run folder.
    const std::pair<std::string, bool> cases[] = {{b_, 0}, {a_ + "/", 1}, {link, 1}, {bound, 1}};
    for (const bool directory : {true, false}) {
        FolderLock::DirectoryLocksForTesting(directory);
        FolderLock held;
        ASSERT_EQ(held.TryLock(a_), Outcome::Taken);
        for (const bool variable : {true, false}) {
            variable ? ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1)
                     : ::unsetenv("XDG_RUNTIME_DIR");
            for (const auto& [folder, busy] : cases) {
                if (folder == bound && !bind.Mounted())
                    continue; // mounting needs root
                FolderLock other;
                EXPECT_EQ(other.TryLock(folder), busy ? Outcome::Busy : Outcome::Taken)
                    << folder << (directory ? " (folder locked)" : " (lock file)");
            }
        }
    }
    FolderLock::DirectoryLocksForTesting(true);
}

// A holder removes its file as it lets go: one who waited on that file must
// not take it while another holds the new one.
TEST_F(FolderLockTest, AWaiterTakesNoFileItsHolderRemoved) {
    FolderLock::DirectoryLocksForTesting(false);
    FolderLock first, second, third;
    ASSERT_EQ(first.TryLock(a_), Outcome::Taken);
    int asked = 0;
    const auto keepWaiting = [&] {
        if (++asked == 1) {
            first.Unlock();
            EXPECT_EQ(third.TryLock(a_), Outcome::Taken);
        }
        return asked < 3;
    };
    EXPECT_EQ(second.Lock(a_, keepWaiting, 10), Outcome::Cancelled);
    FolderLock::DirectoryLocksForTesting(true);
}
