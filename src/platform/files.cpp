#include "platform/files.h"

#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/internal.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/replaced_files.h"

#include <algorithm>
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
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

using detail::Fail;
using detail::FailErrno;

using detail::FailMissing;

// The folder part of a path for system calls: "." when it has none.
std::string FolderOf(const std::string& path) {
    std::string folder = ExtractFilePath(path);
    return folder.empty() ? std::string(".") : folder;
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { Close(); }
    int Get() const { return fd_; }
    void Reset(int fd) {
        Close();
        fd_ = fd;
    }
    // Closes and tells whether the close reported an error (0 or an errno).
    int Close() {
        int err = 0;
        if (fd_ >= 0 && ::close(fd_) != 0)
            err = errno;
        fd_ = -1;
        return err;
    }

private:
    int fd_;
};

// Copies the rest of `in` to `out` through a buffer, feeding each block to
// `hash` when one is given. 0 or an errno.
int CopyPlain(int in, int out, Sha256* hash, std::uint64_t* copied) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n == 0)
            return 0;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (hash)
            hash->Update(buffer, static_cast<std::size_t>(n));
        if (copied)
            *copied += static_cast<std::uint64_t>(n);
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buffer + done, static_cast<std::size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                return errno;
            }
            done += w;
        }
    }
}

// Copies the whole of `in` to the empty `out` inside the kernel: a reflink
// where the file system shares blocks, else copy_file_range, else sendfile
// (older kernels, file systems without copy_file_range). A plain read/write
// loop is the last resort for descriptors none of these take. 0 or an errno.
int CopyData(int in, int out) {
    if (::ioctl(out, FICLONE, in) == 0)
        return 0;
    constexpr std::size_t chunk = 1u << 30;
    bool range = true;
    for (;;) {
        const ssize_t n = range ? ::copy_file_range(in, nullptr, out, nullptr, chunk, 0)
                                : ::sendfile(out, in, nullptr, chunk);
        if (n == 0)
            return 0;
        if (n > 0)
            continue;
        const int err = errno;
        if (err == EINTR)
            continue;
        const bool unsupported =
            err == EXDEV || err == ENOSYS || err == EOPNOTSUPP || err == EINVAL || err == EBADF;
        if (!unsupported)
            return err;
        if (!range)
            return CopyPlain(in, out, nullptr, nullptr);
        range = false;
    }
}

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

bool refuseModesForTesting = false;

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

// The source's permission bits (`current`: those the file has, or ~0 when
// not known). A file system that can't store them (a FAT
// stick mounted with fixed masks refuses chmod with EPERM) still gets the
// read-only state, which is all a Windows copy carries.
bool CopyMode(int fd, mode_t sourceMode, mode_t current) {
    if (current == (sourceMode & 0777) && !refuseModesForTesting)
        return true; // a new file whose mode is the source's already
    if (refuseModesForTesting)
        errno = EPERM;
    else if (::fchmod(fd, sourceMode & 0777) == 0)
        return true;
    if (errno != EPERM && errno != EOPNOTSUPP)
        return false;
    if (sourceMode & 0222)
        return true;
    struct stat st;
    return ::fstat(fd, &st) == 0 && ::fchmod(fd, st.st_mode & 0777 & ~0222) == 0;
}

// Opens the source of a copy: 2 or 3 when it is missing, 5 when it is no
// plain file. Non-blocking, so that a FIFO cannot hang the open. Opened as
// written first, looked up ignoring case only when that fails.
bool OpenSource(std::string_view source, Fd& in, struct stat& st) {
    constexpr int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    std::string src(source);
    in.Reset(::open(src.c_str(), flags));
    if (in.Get() < 0 && (errno == ENOENT || errno == ENOTDIR)) {
        src = ResolveCase(source);
        in.Reset(::open(src.c_str(), flags));
    }
    if (in.Get() < 0)
        return FailMissing(src, errno);
    if (::fstat(in.Get(), &st) != 0)
        return FailErrno(errno);
    if (!S_ISREG(st.st_mode))
        return Fail(ERROR_ACCESS_DENIED);
    return true;
}

