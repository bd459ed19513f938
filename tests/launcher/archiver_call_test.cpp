#include "common/test_env.h"
#include "launcher/app_exec.h"
#include "launcher/archiver_call.h"
#include "platform/files.h"
#include "platform/process.h"
#include "sets/archive_names.h"
#include "settings/backup_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A stand-in program that writes its working folder and each argument, one a
// line, to a file beside it, and ends with the exit code given in $MF_EXIT.
// Its own path has no blank: the program name is not quoted on the line.
std::string MakeEchoProgram() {
    const std::string path = testenv::Scratch() + "/bin-dir/echo-args";
    testenv::WriteFile(path, "#!/bin/sh\n"
                             "out=\"$(dirname \"$0\")/args.txt\"\n"
                             "pwd > \"$out\"\n"
                             "for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$out\"; done\n"
                             "exit \"${MF_EXIT:-0}\"\n");
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

// What RunArchiver says : "" when the program ran and ended well, else why not.
std::string Outcome(const std::string& program, const std::string& params, const std::string& dir) {
    std::string why;
    if (RunArchiver(program, params, dir, why))
        return why;
    return why.empty() ? "failed without a reason" : why;
}

using sets::ArchiveBaseName;

TEST(ArchiverCallTest, CommandLinesWithTheDefaultFolders) {
    const std::string setPath = DefaultBackupDir() + "MFB12AB/";
    TAppExec exec;
    exec.ExeName = ArchiverName;
    exec.ExeParams = {CompressParams(setPath + "characters", "characters.lpl")};
    EXPECT_EQ(exec.CommandLine(), "pkzip.exe -add \"" + testenv::Home() +
                                      "/Moonforge Backup/MFB12AB/characters\" \"characters.lpl\"");
    exec.ExeParams = {ExtractParams(setPath + "characters")};
    EXPECT_EQ(exec.CommandLine(), "pkzip.exe -extract -overwrite \"" + testenv::Home() +
                                      "/Moonforge Backup/MFB12AB/characters\"");
}

// A name copied from Windows need not be UTF-8: its bytes go through as
// they are, and so do quotes and backslashes; the archiver runs in the folder.
TEST(ArchiverCallTest, NamesWithQuotesAndBackslashesReachTheArchiverAsTheyAre) {
    const std::string program = MakeEchoProgram();
    const std::string gameDir = testenv::Scratch() + "/game files/";
    fs::create_directories(gameDir);
    for (const std::string name :
         {"game1.s\"a\"v", "q\"\".sav", "w\\.sav", "a\\\\\"b \\", "game\xE9.sav"}) {
        SCOPED_TRACE(name);
        const std::string archive = "/set \" dir\\/" + ArchiveBaseName(name);
        ASSERT_EQ(Outcome(program, CompressParams(archive, name), gameDir), "");
        EXPECT_EQ(testenv::ReadFile(testenv::Scratch() + "/bin-dir/args.txt"),
                  gameDir.substr(0, gameDir.size() - 1) + "\n-add\n" + archive + "\n" + name +
                      "\n");
        ASSERT_EQ(Outcome(program, ExtractParams(archive), gameDir), "");
        EXPECT_EQ(testenv::ReadFile(testenv::Scratch() + "/bin-dir/args.txt"),
                  gameDir.substr(0, gameDir.size() - 1) + "\n-extract\n-overwrite\n" + archive +
                      "\n");
    }
}

TEST(ArchiverCallTest, AMissingFolderStartsNothingAndFailuresSayWhy) {
    const std::string program = MakeEchoProgram();
    // Never in another folder: the archiver writes where it runs, and this
    // process's current folder is not changed for it.
    const std::string here = platform::GetCurrentDirectory();
    const std::string missing = testenv::Scratch() + "/no such folder/";
    EXPECT_EQ(Outcome(program, ExtractParams("x"), missing),
              "error setting currentdir to " + missing);
    EXPECT_FALSE(testenv::Exists(testenv::Scratch() + "/bin-dir/args.txt"));
    EXPECT_EQ(Outcome(program, ExtractParams("x"), testenv::Scratch()), "");
    EXPECT_EQ(platform::GetCurrentDirectory(), here);

    EXPECT_EQ(Outcome("no-such-archiver.exe", ExtractParams("x"), testenv::Scratch()),
              "File was not found");
    setenv("MF_EXIT", "3", 1);
    EXPECT_EQ(Outcome(program, ExtractParams("x"), testenv::Scratch()),
              program + " ended with exit code 3");
    unsetenv("MF_EXIT");
    EXPECT_EQ(Outcome("/bin/sh", "-c \"kill -15 $$\"", testenv::Scratch()),
              "/bin/sh was ended by signal 15");
}

} // namespace
