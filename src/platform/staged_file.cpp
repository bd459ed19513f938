#include "platform/files.h"

#include "platform/attributes.h"
#include "platform/internal.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/replaced_files.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <set>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

// The temporary a new content is made in, and putting it in place of the
// target in one step.

namespace platform {

namespace {

using detail::Fail;
using detail::FailErrno;
using detail::FailMissing;
using detail::FailNewFile;
using detail::Fd;
using detail::FolderOf;

constexpr char kTempPrefix[] = ".mfcopy-";

// A temporary name in `folder`: the prefix, this process's id, then what
// makes it unique within the process.
std::string TempName(const std::string& folder) {
    static std::atomic<unsigned> counter{0};
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    char name[64];
    std::snprintf(name, sizeof name, "%s%d-%x-%lx", kTempPrefix, static_cast<int>(::getpid()),
                  counter++, static_cast<unsigned long>(t.tv_nsec));
    return IncludeTrailingPathDelimiter(folder) + name;
}

// A replace passes through a temporary name for an instant (linked, then
// renamed over the target: the kernel has no atomic replace from an unnamed
// file), and a process killed in that instant leaves the whole new content
// under it. The first time a process makes a file in a folder, such
// leftovers of processes that are gone are removed.
void RemoveLeftovers(const std::string& folder) {
    static std::mutex mutex;
    static std::set<std::string> looked;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!looked.insert(folder).second)
            return;
    }
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name.substr(0, sizeof kTempPrefix - 1) != kTempPrefix)
            continue;
        const int pid = std::atoi(entry->d_name + sizeof kTempPrefix - 1);
        struct stat st;
        if (pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH &&
            ::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode))
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

// Gives the unnamed (O_TMPFILE) file `fd` the name `path`: by its descriptor
// where the kernel lets its opener do that (Linux 6.10 on), else through
// /proc, which costs a look-up of the process's own link. 0, or -1 and errno.
int LinkUnnamed(int fd, const std::string& path) {
    static std::atomic<bool> byDescriptor{true};
    const bool tried = byDescriptor;
    if (tried) {
        if (::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0)
            return 0;
        if (errno != ENOENT && errno != EPERM && errno != EINVAL)
            return -1;
    }
    char fdPath[64];
    std::snprintf(fdPath, sizeof fdPath, "/proc/self/fd/%d", fd);
    const int linked = ::linkat(AT_FDCWD, fdPath, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
    // Refused by descriptor (older kernels say ENOENT to the unprivileged)
    // but not by /proc: the kernel does not allow it, so no more tries.
    if (tried && linked == 0)
        byDescriptor = false;
    return linked;
}

// Gives the finished copy behind `out` the name `target`. With an unnamed
// (O_TMPFILE) copy it is linked in under a temporary name first; `tempPath`
// names it from then on, so a failure can remove it.
int Publish(int out, bool unnamed, std::string& tempPath, const std::string& folder,
            const std::string& target, bool failIfExists, bool targetExists) {
    if (unnamed) {
        if (failIfExists || !targetExists) {
            // Linking never replaces: the no-clobber check and the publish are
            // one step, and a new target needs no temporary name at all.
            if (LinkUnnamed(out, target) == 0)
                return 0;
            if (failIfExists || errno != EEXIST)
                return errno;
            // Someone made the target meanwhile: replace it as any other.
        }
        for (int attempt = 0;; ++attempt) {
            tempPath = TempName(folder);
            if (LinkUnnamed(out, tempPath) == 0)
                break;
            const int err = errno;
            tempPath.clear();
            if (err != EEXIST || attempt > 100)
                return err;
        }
    }
    if (failIfExists) {
        if (::renameat2(AT_FDCWD, tempPath.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) ==
            0) {
            tempPath.clear();
            return 0;
        }
        if (errno != EINVAL && errno != ENOSYS)
            return errno;
        // No RENAME_NOREPLACE on this file system: a hard link never replaces either.
        if (::link(tempPath.c_str(), target.c_str()) != 0)
            return errno;
        ::unlink(tempPath.c_str());
        tempPath.clear();
        return 0;
    }
    // The file replaced is let go of on another thread (see replaced_files.h).
    const int old = targetExists ? ::open(target.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC) : -1;
    if (::rename(tempPath.c_str(), target.c_str()) != 0) {
        const int err = errno;
        if (old >= 0)
            ::close(old);
        return err;
    }
    LetGoOfLater(old);
    tempPath.clear();
    return 0;
}

// The permission bits the new file `fd` in `folder` was given (asked for
// 0666: the umask, or the folder's default ACL, takes its share), told once
// per folder; ~0 when they can't be told.
mode_t NewFileMode(const std::string& folder, int fd) {
    static std::mutex mutex;
    static std::map<std::string, mode_t> modes;
    const std::lock_guard<std::mutex> lock(mutex);
    const auto it = modes.find(folder);
    if (it != modes.end())
        return it->second;
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return static_cast<mode_t>(~0u);
    return modes[folder] = st.st_mode & 0777;
}

// Writes all of `data` to `fd`, then checks the size and, with `flush`,
// flushes it to disk: a full disk may only show in the flush. 0 or an errno.
int WriteAllAndSync(int fd, const char* data, std::size_t size, bool flush) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return EIO;
        done += static_cast<std::size_t>(n);
    }
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return errno;
    if (static_cast<std::uint64_t>(st.st_size) != size)
        return EIO;
    return !flush || ::fsync(fd) == 0 ? 0 : errno;
}

} // namespace

