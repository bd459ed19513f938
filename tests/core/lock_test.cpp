// One run at a time on a backup folder: each run that writes sets or game
// files waits through its reporter while another holds the folder's lock,
// and works on what is left once it has it.

#include "core/backup.h"
#include "core/backup_folder_lock.h"
#include "core/export.h"
#include "core/import.h"
#include "core/restore.h"
#include "platform/folder_lock.h"

#include "core/recording_reporter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using namespace core;
namespace fs = std::filesystem;

namespace {

class LockTest : public GameFolders {
protected:
    // Every file and folder below the game, backup and medium folders.
    Names Everything() const {
        Names names;
        for (const std::string& root : {gameDir, backupDir, medium_})
            if (fs::exists(root))
                for (const auto& e : fs::recursive_directory_iterator(root))
                    names.push_back(e.path().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    BackupChoices Choices() const {
        BackupChoices choices;
        choices.GameDir = gameDir;
        choices.BackupDir = backupDir;
        choices.Kinds = {true, true, true};
        choices.Description = "d";
        return choices;
    }
    RestorePlan Plan(const std::string& set) const {
        RestorePlan plan;
        plan.BackupDir = backupDir;
        plan.GameDir = gameDir;
        plan.SetName = set;
        plan.Kinds = {true, false, false}; // what the set holds
        plan.Safety = true;
        return plan;
    }

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
        choices.BackupDir = backupDir;
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
    testenv::WriteFile(backupDir + "MFB0001/characters.lpl", "from the set");
    const std::string save = Save("characters/characters.lpl", "played");
    testenv::WriteFile(medium_ + "net.sav", "from the medium");
    const Names before = Everything();

    platform::FolderLock other;
    ASSERT_EQ(other.TryLock(backupDir), platform::FolderLock::Outcome::Taken);
    RecordingReporter reporter;
    int waits = 0;
    reporter.onWait = [&] { return ++waits < 3; };
    const RunResult result = (this->*run.Run)(reporter);

    EXPECT_TRUE(result.Stopped);
    EXPECT_EQ(waits, 3);
    EXPECT_EQ(reporter.said,
              (Names{std::string("wait ") + run.Caption + ": " + WaitingText, "wait over"}));
    EXPECT_EQ(Everything(), before);
    EXPECT_TRUE(Changed(save));
}

INSTANTIATE_TEST_SUITE_P(Runs, LockedRun, ::testing::ValuesIn(kRuns),
                         [](const auto& info) { return std::string(info.param.Name); });

// Another run may back up the very changes this one was asked for: what it
// marked backed up is not taken again, what changed meanwhile is.
TEST_F(LockTest, ABackupLooksForTheChangedFilesOnlyOnceItHoldsTheLock) {
    const std::string taken = Save("characters/characters.lpl", "played");
    platform::FolderLock other;
    ASSERT_EQ(other.TryLock(backupDir), platform::FolderLock::Outcome::Taken);
    RecordingReporter reporter;
    std::string later;
    reporter.onWait = [&] {
        EXPECT_TRUE(platform::SetFileAttributes(taken, 0)); // the other run's backup
        later = Save("games/game1.sav", "saved meanwhile");
        other.Unlock();
        return true;
    };
    const RunResult result = Backup(Choices(), reporter);
    EXPECT_EQ(result.Done, 1u);
    ASSERT_FALSE(result.NewSet.empty());
    EXPECT_TRUE(testenv::Exists(backupDir + result.NewSet + "/game1.sav"));
    EXPECT_FALSE(testenv::Exists(backupDir + result.NewSet + "/characters.lpl"));
}
