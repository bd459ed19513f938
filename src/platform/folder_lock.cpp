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
    ::unlink(path_.c_str());
    ::close(fd_);
    fd_ = -1;
}

} // namespace platform