namespace detail {

bool FailNewFile(int err, bool failIfExists) {
    if (err == EEXIST && failIfExists)
        return Fail(ERROR_FILE_EXISTS);
    if (err == ENOENT || err == ENOTDIR)
        return Fail(ERROR_PATH_NOT_FOUND);
    return FailErrno(err);
}

} // namespace detail

StagedFile::~StagedFile() {
    Discard();
}

bool StagedFile::Open(std::string_view target, bool failIfExists) {
    Discard();
    const std::string tgt = ResolveCase(target);
    const std::string name = ExtractFileName(tgt);
    if (name.empty())
        return Fail(ERROR_PATH_NOT_FOUND);

    struct stat tgtStat;
    const bool targetExists = ::lstat(tgt.c_str(), &tgtStat) == 0;
    // A link that leads nowhere is replaced like a plain file.
    const bool deadLink =
        targetExists && S_ISLNK(tgtStat.st_mode) && ::stat(tgt.c_str(), &tgtStat) != 0;
    if (targetExists && failIfExists)
        return Fail(ERROR_FILE_EXISTS);
    if (targetExists && !deadLink) {
        if (S_ISDIR(tgtStat.st_mode) || (tgtStat.st_mode & 0222) == 0)
            return Fail(ERROR_ACCESS_DENIED);
        // Windows refuses to overwrite hidden and system files; so do we,
        // whoever runs us.
        if (detail::IsDotHidden(name) || detail::DosAttribBits(tgt) != 0)
            return Fail(ERROR_ACCESS_DENIED);
    } else if (!targetExists && errno == ENOTDIR) {
        return Fail(ERROR_PATH_NOT_FOUND); // a file where the folder should be
    } else if (!targetExists && errno != ENOENT) {
        return FailErrno(errno);
    }
    // A missing target folder shows when the temporary file is made there.
    const bool keep = targetExists && !deadLink && S_ISREG(tgtStat.st_mode);
    if (const int err =
            Begin(tgt, failIfExists, targetExists, keep ? tgtStat.st_mode & 07777 : ~0u))
        return FailNewFile(err, failIfExists);
    return true;
}

