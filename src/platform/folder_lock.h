#pragma once

// One operation at a time on a backup folder, whoever runs it: the window, a
// scheduled backup, the game wrapper and the save watcher each take the
// folder's lock before they write sets or game files.

#include <functional>
#include <string>

namespace platform {

// The lock is an flock on a file named after the folder's real path (its
// SHA-256), in $XDG_RUNTIME_DIR/mfbackup/ (else /run/user/UID/mfbackup/ when
// that is ours), or, with no runtime folder, the hidden file .mfbackup-lock
// in the backup folder itself. It goes with the process however that ends,
// and a child started meanwhile does not hold it.
class FolderLock {
public:
    FolderLock() = default;
    ~FolderLock() { Unlock(); }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    enum class Outcome { Taken, Busy, Cancelled, Failed };

    // Takes the lock of `folder` if no one holds it: Taken or Busy.
    Outcome TryLock(const std::string& folder);
    // Takes it, waiting while another holds it. Without `keepWaiting` it
    // blocks until then. With one, it is called about every `interval`
    // while waiting (first before any wait, so a caller can tell "Waiting
    // for another backup to end..."); returning false gives up: Cancelled.
    Outcome Lock(const std::string& folder, const std::function<bool()>& keepWaiting = {},
                 int intervalMs = 100);
    void Unlock();

    bool Held() const { return fd_ >= 0; }
    // Why the last Failed: the lock file could not be made or locked.
    const std::string& Error() const { return error_; }

    // Where the lock file of `folder` lies.
    static std::string LockFilePath(const std::string& folder);

private:
    int Open(const std::string& folder);

    int fd_ = -1;
    std::string error_;
};

} // namespace platform
