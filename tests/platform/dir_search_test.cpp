#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/files.h"
#include "platform/last_error.h"

#include "common/test_env.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace platform;

namespace {

std::vector<std::string> Names(const std::string& pattern, std::uint32_t mask) {
    std::vector<std::string> names;
    FileSearch search;
    for (bool ok = search.FindFirst(pattern, mask); ok; ok = search.FindNext())
        names.push_back(search.Rec().Name);
    return names;
}

using List = std::vector<std::string>;

} // namespace

TEST(Wildcard, MatchesAsWindowsDoes) {
    const struct {
        const char* pattern;
        const char* name;
        bool matches;
    } cases[] = {
        {"*.*", "README", true},
        {"*.*", "a.b.c", true},
        {"game*.sav", "GAME1.SAV", true},
        {"GAME?.sav", "game7.Sav", true},
        {"game?.sav", "game.sav", false}, // ? is one character
        {"game?.sav", "game12.sav", false},
        {"*.sav", "game.save", false},
        {"*a*b*c", "xxaYYbZZbc", true},
        {"*a*b*c", "xxaYYbZZcb", false},
        {"notes", "NOTES", true},
        {"notes", "notes2", false},
        // A trailing ".*" also matches the end of the name.
        {"READ*.*", "README", true},
        {"*.*.*", "README", true},
        {"*.*.*", "a.txt", true},
        {"*.*.*", "a.b.c", true},
        {"*.txt.*", "a.txt", true},
        {"*.txt.*", "a.txt.1", true},
        {"*.txt.*", "a.txtx", false},
        {"a.*", "A", true},
        {"a.*", "ab", false},
        {"a.*.*", "a", true},
        {".*", ".profile", true},
        {".*", "x", false},
        // A trailing "." asks for no extension beyond what the pattern spells.
        {"data.", "DATA", true},
        {"*.", "README", true},
        {"*.", "a.txt", false},
        {"*.", "..", true},
        {"*.*.", "README", true},
        {"*.*.", "a.txt", false},
        {"x.*.", "X", true},
        {"x.*.", "x.y", false},
        {"a.b.", "a.b", true},
        {"a.b.", "a.b.c", false},
        {"*.b.", "x.y.b", true},
        {"*.b.", "x.bb", false},
        {"*.?.", "x.c", true},
        {"*a.", "ba", true},
        {"*a.", "b.a", false},
        {"data..", "DATA", true},
        {"?.", "a", true},
        {"?.", "a.b", false},
        {".", ".", true},
        {".", "x", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MatchesWildcard(c.pattern, c.name), c.matches) << c.pattern << " " << c.name;
}

TEST(FileSearch, SortsIgnoringCaseWithDotEntriesFirstAndFiltersByMask) {
    const std::string dir = testenv::Scratch() + "/Saves";
    testenv::WriteFile(dir + "/b.txt", "bb");
    testenv::WriteFile(dir + "/A.txt", "a");
    testenv::WriteFile(dir + "/.hidden", "");
    testenv::WriteFile(dir + "/sys.dat", "");
    testenv::WriteFile(dir + "/Sub/x", "");
    testenv::WriteFile(dir + "/ro.txt", "");
    ASSERT_TRUE(SetFileAttributes(dir + "/sys.dat", faSysFile | faArchive));
    ASSERT_TRUE(SetFileAttributes(dir + "/ro.txt", faReadOnly));

    EXPECT_EQ(Names(dir + "/*.*", faAnyFile),
              (List{".", "..", ".hidden", "A.txt", "b.txt", "ro.txt", "Sub", "sys.dat"}));
    // faArchive alone: plain files, also read-only and clean ones.
    EXPECT_EQ(Names(dir + "/*.*", faArchive), (List{"A.txt", "b.txt", "ro.txt"}));
    EXPECT_EQ(Names(dir + "/*", faDirectory), (List{".", "..", "A.txt", "b.txt", "ro.txt", "Sub"}));
    EXPECT_EQ(Names(dir + "/*", faHidden), (List{".hidden", "A.txt", "b.txt", "ro.txt"}));
    EXPECT_EQ(Names(dir + "/*", faSysFile), (List{"A.txt", "b.txt", "ro.txt", "sys.dat"}));
    // The folder part is resolved ignoring case.
    EXPECT_EQ(Names(testenv::Scratch() + "/SAVES/B*", faArchive), (List{"b.txt"}));
    // NTFS compares in upper case: "_" sorts after the letters, not before.
    for (const char* name : {"game_2.sav", "gameB.sav", "GAMEa.sav", "game1.sav"})
        testenv::WriteFile(dir + "/Order/" + name, "");
    EXPECT_EQ(Names(dir + "/Order/game*", faArchive),
              (List{"game1.sav", "GAMEa.sav", "gameB.sav", "game_2.sav"}));

    FileSearch search;
    ASSERT_TRUE(search.FindFirst(dir + "/b.TXT", faArchive));
    EXPECT_EQ(search.Rec().Size, 2);
    EXPECT_EQ(search.Rec().Attr, faArchive);
    struct stat st;
    ASSERT_EQ(::stat((dir + "/b.txt").c_str(), &st), 0);
    EXPECT_EQ(search.Rec().WriteTime.tv_sec, st.st_mtim.tv_sec);
    EXPECT_EQ(search.Rec().WriteTime.tv_nsec, st.st_mtim.tv_nsec);
    EXPECT_FALSE(search.FindNext());
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
}

TEST(FileSearch, EachEntryIsJudgedAsItIsWhenReached) {
    const std::string dir = testenv::Scratch() + "/Lazy";
    for (const char* name : {"a.sav", "b.sav", "c.sav", "d.sav"})
        testenv::WriteFile(dir + "/" + name, name);
    FileSearch search;
    ASSERT_TRUE(search.FindFirst(dir + "/*.sav", faArchive));
    EXPECT_EQ(search.Rec().Name, "a.sav");
    // Gone since the folder was read, and hidden since: both passed over.
    ::unlink((dir + "/b.sav").c_str());
    ASSERT_TRUE(SetFileAttributes(dir + "/c.sav", faHidden | faArchive));
    ASSERT_TRUE(search.FindNext());
    EXPECT_EQ(search.Rec().Name, "d.sav");
    EXPECT_FALSE(search.FindNext());
}

TEST(FileSearch, EmptyFolderFindsDotAndMissingThingsFailClearly) {
    const std::string dir = testenv::Scratch() + "/empty";
    ASSERT_TRUE(CreateDirectory(dir));
    FileSearch search;
    ASSERT_TRUE(search.FindFirst(dir + "/*.*", faDirectory));
    EXPECT_EQ(search.Rec().Name, ".");
    EXPECT_EQ(search.Rec().Attr, faDirectory);
    ASSERT_TRUE(search.FindNext());
    EXPECT_EQ(search.Rec().Name, "..");
    EXPECT_FALSE(search.FindNext());

    EXPECT_FALSE(search.FindFirst(dir + "/*.*", faArchive));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(search.FindFirst(dir + "/missing/*.*", faAnyFile));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    testenv::WriteFile(dir + "/file", "");
    EXPECT_FALSE(search.FindFirst(dir + "/file/*.*", faAnyFile)); // a file as the folder
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    EXPECT_TRUE(FileExists(dir + "/FILE"));
    EXPECT_FALSE(FileExists(dir + "/nothing*"));
    EXPECT_FALSE(FileExists(dir));
    EXPECT_TRUE(DirectoryExists(testenv::Scratch() + "/EMPTY"));
    EXPECT_FALSE(DirectoryExists(dir + "/file"));
}

TEST(FileSearch, LinkLoopsAndDanglingLinksAreListedWithoutHarm) {
    const std::string dir = testenv::Scratch() + "/links";
    testenv::WriteFile(dir + "/real.sav", "data");
    ASSERT_EQ(::symlink("loop1", (dir + "/loop2").c_str()), 0);
    ASSERT_EQ(::symlink("loop2", (dir + "/loop1").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", (dir + "/dangling").c_str()), 0);
    ASSERT_EQ(::symlink(".", (dir + "/self").c_str()), 0); // a folder link back to itself

    EXPECT_EQ(Names(dir + "/*", faAnyFile),
              (List{".", "..", "dangling", "loop1", "loop2", "real.sav", "self"}));
    EXPECT_EQ(GetFileAttributes(dir + "/loop1"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_CANT_RESOLVE_FILENAME);
    EXPECT_FALSE(CopyFile(dir + "/loop1", testenv::Scratch() + "/out", false));
    EXPECT_EQ(GetLastError(), ERROR_CANT_RESOLVE_FILENAME);
    EXPECT_FALSE(CopyFile(dir + "/dangling", testenv::Scratch() + "/out", false));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(testenv::Exists(testenv::Scratch() + "/out"));
    // As a target, a link that leads nowhere is a name like any other.
    EXPECT_FALSE(CopyFile(dir + "/real.sav", dir + "/loop1", true));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    ASSERT_TRUE(CopyFile(dir + "/real.sav", dir + "/dangling", false));
    EXPECT_EQ(testenv::ReadFile(dir + "/dangling"), "data");
    EXPECT_FALSE(testenv::Exists(dir + "/nowhere"));
}
