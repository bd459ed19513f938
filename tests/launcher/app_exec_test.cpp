#include "common/test_env.h"
#include "launcher/app_exec.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

TEST(AppExecTest, CommandLineIsNameAndParametersAsTheyAre) {
    TAppExec exec;
    exec.ExeName = "prog";
    EXPECT_EQ(exec.CommandLine(), "prog");
    exec.ExeParams = {"-a", "\"two words\" more"};
    EXPECT_EQ(exec.CommandLine(), "prog -a \"two words\" more");

    // No fixed limit: a line past 511 characters is built whole.
    exec.ExeParams = {std::string(600, 'p')};
    EXPECT_EQ(exec.CommandLine(), "prog " + std::string(600, 'p'));
}

TEST(AppExecTest, ExePathDropsATrailingSlashExceptForTheRoot) {
    TAppExec exec;
    exec.SetExePath("/home/user/save/");
    EXPECT_EQ(exec.ExePath(), "/home/user/save");
    exec.SetExePath("/");
    EXPECT_EQ(exec.ExePath(), "/");
    exec.SetExePath("relative/");
    EXPECT_EQ(exec.ExePath(), "relative");
}

// What RunArchiver makes of a missing program, a missing folder, an exit
// code and a signal is tested with it; here what only the launcher tells.
TEST(AppExecTest, AWaitedRunHappensInExePathAndUnknownCodesSayTheirNumber) {
    const std::string dir = testenv::Scratch() + "/work dir";
    fs::create_directories(dir);
    TAppExec exec;
    exec.ExeName = "/bin/sh";
    exec.ExeParams = {"-c", "\"pwd > here.txt\""};
    exec.SetExePath(dir + "/");
    exec.Wait = true;
    exec.Execute();
    EXPECT_EQ(testenv::ReadFile(dir + "/here.txt"), dir + "\n");
    EXPECT_EQ(AppExecErrorText(7), "Unknown error (code 7)");
    EXPECT_EQ(AppExecErrorText(-2), "Unknown error (code -2)");
}

// A launcher that says when it goes.
class Logged : public TAppExec {
public:
    Logged(TComponent* owner, std::vector<std::string>& gone, std::string name)
        : TAppExec(owner), gone_(gone), name_(std::move(name)) {}
    ~Logged() override { gone_.push_back(name_); }

private:
    std::vector<std::string>& gone_;
    std::string name_;
};

TEST(AppExecTest, AnOwnerDestroysTheLaunchersItStillOwnsAndNoneTwice) {
    std::vector<std::string> gone;
    {
        TComponent window;
        new Logged(&window, gone, "first");
        auto* early = new Logged(&window, gone, "early");
        new Logged(&window, gone, "last");
        delete early; // leaves its owner's list
        EXPECT_EQ(gone, std::vector<std::string>{"early"});
    }
    EXPECT_EQ(gone, (std::vector<std::string>{"early", "last", "first"}));
}

TEST(AppExecTest, WithoutWaitExecuteReturnsAtOnce) {
    const auto start = std::chrono::steady_clock::now();
    {
        TAppExec exec;
        exec.Clear();
        exec.ExeName = "/bin/sh";
        exec.ExeParams = {"-c", "\"sleep 2\""};
        exec.Execute();
        EXPECT_EQ(exec.ErrNo(), -1);
    } // nor does the launcher wait for the program when it goes away
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

} // namespace
