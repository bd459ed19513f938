#include "platform/folder_lock.h"

#include "platform/run_folder.h"

#include <cerrno>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

bool directoryLocks = true;

// What flock says of a file system that locks no folder (NFS emulates flock
// with byte-range locks, which want a descriptor open for writing).
bool LocksNoFolder(int err) {
    return err == EBADF || err == ENOLCK || err == EOPNOTSUPP || err == ENOTSUP || err == EINVAL;
}

} // namespace

void FolderLock::DirectoryLocksForTesting(bool use) {
    directoryLocks = use;
}

std::string FolderLock::LockFilePath(const std::string& folder, std::string& why) {
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0) {
        why = folder + ": " + std::strerror(errno);
        return {};
    }
    const std::string place = RunFolder(why);
    if (place.empty())
        return {};
    return place + "/lock-" + std::to_string(st.st_dev) + "-" + std::to_string(st.st_ino);
}

FolderLock::Outcome FolderLock::TryLock(const std::string& folder) {
    const Outcome outcome = Lock(folder, [] { return false; });
    return outcome == Outcome::Cancelled ? Outcome::Busy : outcome;
}

FolderLock::Outcome FolderLock::Lock(const std::string& folder,
                                     const std::function<bool()>& keepWaiting, int intervalMs) {
    Unlock();
    error_.clear();
    // The folder itself first: its inode is the same however it is reached,
    // and no other place has to be found alike by every run.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        error_ = folder + ": " + std::strerror(errno);
        return Outcome::Failed;
    }
    if (directoryLocks && (::flock(dir, LOCK_EX | LOCK_NB) == 0 || !LocksNoFolder(errno))) {
        const Outcome outcome = Wait(dir, keepWaiting, intervalMs);
        if (outcome == Outcome::Taken)
            fd_ = dir;
        else
            ::close(dir);
        if (outcome == Outcome::Failed)
            error_ = folder + ": " + error_;
        return outcome;
    }
    ::close(dir);
    const std::string path = LockFilePath(folder, error_);
    if (path.empty())
        return Outcome::Failed;
    for (;;) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            error_ = path + ": " + std::strerror(errno);
            return Outcome::Failed;
        }
        const Outcome outcome = Wait(fd, keepWaiting, intervalMs);
        // The holder removes the file as it lets go: one who waited on it
        // then holds a file no one else will open, and tries the new one.
        struct stat held, named;
        if (outcome == Outcome::Taken && ::fstat(fd, &held) == 0 &&
            ::stat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev) {
            fd_ = fd;
            path_ = path;
            return outcome;
        }
        ::close(fd);
        if (outcome == Outcome::Failed)
            error_ = path + ": " + error_;
        if (outcome != Outcome::Taken)
            return outcome;
    }
}

FolderLock::Outcome FolderLock::Wait(int fd, const std::function<bool()>& keepWaiting,
                                     int intervalMs) {
    for (;;) {
        // Without a caller to ask, the kernel wakes us when the lock is free.
        if (::flock(fd, keepWaiting ? LOCK_EX | LOCK_NB : LOCK_EX) == 0)
            return Outcome::Taken;
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK) {
            error_ = std::strerror(errno);
            return Outcome::Failed;
        }
        if (!keepWaiting())
            return Outcome::Cancelled;
        std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
    }
}

void FolderLock::Unlock() {
    if (fd_ < 0)
        return;
    // Removed while still held, so that the run folder keeps no file of a
    // folder long gone.
    if (!path_.empty())
        ::unlink(path_.c_str());
    path_.clear();
    ::close(fd_);
    fd_ = -1;
}

} // namespace platform
