// One run at a time on a backup folder: each run that writes sets or game
// files waits through its reporter while another holds the folder's lock,
// and works on what is left once it has it.

#include "core/backup.h"
#include "core/backup_folder_lock.h"
#include "core/export.h"
#include "core/import.h"
#include "core/restore.h"
#include "platform/attributes.h"
#include "platform/folder_lock.h"

#include "common/test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

using namespace core;
namespace fs = std::filesystem;

namespace {

// The reports a run makes, and what it does while it waits.
class Recorder : public Reporter {
public:
    void Message(const std::string& text) override { Said.push_back(text); }
    void WaitStart(const std::string& caption, const std::string& text) override {
        Said.push_back("wait " + caption + ": " + text);
    }
    bool KeepWaiting() override { return OnWait ? OnWait() : true; }
    void WaitOver() override { Said.push_back("wait over"); }

    std::vector<std::string> Said;
    std::function<bool()> OnWait;
};

class LockTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove_all(game_);
        fs::remove_all(backup_);
        fs::create_directories(backup_);
        for (const char* sub : {"save/characters", "save/net", "save/games"})
            fs::create_directories(game_ + sub);
    }
    std::string Save(const std::string& rel, const std::string& bytes) {
        testenv::WriteFile(game_ + "save/" + rel, bytes);
        return game_ + "save/" + rel;
    }
    static bool Changed(const std::string& path) {
        return (platform::GetFileAttributes(path) & platform::faArchive) != 0;
    }
    std::vector<std::string> Entries(const std::string& dir) const {
        std::vector<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(dir))
            names.push_back(e.path().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    BackupChoices Choices() const {
        BackupChoices choices;
        choices.GameDir = game_;
        choices.BackupDir = backup_;
        choices.Kinds = {true, true, true};
        choices.Description = "d";
        return choices;
    }
    RestorePlan Plan(const std::string& set) const {
        RestorePlan plan;
        plan.BackupDir = backup_;
        plan.GameDir = game_;
        plan.SetName = set;
        plan.Kinds = {true, false, false}; // what the set holds
        plan.Safety = true;
        return plan;
    }

    const std::string game_ = testenv::Scratch() + "/game/";
    const std::string backup_ = testenv::Scratch() + "/backup/";
    const std::string medium_ = testenv::Scratch() + "/medium/";
};

class LockedRun;

struct RunCase {
    const char* Name;
    RunResult (LockedRun::*Run)(Reporter& reporter);
    const char* Caption;
};

void PrintTo(const RunCase& c, std::ostream* os) {
    *os << c.Name;
}

class LockedRun : public LockTest, public ::testing::WithParamInterface<RunCase> {
public:
    RunResult Backup(Reporter& reporter) { return core::Backup(Choices(), reporter); }
    RunResult Restore(Reporter& reporter) {
        RestoreChoices choices;
        choices.Plan = Plan("MFB0001");
        return core::Restore(choices, reporter);
    }
    RunResult Export(Reporter& reporter) {
        ExportChoices choices;
        choices.Plan = Plan("MFB0001");
        choices.Plan.Safety = false;
        choices.Folder = medium_;
        return core::Export(choices, reporter);
    }
    RunResult Import(Reporter& reporter) {
        ImportChoices choices;
        choices.BackupDir = backup_;
        choices.Folder = medium_;
        choices.Kinds = {true, true, true};
        return core::Import(choices, reporter);
    }
};

const RunCase kRuns[] = {
    {"Backup", &LockedRun::Backup, "Backing Up"},
    {"RestoreWithItsSafetySet", &LockedRun::Restore, "Restoring"},
    {"Export", &LockedRun::Export, "Restoring"},
    {"Import", &LockedRun::Import, "Importing file"},
};

} // namespace

// While another run holds the folder nothing is read or written, and a wait
// given up does nothing and says nothing more.
TEST_P(LockedRun, WaitsForTheRunHoldingTheFolderAndDoesNothingWhenTheWaitIsGivenUp) {
    const RunCase& run = GetParam();
    testenv::WriteFile(backup_ + "MFB0001/characters.lpl", "from the set");
    const std::string save = Save("characters/characters.lpl", "played");
    testenv::WriteFile(medium_ + "net.sav", "from the medium");
    const std::vector<std::string> before = Entries(testenv::Scratch());

    platform::FolderLock other;
    ASSERT_EQ(other.TryLock(backup_), platform::FolderLock::Outcome::Taken);
    Recorder reporter;
    int waits = 0;
    reporter.OnWait = [&] { return ++waits < 3; };
    const RunResult result = (this->*run.Run)(reporter);

    EXPECT_TRUE(result.Stopped);
    EXPECT_EQ(waits, 3);
    EXPECT_EQ(reporter.Said,
              (std::vector<std::string>{std::string("wait ") + run.Caption + ": " + WaitingText,
                                        "wait over"}));
    EXPECT_EQ(Entries(testenv::Scratch()), before);
    EXPECT_TRUE(Changed(save));
}

INSTANTIATE_TEST_SUITE_P(Runs, LockedRun, ::testing::ValuesIn(kRuns),
                         [](const auto& info) { return std::string(info.param.Name); });

// Another run may back up the very changes this one was asked for: what it
// marked backed up is not taken again, what changed meanwhile is.
TEST_F(LockTest, ABackupLooksForTheChangedFilesOnlyOnceItHoldsTheLock) {
    const std::string taken = Save("characters/characters.lpl", "played");
    platform::FolderLock other;
    ASSERT_EQ(other.TryLock(backup_), platform::FolderLock::Outcome::Taken);
    Recorder reporter;
    std::string later;
    reporter.OnWait = [&] {
        EXPECT_TRUE(platform::SetFileAttributes(taken, 0)); // the other run's backup
        later = Save("games/game1.sav", "saved meanwhile");
        other.Unlock();
        return true;
    };
    const RunResult result = Backup(Choices(), reporter);
    EXPECT_EQ(result.Done, 1u);
    ASSERT_FALSE(result.NewSet.empty());
    EXPECT_TRUE(testenv::Exists(backup_ + result.NewSet + "/game1.sav"));
    EXPECT_FALSE(testenv::Exists(backup_ + result.NewSet + "/characters.lpl"));
}
