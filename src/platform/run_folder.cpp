#include "platform/run_folder.h"

#include "platform/internal.h"
#include "platform/last_error.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

// `path` as a private, writable folder of this user, made when missing: ""
// when it is one, else why not.
std::string PrivateFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return path + ": " + std::strerror(errno);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return path + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return path + " is no folder";
    if (st.st_uid != ::getuid())
        return path + " belongs to another user";
    if ((st.st_mode & 077) != 0)
        return path + " is open to other users";
    // On a read-only mount the folder may be there with no file to be made in it.
    if (::access(path.c_str(), W_OK | X_OK) != 0)
        return path + ": " + std::strerror(errno);
    return {};
}

// Where temporary entries go; `own` when that is the run folder's, where
// every entry is one of ours.
std::string TemporaryPlace(bool& own) {
    std::string why;
    const std::string run = RunFolder(why);
    own = !run.empty() && (::mkdir((run + "/tmp").c_str(), 0700) == 0 || errno == EEXIST);
    if (own)
        return run + "/tmp";
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

// Removes each entry of `folder` that no one holds.
void RemoveUnheld(const std::string& folder) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const int fd = ::open(entry.path().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            std::error_code ignored;
            std::filesystem::remove_all(entry.path(), ignored);
        }
        ::close(fd);
    }
}

bool SameFile(int fd, const std::string& path) {
    struct stat held, named;
    return ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

} // namespace

std::string RunFolder(std::string& why) {
    const std::string uid = std::to_string(::getuid());
    const std::string runtime = "/run/user/" + uid;
    std::string runtimeWhy;
    struct stat st;
    if (::lstat(runtime.c_str(), &st) != 0)
        runtimeWhy = runtime + ": " + std::strerror(errno);
    else if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        runtimeWhy = runtime + " is no folder of this user";
    else if ((runtimeWhy = PrivateFolder(runtime + "/mfbackup")).empty())
        return runtime + "/mfbackup";
    const std::string fallback = "/tmp/mfbackup-" + uid;
    const std::string fallbackWhy = PrivateFolder(fallback);
    if (fallbackWhy.empty())
        return fallback;
    why = runtimeWhy + "; " + fallbackWhy;
    return {};
}

TemporaryEntry::~TemporaryEntry() {
    if (path_.empty())
        return;
    // Removed while still held, so that no sweep of another run takes part.
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    ::close(fd_);
}

bool TemporaryEntry::MakeFile(std::string_view prefix, std::string_view content) {
    if (!Make(prefix, false))
        return false;
    while (!content.empty()) {
        const ssize_t n = ::write(fd_, content.data(), content.size());
        if (n < 0 && errno != EINTR)
            return detail::FailErrno(errno);
        if (n > 0)
            content.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool TemporaryEntry::MakeFolder(std::string_view prefix) {
    return Make(prefix, true);
}

bool TemporaryEntry::Make(std::string_view prefix, bool folder) {
    if (!path_.empty())
        return detail::Fail(ERROR_ALREADY_EXISTS);
    bool own = false;
    const std::string place = TemporaryPlace(own);
    if (own)
        RemoveUnheld(place);
    // Another run's sweep may come between the making and the lock: the
    // entry it removed is given up and another made.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string path = place + "/" + std::string(prefix) + "-XXXXXX";
        int fd = -1;
        if (!folder)
            fd = ::mkostemp(path.data(), O_CLOEXEC);
        else if (::mkdtemp(path.data()))
            fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno != ENOENT)
            return detail::FailErrno(errno);
        if (fd >= 0 && ::flock(fd, LOCK_EX) != 0) {
            const int err = errno;
            ::close(fd);
            return detail::FailErrno(err);
        }
        if (fd >= 0 && SameFile(fd, path)) {
            path_ = path;
            fd_ = fd;
            return true;
        }
        if (fd >= 0)
            ::close(fd);
    }
    return detail::Fail(ERROR_FILE_NOT_FOUND);
}

} // namespace platform
