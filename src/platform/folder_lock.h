#pragma once

// One operation at a time on a backup folder, whoever runs it: the window, a
// scheduled backup, the game wrapper and the save watcher each take the
// folder's lock before they write sets or game files.

#include <functional>
#include <string>

namespace platform {

// The lock is an flock on the backup folder itself, or where its file system
// locks no folder (NFS), on a file of the run folder (see RunFolder) named
// after the folder's device and inode: one lock however the folder is
// reached (a link, a bind mount, another spelling) and whatever the run's
// environment. It goes with the process however that ends, and a child
// started meanwhile does not hold it.
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
    // Why the last Failed: the folder, the run folder or the lock file could
    // not be had, with the system's reason.
    const std::string& Error() const { return error_; }

    // Where the lock file of `folder` lies, where the folder can't be
    // locked itself; "" and `why` when nowhere.
    static std::string LockFilePath(const std::string& folder, std::string& why);
    // Off: every lock goes through a file of the run folder, as on NFS.
    static void DirectoryLocksForTesting(bool use);

private:
    // Waits for the lock of the open `fd` as Lock does.
    Outcome Wait(int fd, const std::function<bool()>& keepWaiting, int intervalMs);

    int fd_ = -1;
    std::string path_;
    std::string error_;
};

} // namespace platform
