#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/process.h"

#include "common/test_env.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <random>

#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace platform;

namespace {

using Args = std::vector<std::string>;

// A script that writes one "[arg]" line per argument, and what it read from
// standard input, beside itself.
std::string ArgsScript(const std::string& path) {
    testenv::WriteFile(path, "#!/bin/sh\n"
                             "out=\"$(dirname \"$0\")/args.out\"\n"
                             ": > \"$out\"\n"
                             "for a in \"$@\"; do printf '[%s]\\n' \"$a\" >> \"$out\"; done\n"
                             "cat >> \"$out\"\n"
                             "exit 3\n");
    ::chmod(path.c_str(), 0755);
    return path;
}

} // namespace

TEST(SplitCommandLine, FollowsTheMicrosoftRuntimeRules) {
    EXPECT_EQ(SplitCommandLine("pkzip.exe  -a\t\"my file.zip\" x"),
              (Args{"pkzip.exe", "-a", "my file.zip", "x"}));
    EXPECT_EQ(SplitCommandLine(R"(a\\b d"e f"g h)"), (Args{R"(a\\b)", "de fg", "h"}));
    EXPECT_EQ(SplitCommandLine(R"(a\\\"b c d)"), (Args{R"(a\"b)", "c", "d"}));
    EXPECT_EQ(SplitCommandLine(R"(a\\\\"b c" d e)"), (Args{R"(a\\b c)", "d", "e"}));
    EXPECT_EQ(SplitCommandLine(R"("C:\Program Files\x\" y)"), (Args{R"(C:\Program Files\x" y)"}));
    EXPECT_EQ(SplitCommandLine(R"(x "" "a b)"), (Args{"x", "", "a b"})); // unclosed runs to the end
    EXPECT_EQ(SplitCommandLine("  \t "), Args{});
    // Inside quotes "" is a literal quote and the quotes go on.
    EXPECT_EQ(SplitCommandLine(R"(a"b"" c d)"), (Args{R"(ab" c d)"}));
    EXPECT_EQ(SplitCommandLine(R"("a""b" c)"), (Args{R"(a"b)", "c"}));
    EXPECT_EQ(SplitCommandLine(R"("x\\"" y")"), (Args{R"(x\" y)"}));
    EXPECT_EQ(SplitCommandLine(R"(""" x)"), (Args{R"(" x)"}));
}

TEST(QuoteArgument, OrdinaryTextIsOnlyQuotedAndAnyBytesSplitBackAsTheyWere) {
    EXPECT_EQ(QuoteArgument("/home/u/Moonforge Backup/MFB1/game1"),
              "\"/home/u/Moonforge Backup/MFB1/game1\"");
    EXPECT_EQ(QuoteArgument(""), "\"\"");
    EXPECT_EQ(QuoteArgument(R"(game1.s"a"v)"), R"("game1.s\"a\"v")");
    EXPECT_EQ(QuoteArgument(R"(w\)"), R"("w\\")");

    // Random byte strings, rich in the characters the rules are about, go
    // through a line of several arguments and come back unchanged.
    std::mt19937 random(11);
    const std::string special = "\"\\ \t";
    for (int round = 0; round < 3000; ++round) {
        Args args(1 + random() % 4);
        std::string line;
        for (std::string& arg : args) {
            arg.resize(random() % 12);
            for (char& c : arg)
                c = random() % 2 ? special[random() % special.size()] : static_cast<char>(random());
            line += (line.empty() ? "" : " ") + QuoteArgument(arg);
        }
        ASSERT_EQ(SplitCommandLine(line), args) << line;
    }
}

TEST(SearchProgram, LooksInOwnFolderThenCurrentFolderThenPath) {
    // The test binary itself sits only in the program's own folder.
    const std::string self = SearchProgram("platform_tests");
    EXPECT_EQ(self, ModuleDirectory() + "platform_tests");
    EXPECT_EQ(ModuleDirectory().back(), '/');

    const std::string cwd = testenv::Scratch() + "/cwd";
    const std::string onPath = testenv::Scratch() + "/onpath";
    testenv::WriteFile(cwd + "/Tool.exe", "#!/bin/sh\n");
    testenv::WriteFile(onPath + "/tool.exe", "#!/bin/sh\n");
    testenv::WriteFile(onPath + "/other", "#!/bin/sh\n");
    ASSERT_TRUE(CreateDirectory(onPath + "/folder.exe"));
    ASSERT_TRUE(SetCurrentDirectory(cwd));
    ::setenv("PATH", ("/nonexistent::" + onPath + ":/usr/bin:/bin").c_str(), 1);

    EXPECT_EQ(SearchProgram("TOOL.EXE"), cwd + "/Tool.exe");
    EXPECT_EQ(SearchProgram("tool"), cwd + "/Tool.exe"); // ".exe" added as Windows does
    EXPECT_EQ(SearchProgram("other"), onPath + "/other");
    EXPECT_EQ(SearchProgram("folder.exe"), ""); // folders are no programs
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SearchProgram(onPath + "/OTHER"), onPath + "/other");
}

TEST(Process, PassesArgumentsAndKeepsTheExitCode) {
    const std::string script = ArgsScript(testenv::Scratch() + "/my tools/args.sh");
    Process p;
    ASSERT_TRUE(p.Start("\"" + script + "\" \"a b\" c\\\"d \"\" ünï", 0));
    ASSERT_TRUE(p.Wait());
    EXPECT_FALSE(p.Status().Signaled);
    EXPECT_EQ(p.Status().Code, 3);
    // Standard input is /dev/null: the script's "cat" ended at once.
    EXPECT_EQ(testenv::ReadFile(testenv::Scratch() + "/my tools/args.out"),
              "[a b]\n[c\"d]\n[]\n[ünï]\n");
    EXPECT_FALSE(p.Running());
    EXPECT_FALSE(p.Wait()); // nothing left to wait for

    ASSERT_TRUE(p.Start("sh -c \"kill -TERM $$\""));
    ASSERT_TRUE(p.Wait());
    EXPECT_TRUE(p.Status().Signaled);
    EXPECT_EQ(p.Status().Code, SIGTERM);
}

TEST(Process, UnquotedPathWithBlanksIsTriedWordByWordShortestFirst) {
    const std::string dir = testenv::Scratch() + "/p";
    ArgsScript(dir + "/dir with space/child.exe");
    const struct {
        const char* line;    // after dir
        const char* program; // that ran, or "" when none starts
        std::string args;
    } cases[] = {
        {"/dir with space/child.exe a  \"b c\"", "dir with space", "[a]\n[b c]\n"},
        {"/dir with space/child a", "dir with space", "[a]\n"}, // ".exe" added
        {"/dir with space/child.exe", "dir with space", ""},
        {"/dir with space/child.exe\" a", "", ""}, // a quote ends the words tried
        {"/dir with/child.exe a", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        std::remove((dir + "/dir with space/args.out").c_str());
        Process p;
        const bool started = p.Start(dir + c.line);
        EXPECT_EQ(started, *c.program != '\0');
        if (!started) {
            EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND); // the first word's error
            continue;
        }
        ASSERT_TRUE(p.Wait());
        EXPECT_EQ(testenv::ReadFile(dir + "/" + c.program + "/args.out"), c.args);
    }

    // The shortest prefix that names a program wins, as on Windows.
    ArgsScript(dir + "/dir");
    Process p;
    ASSERT_TRUE(p.Start(dir + "/dir with space/child.exe a"));
    ASSERT_TRUE(p.Wait());
    EXPECT_EQ(testenv::ReadFile(dir + "/args.out"), "[with]\n[space/child.exe]\n[a]\n");
}

TEST(Process, StartFailuresComeBackAsWindowsCodes) {
    const std::string dir = testenv::Scratch();
    testenv::WriteFile(dir + "/notexec", "#!/bin/sh\nexit 0\n");
    testenv::WriteFile(dir + "/garbage.exe", std::string("MZ\x90\0\3\0\0\0", 8));
    ::chmod((dir + "/garbage.exe").c_str(), 0755);
    testenv::WriteFile(dir + "/nointerp", "#!/no/such/interpreter\n");
    ::chmod((dir + "/nointerp").c_str(), 0755);
    const struct {
        std::string commandLine;
        std::uint32_t code;
    } cases[] = {
        {"no-such-program.exe /c", ERROR_FILE_NOT_FOUND},
        {dir + "/missing/prog", ERROR_PATH_NOT_FOUND},
        {dir + "/notexec", ERROR_ACCESS_DENIED},
        {dir + "/garbage.exe", ERROR_BAD_EXE_FORMAT},
        {dir + "/nointerp", ERROR_FILE_NOT_FOUND},
        {"", ERROR_FILE_NOT_FOUND},
    };
    for (const auto& c : cases) {
        Process p;
        EXPECT_FALSE(p.Start(c.commandLine)) << c.commandLine;
        EXPECT_EQ(GetLastError(), c.code) << c.commandLine;
        EXPECT_FALSE(p.Running());
    }
}

// A command killed leaves no child of its own running; what it started to
// outlive it (the notifier) lives on. Each ends by the signal that ended it.
TEST(Process, AChildDiesWithTheProcessThatStartedItButADetachedOneLivesOn) {
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0); // orphans come to the test
    for (const bool detached : {false, true}) {
        int pid[2];
        ASSERT_EQ(::pipe(pid), 0);
        const std::string script = "echo $$ >&" + std::to_string(pid[1]) + "; exec sleep 100";
        const pid_t parent = ::fork();
        if (parent == 0) {
            Process p;
            if (detached ? StartDetached("/bin/sh", {"sh", "-c", script})
                         : p.Start("sh -c \"" + script + "\""))
                ::pause();
            ::_exit(1);
        }
        char line[32] = {};
        ASSERT_GT(::read(pid[0], line, sizeof line - 1), 0);
        ::kill(parent, SIGKILL);
        ::waitpid(parent, nullptr, 0);
        const pid_t child = std::atoi(line);
        ::kill(child, SIGTERM);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_EQ(WIFSIGNALED(status) ? WTERMSIG(status) : 0, detached ? SIGTERM : SIGKILL);
    }
}
