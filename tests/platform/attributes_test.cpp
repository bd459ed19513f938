#include "platform/attributes.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/stamp_store.h"

#include "common/test_env.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <functional>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

using namespace platform;
using namespace std::string_literals;
using testenv::Rewrite;

namespace {

std::string Xattr(const std::string& path, const char* name) {
    char value[256];
    const ssize_t n = ::getxattr(path.c_str(), name, value, sizeof value);
    return n < 0 ? std::string("<none>") : std::string(value, static_cast<std::size_t>(n));
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

// Read-only files can be cleared, and setting archive removes the clean stamp.
TEST(Attributes, HiddenSystemAndReadOnlyRoundTripOnDisk) {
    const std::string file = testenv::Scratch() + "/save.dat";
    testenv::WriteFile(file, "x");
    ASSERT_TRUE(SetFileAttributes(file, faHidden | faSysFile | faReadOnly));
    EXPECT_EQ(GetFileAttributes(file), faHidden | faSysFile | faReadOnly);
    EXPECT_EQ(Xattr(file, "user.DOSATTRIB"), "0x6");
    struct stat st;
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);

    ASSERT_TRUE(SetFileAttributes(file, faArchive));
    EXPECT_EQ(GetFileAttributes(file), faArchive);
    EXPECT_EQ(Xattr(file, "user.DOSATTRIB"), "<none>"); // removed, not "0x0"
    EXPECT_EQ(Xattr(file, "user.mfbackup.clean"), "<none>");
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

// A missing folder on the way is a missing path, as Windows tells them apart.
TEST(Attributes, MissingPathsFailWithWindowsCodes) {
    testenv::WriteFile(testenv::Scratch() + "/file", "x");
    for (const auto& [path, error] :
         {std::pair<std::string, std::uint32_t>{"/none", ERROR_FILE_NOT_FOUND},
          {"/file/below", ERROR_PATH_NOT_FOUND},
          {"/no-folder/file", ERROR_PATH_NOT_FOUND},
          {"/no-folder/sub/", ERROR_PATH_NOT_FOUND},
          {"/none/deeper/file", ERROR_PATH_NOT_FOUND}}) {
        EXPECT_EQ(GetFileAttributes(testenv::Scratch() + path), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(GetLastError(), error) << path;
        EXPECT_FALSE(SetFileAttributes(testenv::Scratch() + path, faArchive));
        EXPECT_EQ(GetLastError(), error) << path;
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

// A stamp carried to another file along with size and time (a copy that
// keeps extended attributes) does not make that file clean.
TEST(ArchiveBit, ACopyCarryingTheStampReadsAsChanged) {
    const std::string file = testenv::Scratch() + "/game1.sav";
    const std::string copy = testenv::Scratch() + "/copy.sav";
    testenv::WriteFile(file, "content");
    testenv::WriteFile(copy, "content");
    ASSERT_TRUE(SetFileAttributes(file, 0));
    struct stat st;
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, copy.c_str(), times, 0), 0);
    const std::string stamp = Xattr(file, "user.mfbackup.clean");
    ASSERT_EQ(::setxattr(copy.c_str(), "user.mfbackup.clean", stamp.data(), stamp.size(), 0), 0);
    EXPECT_EQ(GetFileAttributes(copy), faArchive);
}

TEST(ArchiveBit, FileSystemRefusingXattrsKeepsTheStampInTheStore) {
    const std::string file = testenv::Scratch() + "/game1.sav";
    testenv::WriteFile(file, "data");
    ASSERT_TRUE(SetFileAttributes(file, 0));
    {
        XattrRefusal refusal;
        EXPECT_EQ(GetFileAttributes(file), faArchive); // the attribute's stamp can't be read
        ASSERT_TRUE(SetFileAttributes(file, 0));
        EXPECT_EQ(GetFileAttributes(file), 0u);
        // Hidden and system have no other place to go.
        EXPECT_FALSE(SetFileAttributes(file, faHidden | faArchive));
        EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
        EXPECT_TRUE(SetFileAttributes(file, faArchive));
        EXPECT_EQ(GetFileAttributes(file), faArchive);
    }
}

TEST(ArchiveBit, ABackedUpVersionIsMarkedOnlyWhileTheFileIsStillThatVersion) {
    const std::string file = testenv::Scratch() + "/game1.sav";
    testenv::WriteFile(file, "aaaa");
    // Written well before it was read, so a write now moves its time
    // whatever the clock's tick.
    const timespec hourAgo[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), hourAgo, 0), 0);
    FileVersion read;
    ASSERT_TRUE(GetFileVersion(file, read));
    Rewrite(file, "bbbb"); // written again after it was read: the same size
    EXPECT_FALSE(SetFileAttributes(file, 0, &read));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(GetFileAttributes(file), faArchive);
    ASSERT_TRUE(GetFileVersion(file, read));
    ASSERT_TRUE(SetFileAttributes(file, 0, &read));
    EXPECT_EQ(GetFileAttributes(file), 0u);

    // Written again within the same second, at the same size: told apart by
    // the nanoseconds.
    const timespec first[2] = {{0, UTIME_OMIT}, {read.WriteTime.tv_sec, 100}};
    const timespec again[2] = {{0, UTIME_OMIT}, {read.WriteTime.tv_sec, 200}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), first, 0), 0);
    ASSERT_TRUE(GetFileVersion(file, read));
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), again, 0), 0);
    EXPECT_FALSE(SetFileAttributes(file, 0, &read));
    EXPECT_EQ(GetFileAttributes(file), faArchive);
}

