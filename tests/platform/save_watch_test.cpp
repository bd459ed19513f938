#include "platform/save_watch.h"

#include "common/test_env.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

using namespace platform;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

struct Woken {
    SaveWatch::Wake Wake;
    Clock::time_point At;
};

// Runs `work` beside a Wait and stops the watch should the Wait still block
// `limit` after it, so that a change that goes unseen fails the test instead
// of hanging it.
Woken WaitWhile(SaveWatch& watch, std::chrono::milliseconds quiet,
                const std::function<void()>& work, std::chrono::milliseconds limit = 3s) {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::thread worker([&] {
        work();
        std::unique_lock lock(mutex);
        if (!cv.wait_for(lock, limit, [&] { return done; }))
            watch.Stop();
    });
    const SaveWatch::Wake wake = watch.Wait(quiet);
    const Woken woken{wake, Clock::now()};
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    cv.notify_one();
    worker.join();
    return woken;
}

struct ChangeCase {
    const char* Name;
    std::function<void(const std::string& folder)> Change;
};

void PrintTo(const ChangeCase& c, std::ostream* os) {
    *os << c.Name;
}

class SaveWatchChange : public ::testing::TestWithParam<ChangeCase> {};

const ChangeCase kChanges[] = {
    {"Written", [](const std::string& f) { testenv::WriteFile(f + "/game1.sav", "new"); }},
    {"MovedIn",
     [](const std::string& f) {
         testenv::WriteFile(testenv::Scratch() + "/elsewhere.sav", "new");
         std::filesystem::rename(testenv::Scratch() + "/elsewhere.sav", f + "/game2.sav");
     }},
    {"Deleted", [](const std::string& f) { std::filesystem::remove(f + "/game0.sav"); }},
};

} // namespace

TEST_P(SaveWatchChange, IsSeenInAWatchedFolder) {
    const std::string folder = testenv::Scratch() + "/save/games";
    testenv::WriteFile(folder + "/game0.sav", "old");
    SaveWatch watch({folder, testenv::Scratch() + "/save/net"});
    ASSERT_TRUE(watch.Ok()) << watch.Error();
    EXPECT_EQ(WaitWhile(watch, 50ms, [&] { GetParam().Change(folder); }).Wake,
              SaveWatch::Wake::Quiet);
}

INSTANTIATE_TEST_SUITE_P(Cases, SaveWatchChange, ::testing::ValuesIn(kChanges),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(SaveWatch, ReadingAndNothingWrittenKeepItWaitingUntilStopped) {
    const std::string folder = testenv::Scratch() + "/save/net";
    testenv::WriteFile(folder + "/net.sav", "old");
    SaveWatch watch({folder});
    const auto start = Clock::now();
    const Woken woken = WaitWhile(
        watch, 10ms, [&] { testenv::ReadFile(folder + "/net.sav"); }, 300ms);
    EXPECT_EQ(woken.Wake, SaveWatch::Wake::Stopped);
    EXPECT_GE(woken.At - start, 300ms);
    // Once stopped, it stays stopped.
    EXPECT_EQ(watch.Wait(10ms), SaveWatch::Wake::Stopped);
}

TEST(SaveWatch, PicksUpASaveFolderMadeAfterItStarted) {
    // Not even the game's folder is there yet; the folder appears in another
    // letter case, as Wine may make it.
    const std::string game = testenv::Scratch() + "/prefix/Moonforge";
    SaveWatch watch({game + "/save/net", game + "/save/games"});
    EXPECT_EQ(watch.WatchCount(), 1u);
    EXPECT_EQ(WaitWhile(watch, 50ms,
                        [&] {
                            std::filesystem::create_directories(game + "/Save/NET");
                            std::this_thread::sleep_for(100ms);
                            testenv::WriteFile(game + "/Save/NET/net.sav", "first");
                        })
                  .Wake,
              SaveWatch::Wake::Quiet);
    // The folder itself now; the parent of the other, still missing one.
    EXPECT_EQ(watch.WatchCount(), 2u);
}

// The save folder made while the watch is set on the folder that held none
// of it: no event will tell of it, so the watch must see it by itself.
TEST(SaveWatch, AFolderMadeWhileTheWatchIsSetIsNotMissed) {
    const std::string game = testenv::Scratch() + "/prefix/Moonforge";
    BetweenLookAndWatchForTesting([&] { std::filesystem::create_directories(game + "/save/net"); });
    SaveWatch watch({game + "/save/net"});
    BetweenLookAndWatchForTesting({});
    EXPECT_EQ(
        WaitWhile(watch, 50ms, [&] { testenv::WriteFile(game + "/save/net/net.sav", "first"); })
            .Wake,
        SaveWatch::Wake::Quiet);
}

TEST(SaveWatch, AFolderMadeAndFilledAtOnceCountsAsWritten) {
    const std::string game = testenv::Scratch() + "/prefix/Moonforge";
    SaveWatch watch({game + "/save/net"});
    EXPECT_EQ(
        WaitWhile(watch, 50ms, [&] { testenv::WriteFile(game + "/save/net/net.sav", "first"); })
            .Wake,
        SaveWatch::Wake::Quiet);
}

TEST(SaveWatch, QuietTimeCountsFromTheLastWrite) {
    const std::string folder = testenv::Scratch() + "/save/games";
    std::filesystem::create_directories(folder);
    SaveWatch watch({folder});
    Clock::time_point lastWrite;
    // Writes far closer together than the quiet time, so that a busy machine
    // stretching a pause does not end the quiet between them.
    const Woken woken = WaitWhile(watch, 1s, [&] {
        for (int i = 0; i < 4; ++i) {
            testenv::WriteFile(folder + "/game1.sav", std::to_string(i));
            lastWrite = Clock::now();
            std::this_thread::sleep_for(200ms);
        }
    });
    EXPECT_EQ(woken.Wake, SaveWatch::Wake::Quiet);
    const auto waited = woken.At - lastWrite;
    EXPECT_GE(waited, 950ms); // the watch may see the write a moment before lastWrite is taken
    EXPECT_LT(waited, 2s);
}
