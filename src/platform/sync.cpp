#include "platform/sync.h"

#include "platform/last_error.h"
#include "platform/paths.h"

#include <algorithm>
#include <atomic>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

std::atomic<bool> failFlushes{false};

} // namespace

void FailFlushesForTesting(bool fail) {
    failFlushes = fail;
}

bool FlushFiles(const std::vector<std::string>& paths) {
    if (failFlushes) {
        SetLastError(ERROR_IO_DEVICE);
        return false;
    }
    // One syncfs per file system rather than one fsync per file: a backup of
    // many small files would otherwise wait for a journal commit per file.
    // syncfs reports write-back errors of the file system that no one has
    // seen yet, also those of files written before it was opened.
    std::vector<dev_t> synced;
    bool ok = true;
    std::uint32_t firstError = ERROR_SUCCESS;
    auto fail = [&](int err) {
        if (ok)
            firstError = WinErrorFromErrno(err);
        ok = false;
    };
    for (const std::string& path : paths) {
        const std::string resolved = ResolveCase(path);
        const int fd = ::open(resolved.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            fail(errno);
            continue;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            fail(errno);
        } else if (std::find(synced.begin(), synced.end(), st.st_dev) == synced.end()) {
            synced.push_back(st.st_dev);
            if (::syncfs(fd) != 0)
                fail(errno);
        }
        ::close(fd);
    }
    if (!ok)
        SetLastError(firstError);
    return ok;
}

} // namespace platform
