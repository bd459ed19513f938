#include "platform/paths.h"

#include "common/test_env.h"

#include <gtest/gtest.h>

#include <cstdio>

#include <sys/wait.h>
#include <unistd.h>

using namespace platform;

TEST(Paths, SplitsAndJoinsWithTheSlash) {
    EXPECT_EQ(ExtractFilePath("/a/b c/save.sav"), "/a/b c/");
    EXPECT_EQ(ExtractFileName("/a/b c/save.sav"), "save.sav");
    EXPECT_EQ(ExtractFilePath("c:save.sav"), ""); // ":" is an ordinary character here
    EXPECT_EQ(ExtractFileName("dir/"), "");
    EXPECT_EQ(IncludeTrailingPathDelimiter("/a"), "/a/");
    EXPECT_EQ(IncludeTrailingPathDelimiter("/a/"), "/a/");
    EXPECT_EQ(IncludeTrailingPathDelimiter(""), "");
}

TEST(Paths, CutUtf8NeverSplitsASequence) {
    EXPECT_EQ(CutUtf8("abc", 255), "abc");
    EXPECT_EQ(CutUtf8("ab\xc3\xa9", 3), "ab"); // é is two bytes
    EXPECT_EQ(CutUtf8("ab\xc3\xa9", 4), "ab\xc3\xa9");
    EXPECT_EQ(CutUtf8("a\xf0\x9f\x98\x80z", 4), "a"); // a four-byte emoji
    EXPECT_EQ(CutUtf8("a\xf0\x9f\x98\x80z", 5), "a\xf0\x9f\x98\x80");
    EXPECT_EQ(CutUtf8(std::string(300, 'x'), 255).size(), 255u);
}

TEST(ResolveCase, FindsEachComponentIgnoringCaseAndKeepsTheRest) {
    const std::string root = testenv::Scratch();
    testenv::WriteFile(root + "/Save/Characters/GAME1.SAV", "x");
    EXPECT_EQ(ResolveCase(root + "/save/CHARACTERS/game1.sav"),
              root + "/Save/Characters/GAME1.SAV");
    EXPECT_EQ(ResolveCase(root + "/SAVE/characters/"), root + "/Save/Characters/");
    // Missing in every case: kept as written from there on.
    EXPECT_EQ(ResolveCase(root + "/SAVE/Nope/X.sav"), root + "/Save/Nope/X.sav");
    EXPECT_EQ(ResolveCase(root + "/save/./characters/../CHARACTERS/new.sav"),
              root + "/Save/./Characters/../Characters/new.sav");
    // Two spellings on disk: the answer is the same whatever the listing order.
    testenv::WriteFile(root + "/Save/b.txt", "1");
    testenv::WriteFile(root + "/Save/B.TXT", "2");
    EXPECT_EQ(ResolveCase(root + "/save/b.Txt"), root + "/Save/B.TXT");
    // Relative paths resolve against the current folder.
    ASSERT_EQ(::chdir(root.c_str()), 0);
    EXPECT_EQ(ResolveCase("SAVE/characters/Game1.sav"), "Save/Characters/GAME1.SAV");
}

TEST(ResolveCase, LargeFoldersFollowChangesMadeByAnyone) {
    // Large enough for the layer to keep a watched listing of the folder.
    const std::string dir = testenv::Scratch() + "/Big";
    for (int i = 0; i < 300; ++i)
        testenv::WriteFile(dir + "/File" + std::to_string(i) + ".sav", "");
    EXPECT_EQ(ResolveCase(dir + "/FILE7.SAV"), dir + "/File7.sav");
    EXPECT_EQ(ResolveCase(dir + "/new.sav"), dir + "/new.sav");

    // Changes made behind the layer's back, by another process.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The child renames, removes and creates, and resolves before and
        // after, which must not take the news from its parent.
        const bool ok =
            ResolveCase(dir + "/file8.sav") == dir + "/File8.sav" &&
            std::rename((dir + "/File7.sav").c_str(), (dir + "/Moved.SAV").c_str()) == 0 &&
            std::remove((dir + "/File9.sav").c_str()) == 0 &&
            std::fclose(std::fopen((dir + "/NEW.SAV").c_str(), "w")) == 0 &&
            ResolveCase(dir + "/moved.sav") == dir + "/Moved.SAV";
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(ResolveCase(dir + "/file7.sav"), dir + "/file7.sav");
    EXPECT_EQ(ResolveCase(dir + "/moved.sav"), dir + "/Moved.SAV");
    EXPECT_EQ(ResolveCase(dir + "/file9.sav"), dir + "/file9.sav");
    EXPECT_EQ(ResolveCase(dir + "/new.sav"), dir + "/NEW.SAV");
    EXPECT_EQ(ResolveCase(dir + "/file10.SAV"), dir + "/File10.sav");

    // The folder replaced by another of the same name.
    ASSERT_EQ(std::rename(dir.c_str(), (dir + ".old").c_str()), 0);
    testenv::WriteFile(dir + "/other.sav", "");
    EXPECT_EQ(ResolveCase(dir + "/FILE10.sav"), dir + "/FILE10.sav");
    EXPECT_EQ(ResolveCase(dir + "/OTHER.sav"), dir + "/other.sav");
}