int StagedFile::Begin(const std::string& target, bool failIfExists, bool targetExists,
                      unsigned mode) {
    Discard();
    target_ = target;
    folder_ = FolderOf(target);
    failIfExists_ = failIfExists;
    targetExists_ = targetExists;
    // An unnamed file is linked in through /proc; without it, or where the
    // file system takes no unnamed files, a named one.
    static const bool haveProc = ::access("/proc/self/fd", F_OK) == 0;
    RemoveLeftovers(folder_);
    unnamed_ = haveProc;
    if (unnamed_) {
        fd_ = ::open(folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (fd_ < 0 && (errno == ENOSPC || errno == EDQUOT) && LetGoOfReplaced())
            fd_ = ::open(folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (fd_ < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return errno;
        unnamed_ = fd_ >= 0;
    }
    for (int attempt = 0; fd_ < 0; ++attempt) {
        tempPath_ = TempName(folder_);
        fd_ = ::open(tempPath_.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
        if (fd_ >= 0)
            break;
        const int err = errno;
        tempPath_.clear();
        if (err != EEXIST || attempt > 100)
            return err;
    }
    mode_ = NewFileMode(folder_, fd_);
    if (mode != ~0u) {
        if (::fchmod(fd_, mode) != 0) {
            const int err = errno;
            Discard();
            return err;
        }
        mode_ = mode;
    }
    return 0;
}

bool StagedFile::OpenNew(std::string_view target) {
    Discard();
    const std::string tgt(target);
    if (ExtractFileName(tgt).empty())
        return Fail(ERROR_PATH_NOT_FOUND);
    if (const int err = Begin(tgt, true, false, ~0u))
        return FailNewFile(err, true);
    return true;
}

bool StagedFile::SetAttributes(std::uint32_t attrs) {
    if (fd_ < 0)
        return Fail(ERROR_INVALID_HANDLE);
    const std::uint32_t dos = attrs & (faHidden | faSysFile);
    if (dos != 0) {
        if (detail::FSetXattr(fd_, detail::kDosAttrib, FormatDosAttrib(dos)) != 0)
            return FailErrno(errno);
    } else if (dosBits_ != 0 && detail::FRemoveXattr(fd_, detail::kDosAttrib) != 0 &&
               errno != ENODATA && errno != ENOTSUP) {
        return FailErrno(errno);
    }
    dosBits_ = dos;
    struct stat st;
    if (::fstat(fd_, &st) != 0)
        return FailErrno(errno);
    mode_t mode = st.st_mode & 07777;
    if (attrs & faReadOnly)
        mode &= ~static_cast<mode_t>(0222);
    else if ((mode & 0222) == 0)
        mode |= S_IWUSR;
    if (mode != (st.st_mode & 07777) && ::fchmod(fd_, mode) != 0)
        return FailErrno(errno);
    storeStamp_.clear();
    if (attrs & faArchive)
        return true;
    const int err = detail::StampOpenFile(fd_, st, storeStamp_);
    return err == 0 || FailErrno(err);
}

bool StagedFile::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
    if (fd_ < 0)
        return Fail(ERROR_INVALID_HANDLE);
    const int err = detail::WriteAllAt(fd_, offset, data, size);
    return err == 0 || FailErrno(err);
}

bool StagedFile::Flush() {
    if (fd_ < 0)
        return Fail(ERROR_INVALID_HANDLE);
    return ::fsync(fd_) == 0 || FailErrno(errno);
}

bool StagedFile::Commit() {
    if (fd_ < 0)
        return Fail(ERROR_INVALID_HANDLE);
    int err = Publish(fd_, unnamed_, tempPath_, folder_, target_, failIfExists_, targetExists_);
    if (err == 0) {
        // The name is in place, but a late write error still means a bad file.
        if (::close(fd_) != 0)
            err = errno;
        fd_ = -1;
    }
    if (err == 0) {
        // A stamp that had to wait for the name; failing, the file reads as
        // changed, which costs only a backup.
        if (!storeStamp_.empty())
            detail::StoreStamp(target_, storeStamp_);
        storeStamp_.clear();
        return true;
    }
    Discard();
    return FailNewFile(err, failIfExists_);
}

void StagedFile::Discard() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    dosBits_ = 0;
    storeStamp_.clear();
    if (!tempPath_.empty())
        ::unlink(tempPath_.c_str());
    tempPath_.clear();
}

bool WriteWholeFile(std::string_view path, const void* data, std::size_t size, bool flush) {
    std::string target = ResolveCase(path);
    // Through a link the file it leads to is replaced; the link stays.
    struct stat st;
    if (::lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = ::realpath(target.c_str(), nullptr)) {
            target = real;
            std::free(real);
        }
    }
    if (ExtractFileName(target).empty())
        return Fail(ERROR_PATH_NOT_FOUND);
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && (!S_ISREG(st.st_mode) || (st.st_mode & 0222) == 0))
        return Fail(ERROR_ACCESS_DENIED);
    if (!exists && errno != ENOENT)
        return FailMissing(target, errno);

    // A replaced file keeps its permission bits; a new one gets the umask's.
    StagedFile staged;
    int err = staged.Begin(target, false, exists, exists ? st.st_mode & 07777 : ~0u);
    if (err == 0)
        err = WriteAllAndSync(staged.Handle(), static_cast<const char*>(data), size, flush);
    if (err != 0)
        return FailNewFile(err, false);
    if (!staged.Commit())
        return false;
    if (!flush)
        return true;
    // The new name on disk too, so that after a crash the file is whole.
    Fd dir(::open(staged.folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() >= 0)
        ::fsync(dir.Get());
    return true;
}

} // namespace platform
