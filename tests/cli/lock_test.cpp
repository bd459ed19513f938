// A command that writes sets or game files waits while another run holds the
// backup folder, says so once on standard error, and does its work once the
// other has ended: through the core's runs (wrap's backup, undo's restore)
// or on its own (prune).

#include "auto_fixture.h"

#include <QThread>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

struct LockedCommand {
    const char* Name;
    QStringList Args;
};

void PrintTo(const LockedCommand& c, std::ostream* os) {
    *os << c.Name;
}

class CommandWaits : public AutoTest, public ::testing::WithParamInterface<LockedCommand> {};

const LockedCommand kCommands[] = {
    {"Wrap", {"wrap", "--", "true"}},
    {"Undo", {"undo"}},
    {"Prune", {"prune", "--keep", "1"}},
};

} // namespace

TEST_P(CommandWaits, ForTheRunHoldingTheBackupFolder) {
    // An older set, the newer one a restore kept, a changed save.
    testenv::WriteFile(backupDir + "MFB0001/characters.lpl", "from the set");
    testenv::WriteFile(backupDir + "MFB0002/characters.lpl", "kept");
    testenv::WriteFile(backupDir + "MFB0002/desc.txt", "Before restoring MFB0001\r\n");
    const auto now = fs::file_time_type::clock::now();
    fs::last_write_time(backupDir + "MFB0001", now - std::chrono::hours(2));
    fs::last_write_time(backupDir + "MFB0002", now - std::chrono::hours(1));
    Save("characters/characters.lpl", "played");
    const auto state = [&] { return std::pair(Sets(), testenv::ReadFile(SaveFile())); };
    const auto before = state();

    platform::FolderLock other;
    ASSERT_EQ(other.TryLock(backupDir), platform::FolderLock::Outcome::Taken);
    Running command(GetParam().Args, env_);
    const std::string waiting = "Waiting for another backup to end...\n";
    ASSERT_TRUE(command.WaitForError(waiting)) << command.Err();
    QThread::msleep(200);
    EXPECT_EQ(state(), before);
    other.Unlock();

    EXPECT_EQ(command.Finish(), 0) << command.Err();
    EXPECT_NE(state(), before);
    EXPECT_EQ(command.Err().find(waiting), command.Err().rfind(waiting));
}

INSTANTIATE_TEST_SUITE_P(Commands, CommandWaits, ::testing::ValuesIn(kCommands),
                         [](const auto& info) { return std::string(info.param.Name); });

// The changed saves a backup leaves out are those of its one search, made
// once it holds the folder: a save written while it waited is among them.
TEST_F(AutoTest, BackupNamesTheSavesItLeavesOutAsItsSearchUnderTheLockFoundThem) {
    Save("characters/characters.lpl", "played");
    platform::FolderLock other;
    ASSERT_EQ(other.TryLock(backupDir), platform::FolderLock::Outcome::Taken);
    Running backup({"backup"}, env_);
    ASSERT_TRUE(backup.WaitForError("Waiting for another backup to end...\n")) << backup.Err();
    Save("games/game1.sav", "saved while it waited");
    other.Unlock();

    EXPECT_EQ(backup.Finish(), 0) << backup.Err();
    EXPECT_NE(backup.Err().find("not taken: 1 changed single-player save; use --kinds all\n"),
              std::string::npos)
        << backup.Err();
}