// Copies the open source `in` (at its start) into the new file `out`:
// contents (through `hash` when one is given), then hidden/system, last-write
// time and permission bits. `dosBits` gets the hidden/system bits given to
// `out`. 0 or an errno.
int FillFrom(int in, const struct stat& srcStat, int out, mode_t outMode, Sha256* hash,
             std::uint64_t* copied, std::uint32_t& dosBits) {
    if (const int err = hash ? CopyPlain(in, out, hash, copied) : CopyData(in, out))
        return err;
    // Hidden/system go along; the clean stamp never does, so the copy reads
    // as changed. The attribute first: once read-only, only root may set it.
    dosBits = detail::DosAttribBits(in);
    if (dosBits != 0 && detail::FSetXattr(out, detail::kDosAttrib, FormatDosAttrib(dosBits)) != 0 &&
        errno != ENOTSUP)
        return errno;
    const timespec times[2] = {{0, UTIME_OMIT}, srcStat.st_mtim};
    if (::futimens(out, times) != 0 || !CopyMode(out, srcStat.st_mode, outMode))
        return errno;
    return 0;
}

// FillFrom, once more from the start when the disk was full while replaced
// files were still held: letting go of them may have made the room.
int FillWithRoom(int in, const struct stat& srcStat, int out, mode_t outMode, Sha256* hash,
                 std::uint64_t* copied, std::uint32_t& dosBits) {
    const int err = FillFrom(in, srcStat, out, outMode, hash, copied, dosBits);
    if ((err != ENOSPC && err != EDQUOT) || !LetGoOfReplaced())
        return err;
    if (::ftruncate(out, 0) != 0 || ::lseek(out, 0, SEEK_SET) < 0 || ::lseek(in, 0, SEEK_SET) < 0)
        return errno;
    if (hash)
        *hash = Sha256();
    if (copied)
        *copied = 0;
    return FillFrom(in, srcStat, out, outMode, hash, copied, dosBits);
}

// Fills the staged file `fd` from `source` as CopyFile fills its copy,
// through `hash` when one is given; `read`, when given, gets the version of
// the source once it was read.
bool FillStaged(int fd, mode_t mode, std::string_view source, Sha256* hash, std::uint64_t* copied,
                FileVersion* read, std::uint32_t& dosBits) {
    if (fd < 0)
        return Fail(ERROR_INVALID_HANDLE);
    Fd in;
    struct stat srcStat;
    if (!OpenSource(source, in, srcStat))
        return false;
    if (const int err = FillWithRoom(in.Get(), srcStat, fd, mode, hash, copied, dosBits))
        return FailErrno(err);
    if (read) {
        if (::fstat(in.Get(), &srcStat) != 0)
            return FailErrno(errno);
        *read = detail::VersionOf(srcStat);
    }
    return true;
}

