#pragma once

// One run at a time on a backup folder: a backup (from the window, the
// command line, the game wrapper or the save watcher), a restore with its
// safety set, an export, an import and a prune each hold the folder's lock
// from before they look at what to do until they are done. A second run
// waits for the first and then works on what is left to do: a backup takes
// the files still changed, so two runs never make two sets of one change.

#include "core/reporter.h"
#include "platform/folder_lock.h"

#include <string>

namespace core {

// What a run that waits for the lock shows.
inline constexpr char WaitingText[] = "Waiting for another backup to end...";

class BackupFolderLock {
public:
    // Takes the lock of `backupDir`. While another run holds it, waits as the
    // reporter is told (WaitStart with `caption`, KeepWaiting, WaitOver):
    // false when the wait was given up, and the run must do nothing. A lock
    // that can't be had at all (its file can't be made) is said, and the run
    // goes on without it: two runs at once only make a set too many.
    bool Take(const std::string& backupDir, const std::string& caption, Reporter& reporter);

private:
    platform::FolderLock lock_;
};

} // namespace core
