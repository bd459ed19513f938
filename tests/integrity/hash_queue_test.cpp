#include "integrity/hash_queue.h"

#include "platform/last_error.h"

#include "common/test_env.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <fcntl.h>

using namespace integrity;

// Copies made faster than they are hashed (here without the SHA
// instructions) do not pile up as open descriptors.
TEST(HashQueue, AFastCallerHashesItsShareSoFewDescriptorsStayOpen) {
    const auto openCount = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator{});
    };
    const std::string file = testenv::Scratch() + "/big.sav";
    testenv::WriteFile(file, std::string(256 << 10, 'x'));
    UseShaInstructionsForTesting(false);
    const auto before = openCount();
    std::ptrdiff_t most = 0;
    HashQueue queue;
    std::vector<std::size_t> tickets;
    for (int i = 0; i < 200; ++i) {
        tickets.push_back(queue.AddDescriptor(::open(file.c_str(), O_RDONLY | O_CLOEXEC)));
        most = std::max(most, openCount() - before);
    }
    UseShaInstructionsForTesting(true);
    EXPECT_LE(most, 70);
    for (const std::size_t ticket : tickets)
        EXPECT_EQ(queue.Wait(ticket).Size, 256u << 10);
}

TEST(HashQueue, DigestsOfDescriptorsAndPathsAsHashFileGivesThem) {
    const std::string dir = testenv::Scratch();
    std::vector<std::string> files;
    for (int i = 0; i < 20; ++i) {
        files.push_back(dir + "/game" + std::to_string(i) + ".sav");
        testenv::WriteFile(files.back(), std::string(1000 * i + 7, static_cast<char>('a' + i)));
    }
    HashQueue queue;
    std::vector<std::size_t> tickets;
    for (std::size_t i = 0; i < files.size(); ++i)
        tickets.push_back(i % 2 ? queue.AddFile(files[i])
                                : queue.AddDescriptor(::open(files[i].c_str(), O_RDONLY), i % 4));
    const std::size_t missing = queue.AddFile(dir + "/none.sav");
    // Waited for from the last: the caller hashes what is still queued.
    for (std::size_t i = files.size(); i-- > 0;) {
        const HashQueue::Result& r = queue.Wait(tickets[i]);
        Sha256Digest digest{};
        std::uint64_t size = 0;
        ASSERT_TRUE(HashFile(files[i], digest, size));
        ASSERT_TRUE(r.Ok) << files[i];
        EXPECT_EQ(r.Digest, digest);
        EXPECT_EQ(r.Size, size);
        EXPECT_TRUE(r.Steady);
        platform::FileVersion now;
        ASSERT_TRUE(platform::GetFileVersion(files[i], now));
        EXPECT_EQ(r.Version, now);
    }
    EXPECT_FALSE(queue.Wait(missing).Ok);
    EXPECT_EQ(queue.Wait(missing).Error, platform::ERROR_FILE_NOT_FOUND);
}
