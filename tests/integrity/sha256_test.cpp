#include "integrity/sha256.h"

#include "platform/last_error.h"

#include "common/test_env.h"

#include <QCryptographicHash>
#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace integrity;

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
    for (const Case& c : {Case{dir + "pipe.sav", platform::ERROR_ACCESS_DENIED},
                          Case{dir, platform::ERROR_ACCESS_DENIED},
                          Case{dir + "gone.sav", platform::ERROR_FILE_NOT_FOUND},
                          Case{dir + "gone/game1.sav", platform::ERROR_PATH_NOT_FOUND}}) {
        EXPECT_FALSE(HashFile(c.path, digest, size)) << c.path;
        EXPECT_EQ(platform::GetLastError(), c.error) << c.path;
    }
}
