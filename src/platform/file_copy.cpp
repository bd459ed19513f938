#include "platform/files.h"

#include "platform/attributes.h"
#include "platform/internal.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/replaced_files.h"

#include <cerrno>
#include <cstdint>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

// Filling a staged file from its source: the contents in the kernel (or
// through a sink that sees each block), then what a Windows copy carries.

namespace platform {

namespace {

using detail::Fail;
using detail::FailErrno;
using detail::FailMissing;
using detail::FailNewFile;
using detail::Fd;

// Copies the rest of `in` to `out` through a buffer, showing each block to
// `sink` when one is given. 0 or an errno.
int CopyPlain(int in, int out, BlockSink* sink, std::uint64_t* copied) {
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
        if (sink)
            sink->Add(buffer, static_cast<std::size_t>(n));
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

bool refuseModesForTesting = false;

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
// contents (through `sink` when one is given), then hidden/system, last-write
// time and permission bits. `dosBits` gets the hidden/system bits given to
// `out`. 0 or an errno.
int FillFrom(int in, const struct stat& srcStat, int out, mode_t outMode, BlockSink* sink,
             std::uint64_t* copied, std::uint32_t& dosBits) {
    if (const int err = sink ? CopyPlain(in, out, sink, copied) : CopyData(in, out))
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
int FillWithRoom(int in, const struct stat& srcStat, int out, mode_t outMode, BlockSink* sink,
                 std::uint64_t* copied, std::uint32_t& dosBits) {
    const int err = FillFrom(in, srcStat, out, outMode, sink, copied, dosBits);
    if ((err != ENOSPC && err != EDQUOT) || !LetGoOfReplaced())
        return err;
    if (::ftruncate(out, 0) != 0 || ::lseek(out, 0, SEEK_SET) < 0 || ::lseek(in, 0, SEEK_SET) < 0)
        return errno;
    if (sink)
        sink->Restart();
    if (copied)
        *copied = 0;
    return FillFrom(in, srcStat, out, outMode, sink, copied, dosBits);
}

// Fills the staged file `fd` from `source` as CopyFile fills its copy,
// through `sink` when one is given; `read`, when given, gets the version of
// the source once it was read.
bool FillStaged(int fd, mode_t mode, std::string_view source, BlockSink* sink,
                std::uint64_t* copied, FileVersion* read, std::uint32_t& dosBits) {
    if (fd < 0)
        return Fail(ERROR_INVALID_HANDLE);
    Fd in;
    struct stat srcStat;
    if (!OpenSource(source, in, srcStat))
        return false;
    if (const int err = FillWithRoom(in.Get(), srcStat, fd, mode, sink, copied, dosBits))
        return FailErrno(err);
    if (read) {
        if (::fstat(in.Get(), &srcStat) != 0)
            return FailErrno(errno);
        *read = detail::VersionOf(srcStat);
    }
    return true;
}

} // namespace

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

bool StagedFile::CopyFrom(std::string_view source) {
    return FillStaged(fd_, mode_, source, nullptr, nullptr, nullptr, dosBits_);
}

bool StagedFile::CopyFrom(std::string_view source, FileVersion& read) {
    return FillStaged(fd_, mode_, source, nullptr, nullptr, &read, dosBits_);
}

bool StagedFile::CopyFrom(std::string_view source, BlockSink& sink, std::uint64_t& size) {
    size = 0;
    return FillStaged(fd_, mode_, source, &sink, &size, nullptr, dosBits_);
}

} // namespace platform
