#include "platform/attributes.h"
#include "platform/last_error.h"

#include "common/test_env.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

using namespace platform;

namespace {

std::string Xattr(const std::string& path, const char* name) {
    char value[256];
    const ssize_t n = ::getxattr(path.c_str(), name, value, sizeof value);
    return n < 0 ? std::string("<none>") : std::string(value, static_cast<std::size_t>(n));
}

// Rewrites the file in place with other bytes of the same length.
void Rewrite(const std::string& path, const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

std::int64_t Nanos(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

struct XattrRefusal {
    XattrRefusal() { RefuseXattrsForTesting(true); }
    ~XattrRefusal() { RefuseXattrsForTesting(false); }
};

} // namespace

TEST(DosAttrib, ReadsLeadingHexAndWritesHiddenSystemOnly) {
    EXPECT_EQ(ParseDosAttrib("0x2"), faHidden);
    EXPECT_EQ(ParseDosAttrib("0x26"), faHidden | faSysFile);
    // Samba appends a NUL and a binary block after the text.
    EXPECT_EQ(ParseDosAttrib(std::string("0x22\0\3\0\xff\x11", 9)), faHidden);
    EXPECT_EQ(ParseDosAttrib("0X4"), faSysFile);
    EXPECT_EQ(ParseDosAttrib("0x"), std::nullopt);
    EXPECT_EQ(ParseDosAttrib("22"), std::nullopt);
    EXPECT_EQ(ParseDosAttrib(""), std::nullopt);
    EXPECT_EQ(FormatDosAttrib(faHidden | faSysFile | faArchive | faReadOnly), "0x6");
    EXPECT_EQ(FormatDosAttrib(faSysFile), "0x4");
}

TEST(Attributes, HiddenSystemAndReadOnlyRoundTripOnDisk) {
    const std::string file = testenv::Scratch() + "/save.dat";
    testenv::WriteFile(file, "x");
    ASSERT_TRUE(SetFileAttributes(file, faHidden | faSysFile | faReadOnly | faArchive));
    EXPECT_EQ(GetFileAttributes(file), faHidden | faSysFile | faReadOnly | faArchive);
    EXPECT_EQ(Xattr(file, "user.DOSATTRIB"), "0x6");
    struct stat st;
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);

    ASSERT_TRUE(SetFileAttributes(file, faArchive));
    EXPECT_EQ(GetFileAttributes(file), faArchive);
    EXPECT_EQ(Xattr(file, "user.DOSATTRIB"), "<none>"); // removed, not "0x0"
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IWUSR, 0u);

    // Wine's and Samba's values are read as they write them.
    ASSERT_EQ(::setxattr(file.c_str(), "user.DOSATTRIB", "0x22\0\1\2", 7, 0), 0);
    EXPECT_EQ(GetFileAttributes(file), faHidden | faArchive);
}

TEST(Attributes, DotNamesAreHiddenButDotEntriesAndFoldersFollowTheirOwnRules) {
    const std::string dir = testenv::Scratch() + "/.config";
    testenv::WriteFile(dir + "/file", "x");
    EXPECT_EQ(GetFileAttributes(dir), faDirectory | faHidden);
    EXPECT_EQ(GetFileAttributes(dir + "/."), faDirectory);
    // A folder never reports archive, whatever is asked.
    ASSERT_TRUE(SetFileAttributes(dir, faArchive));
    EXPECT_EQ(GetFileAttributes(dir) & faArchive, 0u);
    // A write bit for the group alone is not read-only.
    ASSERT_EQ(::chmod((dir + "/file").c_str(), 0464), 0);
    EXPECT_EQ(GetFileAttributes(dir + "/file") & faReadOnly, 0u);
}