TEST(StampStore, ABatchWritesTheStoreOnceWhenItEnds) {
    const std::string dir = testenv::Scratch();
    const std::string store = StampStorePath();
    XattrRefusal refusal;
    for (const char* name : {"a.sav", "b.sav"})
        testenv::WriteFile(dir + "/" + name, name);
    ASSERT_TRUE(SetFileAttributes(dir + "/a.sav", 0));
    struct stat before;
    ASSERT_EQ(::stat(store.c_str(), &before), 0);
    {
        const StampBatch batch;
        ASSERT_TRUE(SetFileAttributes(dir + "/b.sav", 0));
        ASSERT_TRUE(SetFileAttributes(dir + "/a.sav", faArchive));
        // Read back from the batch; the store's file is still the one before.
        EXPECT_EQ(GetFileAttributes(dir + "/a.sav"), faArchive);
        EXPECT_EQ(GetFileAttributes(dir + "/b.sav"), 0u);
        struct stat during;
        ASSERT_EQ(::stat(store.c_str(), &during), 0);
        EXPECT_EQ(during.st_ino, before.st_ino);
    }
    struct stat after;
    ASSERT_EQ(::stat(store.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino); // replaced, once
    EXPECT_EQ(testenv::ReadFile(store).find(dir + "/a.sav"), std::string::npos);
    EXPECT_NE(testenv::ReadFile(store).find(dir + "/b.sav"), std::string::npos);
}

// In the attribute, and in the stamp store where the file system takes no
// user extended attributes: any change after the clear reads as changed.
TEST(ArchiveBit, EveryChangeAfterTheClearReadsAsChangedInTheAttributeOrTheStore) {
    const std::string dir = testenv::Scratch() + "/";
    const struct {
        const char* name;
        std::function<void(const std::string&)> change;
    } cases[] = {
        {"untouched", [](const std::string&) {}},
        {"same-size rewrite", [](const std::string& f) { Rewrite(f, "bbbb"); }},
        {"renamed over",
         [&](const std::string& f) {
             testenv::WriteFile(dir + "new", "aaaa");
             ASSERT_EQ(std::rename((dir + "new").c_str(), f.c_str()), 0);
         }},
        {"truncated", [](const std::string& f) { ASSERT_EQ(::truncate(f.c_str(), 1), 0); }},
        {"archive set", [](const std::string& f) { ASSERT_TRUE(SetFileAttributes(f, faArchive)); }},
    };
    for (const bool refuse : {false, true}) {
        RefuseXattrsForTesting(refuse);
        for (const auto& c : cases) {
            const std::string file = dir + (refuse ? "store-" : "xattr-") + c.name;
            testenv::WriteFile(file, "aaaa");
            ASSERT_TRUE(SetFileAttributes(file, 0)) << file;
            c.change(file);
            EXPECT_EQ(GetFileAttributes(file), c.name == std::string("untouched") ? 0u : faArchive)
                << file;
        }
    }
    RefuseXattrsForTesting(false);
    const std::string store = testenv::ReadFile(StampStorePath());
    EXPECT_EQ(store.rfind("mfbackup clean stamps 1\n", 0), 0u) << store;
    EXPECT_NE(store.find("\t" + dir + "store-untouched\n"), std::string::npos) << store;
    EXPECT_EQ(store.find(dir + "store-archive set"), std::string::npos) << "forgotten";
    EXPECT_EQ(store.find(dir + "xattr-"), std::string::npos) << store;
    EXPECT_EQ(StampStorePath(), testenv::Home() + "/.local/state/mfbackup/clean-stamps");
}

TEST(StampStore, DamagedStoreReadsAsEmptyAndIsReplacedByTheNextClear) {
    const std::string file = testenv::Scratch() + "/game1.sav";
    testenv::WriteFile(file, "data");
    ASSERT_TRUE(SetFileAttributes(file, 0)); // in the attribute: no store needed
    EXPECT_FALSE(testenv::Exists(StampStorePath()));

    XattrRefusal refusal;
    ASSERT_TRUE(SetFileAttributes(file, 0));
    EXPECT_EQ(GetFileAttributes(file), 0u);
    for (const std::string& damage : {std::string("\0\xff garbage", 10), std::string(),
                                      std::string("mfbackup clean stamps 2\n")}) {
        testenv::WriteFile(StampStorePath() + ".new", damage);
        ASSERT_EQ(std::rename((StampStorePath() + ".new").c_str(), StampStorePath().c_str()), 0);
        EXPECT_EQ(GetFileAttributes(file), faArchive);
        ASSERT_TRUE(SetFileAttributes(file, 0));
        EXPECT_EQ(GetFileAttributes(file), 0u);
    }
}

TEST(StampStore, StampAndStoreTextRoundTripAnyPathAndRejectWhatTheyDidNotWrite) {
    const CleanStamp stamp{123456789012ull, 42, 1700000000, 999999999};
    const auto back = ParseCleanStamp(FormatCleanStamp(stamp));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->Inode, stamp.Inode);
    EXPECT_EQ(back->Size, 42);
    EXPECT_EQ(back->MTimeNsec, 999999999);
    for (const char* bad : {"mf1 1 2 3", "mf1 1 2 3.4 trailing", "garbage"})
        EXPECT_FALSE(ParseCleanStamp(bad)) << bad;

    const StampEntries entries = {{"/a/b c.sav", "mf1 1 2 3.4"},
                                  {"/odd\nname\\with\ttab", "mf1 5 6 7.8"}};
    EXPECT_EQ(ParseStampStore(FormatStampStore(entries)), entries);
    EXPECT_EQ(ParseStampStore(FormatStampStore({})), StampEntries{});

    const std::string header = "mfbackup clean stamps 1\n";
    for (const std::string& text :
         {std::string(), "foreign\n" + header, header + "mf1 1 2 3.4\t/no/newline",
          header + "no tab\n", header + "mf1 1 2\t/bad/stamp\n", header + "mf1 1 2 3.4\trel\n",
          header + "mf1 1 2 3.4\t/bad\\escape\n", header + "mf1 1 2 3.4\t/nul\0\n"s})
        EXPECT_EQ(ParseStampStore(text), std::nullopt) << text;
}