// Writes all of `size` bytes at `offset` of `fd`. 0 or an errno.
int WriteAllAt(int fd, std::uint64_t offset, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    for (std::size_t done = 0; done < size;) {
        const ssize_t n =
            ::pwrite(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

// The last error for an errno of making, filling or placing a new file.
bool FailNewFile(int err, bool failIfExists) {
    if (err == EEXIST && failIfExists)
        return Fail(ERROR_FILE_EXISTS);
    if (err == ENOENT || err == ENOTDIR)
        return Fail(ERROR_PATH_NOT_FOUND);
    return FailErrno(err);
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

bool IsFolder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FailMissing(const std::string& path, int err) {
    std::string_view trimmed(path);
    while (trimmed.size() > 1 && trimmed.back() == PathDelim)
        trimmed.remove_suffix(1);
    if (err == ENOENT && !detail::IsFolder(FolderOf(std::string(trimmed))))
        return Fail(ERROR_PATH_NOT_FOUND);
    return FailErrno(err);
}

} // namespace detail

bool GetFileVersion(std::string_view path, FileVersion& version) {
    const std::string resolved = ResolveCase(path);
    struct stat st;
    if (::stat(resolved.c_str(), &st) != 0)
        return FailMissing(resolved, errno);
    version = detail::VersionOf(st);
    return true;
}

void RefuseModesForTesting(bool refuse) {
    refuseModesForTesting = refuse;
}

bool CopyFile(std::string_view source, std::string_view target, bool failIfExists) {
    // The source's faults come first, as Windows reports them.
    Fd in;
    struct stat srcStat;
    if (!OpenSource(source, in, srcStat))
        return false;
    const std::string tgt = ResolveCase(target);
    struct stat tgtStat;
    if (::stat(tgt.c_str(), &tgtStat) == 0 && tgtStat.st_dev == srcStat.st_dev &&
        tgtStat.st_ino == srcStat.st_ino)
        return Fail(ERROR_SHARING_VIOLATION);

    StagedFile staged;
    if (!staged.Open(tgt, failIfExists))
        return false;
    std::uint32_t dosBits = 0;
    if (const int err = FillWithRoom(in.Get(), srcStat, staged.Handle(), staged.mode_, nullptr,
                                     nullptr, dosBits))
        return FailNewFile(err, failIfExists);
    return staged.Commit();
}

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

bool StagedFile::CopyFrom(std::string_view source) {
    return FillStaged(fd_, mode_, source, nullptr, nullptr, nullptr, dosBits_);
}

bool StagedFile::CopyFrom(std::string_view source, FileVersion& read) {
    return FillStaged(fd_, mode_, source, nullptr, nullptr, &read, dosBits_);
}

bool StagedFile::CopyFrom(std::string_view source, Sha256Digest& digest, std::uint64_t& size) {
    Sha256 hash;
    size = 0;
    if (!FillStaged(fd_, mode_, source, &hash, &size, nullptr, dosBits_))
        return false;
    digest = hash.Finish();
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
    const int err = WriteAllAt(fd_, offset, data, size);
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

bool CreateDirectory(std::string_view path) {
    const std::string resolved = ResolveCase(path);
    if (::mkdir(resolved.c_str(), 0777) == 0)
        return true;
    const int err = errno;
    if (err == ENOENT || err == ENOTDIR)
        return Fail(ERROR_PATH_NOT_FOUND);
    return FailErrno(err);
}

bool DeleteFile(std::string_view path) {
    const std::string resolved = ResolveCase(path);
    struct stat st;
    if (::lstat(resolved.c_str(), &st) != 0)
        return FailMissing(resolved, errno);
    // As on Windows: folders are not files, and read-only files stay.
    if (S_ISDIR(st.st_mode) || (!S_ISLNK(st.st_mode) && (st.st_mode & 0222) == 0))
        return Fail(ERROR_ACCESS_DENIED);
    if (::unlink(resolved.c_str()) != 0)
        return FailErrno(errno);
    return true;
}

bool DeleteFileFlushed(std::string_view path) {
    const std::string resolved = ResolveCase(path);
    if (::unlink(resolved.c_str()) != 0)
        return FailMissing(resolved, errno);
    Fd dir(::open(FolderOf(resolved).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() < 0 || ::fsync(dir.Get()) != 0)
        return FailErrno(errno);
    return true;
}

bool IsSymbolicLink(std::string_view path) {
    const std::string resolved = ResolveCase(path);
    struct stat st;
    if (::lstat(resolved.c_str(), &st) != 0)
        return FailMissing(resolved, errno);
    return S_ISLNK(st.st_mode);
}

bool RemoveFolderWithFiles(std::string_view folder, const std::vector<std::string>& names,
                           std::string& failed) {
    failed.clear();
    std::string path = ResolveCase(folder);
    while (path.size() > 1 && path.back() == PathDelim)
        path.pop_back();
    const std::string name = ExtractFileName(path);
    Fd parent(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parent.Get() < 0)
        return FailMissing(path, errno);
    // The folder as it is: a link put in its place is not followed.
    Fd dir(::openat(parent.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.Get() < 0)
        return errno == ELOOP || errno == ENOTDIR ? Fail(ERROR_DIRECTORY)
                                                  : FailMissing(path, errno);
    for (const std::string& file : names) {
        failed = file;
        // A bare name of the folder, nothing reached through another one.
        if (file.empty() || file.find(PathDelim) != std::string::npos || detail::IsDotEntry(file))
            return Fail(ERROR_INVALID_NAME);
        if (::unlinkat(dir.Get(), file.c_str(), 0) != 0)
            return FailErrno(errno);
    }
    failed.clear();
    // rmdir takes no link either: a link put there since fails.
    if (::unlinkat(parent.Get(), name.c_str(), AT_REMOVEDIR) != 0)
        return FailErrno(errno);
    return true;
}

bool SetCurrentDirectory(std::string_view path) {
    const std::string resolved = ResolveCase(path);
    if (::chdir(resolved.c_str()) == 0)
        return true;
    const int err = errno;
    if (err == ENOTDIR) {
        struct stat st;
        // A file where a folder was asked for; a file on the way is a missing path.
        return Fail(::stat(resolved.c_str(), &st) == 0 ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND);
    }
    return FailErrno(err);
}

std::string GetCurrentDirectory() {
    std::string buffer(256, '\0');
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size())) {
            buffer.resize(std::char_traits<char>::length(buffer.c_str()));
            return buffer;
        }
        if (errno != ERANGE) {
            FailErrno(errno);
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
}

namespace {

// GetTempFileName's naming: `dir` (+ '/') + up to three prefix characters +
// a hex number + `suffix`. With `unique` 0 the numbers from the millisecond
// tick on are tried with `make` (0 when it made the name, EEXIST to move on,
// else an errno) until one is made.
template <typename Make>
unsigned UniqueName(std::string_view dir, std::string_view prefix, unsigned unique,
                    const char* suffix, Make make, std::string& result) {
    const std::string folder = ResolveCase(dir);
    if (folder.empty() || !detail::IsFolder(folder)) {
        Fail(ERROR_DIRECTORY);
        return 0;
    }
    // Up to three characters of the prefix, not three bytes.
    std::size_t cut = 0;
    for (int chars = 0; cut < prefix.size() && chars < 3; ++chars) {
        ++cut;
        while (cut < prefix.size() && (static_cast<unsigned char>(prefix[cut]) & 0xC0) == 0x80)
            ++cut;
    }
    const std::string base =
        IncludeTrailingPathDelimiter(folder) + std::string(prefix.substr(0, cut));
    auto nameFor = [&](unsigned number) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%X", number);
        return base + hex + suffix;
    };

    if (unique != 0) {
        unique &= 0xFFFF;
        if (unique == 0)
            unique = 1;
        result = nameFor(unique);
        return unique;
    }

    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    unsigned start = static_cast<unsigned>((t.tv_sec * 1000 + t.tv_nsec / 1'000'000) & 0xFFFF);
    if (start == 0)
        start = 1;
    unsigned number = start;
    do {
        const std::string candidate = nameFor(number);
        const int err = make(candidate);
        if (err == 0) {
            result = candidate;
            return number;
        }
        if (err != EEXIST) {
            FailErrno(err);
            return 0;
        }
        number = number == 0xFFFF ? 1 : number + 1;
    } while (number != start);
    Fail(ERROR_FILE_EXISTS);
    return 0;
}

} // namespace

unsigned GetTempFileName(std::string_view dir, std::string_view prefix, unsigned unique,
                         std::string& result) {
    auto make = [](const std::string& name) {
        const int fd = ::open(name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        if (fd < 0)
            return errno;
        ::close(fd);
        return 0;
    };
    return UniqueName(dir, prefix, unique, ".TMP", make, result);
}

unsigned CreateUniqueDirectory(std::string_view dir, std::string_view prefix, std::string& result) {
    // mkdir fails with EEXIST on a file of the name as well as on a folder.
    auto make = [](const std::string& name) {
        return ::mkdir(name.c_str(), 0777) == 0 ? 0 : errno;
    };
    return UniqueName(dir, prefix, 0, "", make, result);
}

bool DirectoryExists(std::string_view path) {
    const std::uint32_t attrs = GetFileAttributes(path);
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & faDirectory) != 0;
}

bool FileExists(std::string_view pattern) {
    FileSearch search;
    return search.FindFirst(pattern, faAnyFile) && (search.Rec().Attr & faDirectory) == 0;
}

bool WriteAt(std::string_view path, std::uint64_t offset, const void* data, std::size_t size) {
    const std::string resolved = ResolveCase(path);
    struct stat st;
    if (::stat(resolved.c_str(), &st) != 0)
        return FailMissing(resolved, errno);
    // Windows opens no folder and no read-only file for writing, even for root.
    if (!S_ISREG(st.st_mode) || (st.st_mode & 0222) == 0)
        return Fail(ERROR_ACCESS_DENIED);
    Fd fd(::open(resolved.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (fd.Get() < 0)
        return FailErrno(errno);
    if (const int err = WriteAllAt(fd.Get(), offset, data, size))
        return FailErrno(err);
    if (const int err = fd.Close())
        return FailErrno(err);
    return true;
}

namespace {

// Reads at most `cap` bytes of the regular file `path` into `out`. 0, an
// errno value, or -1 for something that is no regular file.
int ReadCapped(const std::string& path, std::size_t cap, std::string& out) {
    out.clear();
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat st;
    if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode))
        return -1;
    // One byte past the size read, so that a file that grew meanwhile shows.
    out.resize(std::min<std::size_t>(cap, static_cast<std::size_t>(st.st_size) + 1));
    std::size_t got = 0;
    while (got < out.size()) {
        const ssize_t n = ::read(fd.Get(), out.data() + got, out.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int err = errno;
            out.clear();
            return err;
        }
        if (n == 0)
            break; // a file that shrank meanwhile gives what it held
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    return 0;
}

} // namespace

bool ReadFileHead(std::string_view path, std::size_t maxSize, std::string& content) {
    const std::string resolved = ResolveCase(path);
    const int err = ReadCapped(resolved, maxSize, content);
    if (err == -1)
        return Fail(ERROR_ACCESS_DENIED);
    if (err != 0)
        return FailMissing(resolved, err);
    return true;
}

bool ReadSmallFile(std::string_view path, std::size_t maxSize, std::string& content) {
    if (!ReadFileHead(path, maxSize == SIZE_MAX ? maxSize : maxSize + 1, content))
        return false;
    if (content.size() > maxSize) {
        content.clear();
        return Fail(ERROR_FILE_TOO_LARGE);
    }
    return true;
}

bool RemoveDirectory(std::string_view path) {
    const std::string resolved = ResolveCase(path);
    if (::rmdir(resolved.c_str()) == 0)
        return true;
    const int err = errno;
    if (err == ENOTEMPTY || err == EEXIST)
        return Fail(ERROR_DIR_NOT_EMPTY);
    if (err == ENOTDIR)
        return Fail(detail::IsFolder(FolderOf(resolved)) ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND);
    return FailMissing(resolved, err);
}

namespace detail {

bool ReadFileCapped(const std::string& path, std::size_t cap, std::string& out) {
    return ReadCapped(path, cap, out) == 0;
}

} // namespace detail

} // namespace platform
