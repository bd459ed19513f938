#include "platform/files.h"
#include "platform/hash_queue.h"
#include "platform/last_error.h"
#include "platform/sha256.h"

#include "common/test_env.h"

#include <QCryptographicHash>
#include <gtest/gtest.h>

#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>

using namespace platform;

namespace {

std::string Hex(std::string_view bytes) {
    return DigestHex(Sha256::Of(bytes));
}

std::string QtHex(const std::string& bytes) {
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

} // namespace

// The processor's SHA instructions (where it has them) and the portable
// rounds, each through the same cases.
class Sha256Ways : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (!UseShaInstructionsForTesting(GetParam()) && GetParam())
            GTEST_SKIP() << "no SHA instructions on this processor";
    }
    void TearDown() override { UseShaInstructionsForTesting(true); }
};
INSTANTIATE_TEST_SUITE_P(InstructionsAndPortable, Sha256Ways, ::testing::Bool());

TEST_P(Sha256Ways, KnownVectorsEveryPaddingLengthAndAnyPieces) {
    const std::pair<std::string, const char*> vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [bytes, digest] : vectors)
        EXPECT_EQ(Hex(bytes), digest) << bytes.size();

    // Every length around the block and padding boundaries, against Qt's.
    std::string bytes;
    for (int n = 0; n < 200; ++n) {
        EXPECT_EQ(Hex(bytes), QtHex(bytes)) << n;
        bytes += static_cast<char>(n * 37 + 11);
    }

    // Many blocks in one piece, as a copy feeds them.
    std::string large(1 << 20, '\0');
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>(i * 2654435761u >> 13);
    EXPECT_EQ(Hex(large), QtHex(large));

    // Fed in pieces of every size, the digest is the whole's; Finish starts afresh.
    Sha256 sha;
    for (std::size_t piece = 1; piece <= bytes.size(); piece += 13) {
        for (std::size_t at = 0; at < bytes.size(); at += piece)
            sha.Update(bytes.data() + at, std::min(piece, bytes.size() - at));
        EXPECT_EQ(DigestHex(sha.Finish()), QtHex(bytes)) << piece;
    }
}

TEST(Sha256, HexDigitsBothWaysAndFilesReadWholeButNoFifoOrFolder) {
    Sha256Digest digest{};
    const std::string hex = Hex("abc");
    ASSERT_TRUE(ParseDigestHex(hex, digest));
    EXPECT_EQ(DigestHex(digest), hex);
    std::string upper = hex;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(ParseDigestHex(upper, digest) && DigestHex(digest) == hex);
    for (const std::string& bad : {hex.substr(1), hex + "0", "g" + hex.substr(1), std::string()})
        EXPECT_FALSE(ParseDigestHex(bad, digest)) << bad;

    const std::string dir = testenv::Scratch() + "/Set/";
    const std::string content(200000, 'x');
    testenv::WriteFile(dir + "game1.sav", content);
    std::uint64_t size = 0;
    ASSERT_TRUE(HashFile(dir + "GAME1.SAV", digest, size)); // found ignoring case
    EXPECT_EQ(size, content.size());
    EXPECT_EQ(DigestHex(digest), QtHex(content));

    ASSERT_EQ(::mkfifo((dir + "pipe.sav").c_str(), 0600), 0);
    struct Case {
        std::string path;
        std::uint32_t error;
    };
    for (const Case& c :
         {Case{dir + "pipe.sav", ERROR_ACCESS_DENIED}, Case{dir, ERROR_ACCESS_DENIED},
          Case{dir + "gone.sav", ERROR_FILE_NOT_FOUND},
          Case{dir + "gone/game1.sav", ERROR_PATH_NOT_FOUND}}) {
        EXPECT_FALSE(HashFile(c.path, digest, size)) << c.path;
        EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
}

TEST(SmallFiles, AreReadUpToALimit) {
    const std::string dir = testenv::Scratch() + "/Folder/";
    testenv::WriteFile(dir + "ten.txt", "0123456789");
    std::string content;
    EXPECT_TRUE(ReadSmallFile(dir + "ten.txt", 10, content));
    EXPECT_EQ(content, "0123456789");
    EXPECT_FALSE(ReadSmallFile(dir + "ten.txt", 9, content));
    EXPECT_EQ(GetLastError(), ERROR_FILE_TOO_LARGE);
    EXPECT_TRUE(content.empty());
    EXPECT_FALSE(ReadSmallFile(dir + "none.txt", 10, content));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

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
        FileVersion now;
        ASSERT_TRUE(GetFileVersion(files[i], now));
        EXPECT_EQ(r.Version, now);
    }
    EXPECT_FALSE(queue.Wait(missing).Ok);
    EXPECT_EQ(queue.Wait(missing).Error, ERROR_FILE_NOT_FOUND);
}
