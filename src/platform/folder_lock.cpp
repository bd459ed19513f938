#include "platform/folder_lock.h"

#include "platform/base_folders.h"

#include "platform/paths.h"
#include "platform/sha256.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

std::string FolderLock::LockFilePath(const std::string& folder) {
    std::string real = WithoutTrailingDelimiters(folder);
    if (char* resolved = ::realpath(real.c_str(), nullptr)) {
        real = resolved;
        std::free(resolved);
    }
    const std::string runtime = RuntimeDirectory();
    if (runtime.empty())
        return IncludeTrailingPathDelimiter(real) + ".mfbackup-lock";
    return runtime + "/mfbackup/" + DigestHex(Sha256::Of(real)).substr(0, 32) + ".lock";
}

int FolderLock::Open(const std::string& folder) {
    Unlock();
    const std::string path = LockFilePath(folder);
    ForceDirectories(ExtractFilePath(path)); // the runtime's subfolder; exists otherwise
    // Read-only is enough for flock, and works on a medium mounted read-only.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    error_ = fd < 0 ? path + ": " + std::strerror(errno) : std::string();
    return fd;
}

FolderLock::Outcome FolderLock::TryLock(const std::string& folder) {
    const int fd = Open(folder);
    if (fd < 0)
        return Outcome::Failed;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        fd_ = fd;
        return Outcome::Taken;
    }
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK)
        return Outcome::Busy;
    error_ = std::strerror(err);
    return Outcome::Failed;
}

FolderLock::Outcome FolderLock::Lock(const std::string& folder,
                                     const std::function<bool()>& keepWaiting, int intervalMs) {
    const int fd = Open(folder);
    if (fd < 0)
        return Outcome::Failed;
    for (;;) {
        // Without a caller to ask, the kernel wakes us when the lock is free.
        const int r = ::flock(fd, keepWaiting ? LOCK_EX | LOCK_NB : LOCK_EX);
        if (r == 0) {
            fd_ = fd;
            return Outcome::Taken;
        }
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK) {
            error_ = std::strerror(errno);
            ::close(fd);
            return Outcome::Failed;
        }
        if (!keepWaiting()) {
            ::close(fd);
            return Outcome::Cancelled;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
    }
}

void FolderLock::Unlock() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

} // namespace platform
