#include "platform/descriptors.h"

#include "platform/internal.h"
#include "platform/last_error.h"
#include "platform/paths.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

std::size_t DescriptorsToKeep() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    // What a run has open at once while it works: the standard streams, the
    // runtime's own, a copy's source, its temporary and its folder, a
    // search, the archiver's pipes, the stamp store and its lock.
    constexpr rlim_t working = 32;
    if (limit.rlim_cur == RLIM_INFINITY)
        return 1u << 20;
    // Half of the rest: the other half stays free for what may open files
    // at the same time (a second queue's thread, a restore's checks).
    return limit.rlim_cur > working ? static_cast<std::size_t>(limit.rlim_cur - working) / 2 : 0;
}

int OpenFileToRead(std::string_view path) {
    const std::string resolved = ResolveCase(path);
    // Non-blocking, so that a FIFO cannot hang the open; it is refused below.
    detail::Fd fd(::open(resolved.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.Get() < 0) {
        detail::FailMissing(resolved, errno);
        return -1;
    }
    struct stat st;
    if (::fstat(fd.Get(), &st) != 0) {
        detail::FailErrno(errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        detail::Fail(ERROR_ACCESS_DENIED);
        return -1;
    }
    ::posix_fadvise(fd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd.Release();
}

void CloseFile(int fd) {
    if (fd >= 0)
        ::close(fd);
}

bool GetOpenFileVersion(int fd, FileVersion& version) {
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return detail::FailErrno(errno);
    if (!S_ISREG(st.st_mode))
        return detail::Fail(ERROR_ACCESS_DENIED);
    version = detail::VersionOf(st);
    return true;
}

bool ReadAllBlocks(int fd, BlockSink& sink, std::uint64_t& size) {
    alignas(64) static thread_local std::uint8_t buffer[1 << 16];
    size = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return detail::FailErrno(errno);
        if (n == 0)
            return true;
        sink.Add(buffer, static_cast<std::size_t>(n));
        size += static_cast<std::uint64_t>(n);
    }
}

void StartWritingToDisk(int fd) {
    ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

} // namespace platform
