#include "core/backup_folder_lock.h"

#include "platform/files.h"

namespace core {

bool BackupFolderLock::Take(const std::string& backupDir, const std::string& caption,
                            Reporter& reporter) {
    // No folder, nothing to keep apart: the run fails on its own, and a
    // lock named after the folder can't be had before it is there.
    if (!platform::DirectoryExists(backupDir))
        return true;
    bool waited = false;
    // Called only while another run holds the lock: the first call starts
    // the wait.
    const auto keepWaiting = [&] {
        if (!waited)
            reporter.WaitStart(caption, WaitingText);
        waited = true;
        return reporter.KeepWaiting();
    };
    const platform::FolderLock::Outcome outcome = lock_.Lock(backupDir, keepWaiting, 50);
    if (waited)
        reporter.WaitOver();
    if (outcome == platform::FolderLock::Outcome::Taken)
        return true;
    if (outcome == platform::FolderLock::Outcome::Cancelled)
        return false;
    reporter.Message("could not lock the backup folder, going on without: " + lock_.Error());
    return true;
}

} // namespace core
