// wrap --push and watch --push: once the backup after playing made a set,
// the sets the remote of the setting lacks are pushed, told on standard error
// and in the run log; a push that fails changes no game's exit status.

#include "auto_fixture.h"
#include "common/served_remote.h"

#include <algorithm>
#include <filesystem>
#include <memory>

namespace {

namespace fs = std::filesystem;

class PushAfter : public AutoTest {
protected:
    void SetUp() override {
        AutoTest::SetUp();
        served = std::make_unique<testenv::ServedRemote>(testenv::RemoteKind::LocalFolder,
                                                         testenv::Scratch() + "/served");
    }
    // The sets on the remote.
    std::vector<std::string> Pushed() const {
        std::vector<std::string> names;
        for (const auto& machine : fs::directory_iterator(served->Served()))
            for (const auto& set : fs::directory_iterator(machine.path()))
                names.push_back(set.path().filename().string());
        return names;
    }

    std::unique_ptr<testenv::ServedRemote> served;
};

TEST_F(PushAfter, APlayedSessionsSetGoesToTheRemoteOrTheRunLogSaysWhyNot) {
    const struct {
        const char* what;
        bool remote;
        QStringList args;
        int status;
        const char* logged; // after the backup's outcome; {set}: the set made
    } cases[] = {
        {"wrap", true, {"wrap", "--push", "--", "game", "5"}, 5, "; pushed {set}"},
        {"watch", true, {"watch", "--push", "--once", "--quiet", "1"}, 0, "; pushed {set}"},
        {"no remote",
         false,
         {"wrap", "--push", "--", "game", "0"},
         0,
         "; push failed: no remote is set"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(automation::RunLogPath());
        Cli({"settings", "set", "remote",
             c.remote ? QString::fromStdString(served->Remote()) : QString()});
        const std::vector<std::string> before = Sets();
        Running run(c.args, env_);
        if (c.args[0] == "watch") {
            ASSERT_TRUE(run.WaitForError("mfbackup-cli: watching")) << run.Err();
            Save("characters/characters.lpl", "played");
        }
        EXPECT_EQ(run.Finish(), c.status) << run.Err();
        const std::string set = NewSet(before);
        std::string logged = c.logged;
        if (const auto at = logged.find("{set}"); at != std::string::npos)
            logged.replace(at, 5, set);
        EXPECT_EQ(std::ranges::count(Pushed(), set), c.remote ? 1 : 0);
        if (c.remote) {
            EXPECT_NE(run.Err().find("mfbackup-cli: pushed " + set + " (1 file)\n"),
                      std::string::npos)
                << run.Err();
        }
        const std::vector<std::string> log = LogLines();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_NE(log[0].find("1 file into " + set + logged), std::string::npos) << log[0];
    }
}

} // namespace