TEST(Attributes, MissingPathsFailWithWindowsCodes) {
    EXPECT_EQ(GetFileAttributes(testenv::Scratch() + "/none"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    testenv::WriteFile(testenv::Scratch() + "/file", "x");
    EXPECT_EQ(GetFileAttributes(testenv::Scratch() + "/file/below"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(SetFileAttributes(testenv::Scratch() + "/none", 0));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    // A missing folder on the way is a missing path, as Windows tells them apart.
    for (const std::string path : {"/no-folder/file", "/no-folder/sub/", "/none/deeper/file"}) {
        EXPECT_EQ(GetFileAttributes(testenv::Scratch() + path), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND) << path;
        EXPECT_FALSE(SetFileAttributes(testenv::Scratch() + path, faArchive));
        EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND) << path;
    }
}

TEST(ArchiveBit, SameSizeRewriteRightAfterClearingReadsAsChanged) {
    const std::string file = testenv::Scratch() + "/game1.sav";
    testenv::WriteFile(file, "aaaaaaaa");
    EXPECT_TRUE(GetFileAttributes(file) & faArchive); // never backed up
    // Many rounds, each rewrite right after the clear, so rewrites land in
    // the same clock tick (and the same millisecond) as the clear.
    for (int round = 0; round < 25; ++round) {
        ASSERT_TRUE(SetFileAttributes(file, 0));
        // Kernels without fine-grained file times stamp writes with the
        // coarse clock: the clear must leave that clock past the file's time,
        // or the rewrite below could get the very same time on them.
        timespec coarse{};
        ::clock_gettime(CLOCK_REALTIME_COARSE, &coarse);
        struct stat st;
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_GT(Nanos(coarse), Nanos(st.st_mtim)) << "round " << round;
        ASSERT_EQ(GetFileAttributes(file), 0u) << "round " << round;
        Rewrite(file, round % 2 ? "aaaaaaaa" : "bbbbbbbb");
        ASSERT_EQ(GetFileAttributes(file), faArchive) << "round " << round;
    }
}

TEST(ArchiveBit, ReplacedOrCopiedFilesReadAsChanged) {
    const std::string file = testenv::Scratch() + "/game1.sav";
    const std::string fresh = testenv::Scratch() + "/game1.new";
    testenv::WriteFile(file, "old content");
    ASSERT_TRUE(SetFileAttributes(file, 0));
    testenv::WriteFile(fresh, "new content");
    ASSERT_EQ(std::rename(fresh.c_str(), file.c_str()), 0);
    EXPECT_EQ(GetFileAttributes(file), faArchive);

    // A stamp carried to another file along with size and time (a copy that
    // keeps extended attributes) does not make that file clean.
    ASSERT_TRUE(SetFileAttributes(file, 0));
    const std::string copy = testenv::Scratch() + "/copy.sav";
    testenv::WriteFile(copy, "new content");
    struct stat st;
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, copy.c_str(), times, 0), 0);
    const std::string stamp = Xattr(file, "user.mfbackup.clean");
    ASSERT_EQ(::setxattr(copy.c_str(), "user.mfbackup.clean", stamp.data(), stamp.size(), 0), 0);
    EXPECT_EQ(GetFileAttributes(copy), faArchive);
    // Growing or truncating is a change too.
    ASSERT_EQ(::truncate(file.c_str(), 3), 0);
    EXPECT_EQ(GetFileAttributes(file), faArchive);
}

TEST(ArchiveBit, SettingItRemovesTheStampAndReadOnlyFilesCanBeCleared) {
    const std::string file = testenv::Scratch() + "/game1.sav";
    testenv::WriteFile(file, "data");
    ASSERT_TRUE(SetFileAttributes(file, faReadOnly | faHidden));
    EXPECT_EQ(GetFileAttributes(file), faReadOnly | faHidden);
    ASSERT_TRUE(SetFileAttributes(file, faArchive));
    EXPECT_EQ(GetFileAttributes(file), faArchive);
    EXPECT_EQ(Xattr(file, "user.mfbackup.clean"), "<none>");
}

TEST(ArchiveBit, FileSystemRefusingXattrsReadsArchiveAndRefusesTheClear) {
    const std::string file = testenv::Scratch() + "/game1.sav";
    testenv::WriteFile(file, "data");
    ASSERT_TRUE(SetFileAttributes(file, 0));
    {
        XattrRefusal refusal;
        EXPECT_EQ(GetFileAttributes(file), faArchive); // the stamp can't be read
        EXPECT_FALSE(SetFileAttributes(file, 0));
        EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
        EXPECT_FALSE(SetFileAttributes(file, faHidden | faArchive));
        // Setting archive and nothing else needs no attribute: it succeeds.
        EXPECT_TRUE(SetFileAttributes(file, faArchive));
    }
}

TEST(ArchiveBit, StampTextRoundTripsAndRejectsGarbage) {
    CleanStamp stamp{123456789012ull, 42, 1700000000, 999999999};
    const auto back = ParseCleanStamp(FormatCleanStamp(stamp));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->Inode, stamp.Inode);
    EXPECT_EQ(back->Size, 42);
    EXPECT_EQ(back->MTimeNsec, 999999999);
    EXPECT_FALSE(ParseCleanStamp("mf1 1 2 3"));
    EXPECT_FALSE(ParseCleanStamp("mf1 1 2 3.4 trailing"));
    EXPECT_FALSE(ParseCleanStamp("garbage"));
}
