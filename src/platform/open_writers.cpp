#include "platform/open_writers.h"

#include <cctype>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

bool IsProcessId(const char* name) {
    for (const char* c = name; *c; ++c)
        if (!std::isdigit(static_cast<unsigned char>(*c)))
            return false;
    return *name != '\0';
}

// Adds the regular files the descriptors of the folder `fds` are open for
// writing on.
void AddWritten(int fds, std::set<FileKey>& files) {
    DIR* dir = ::fdopendir(fds);
    if (!dir) {
        ::close(fds);
        return;
    }
    while (const dirent* e = ::readdir(dir)) {
        struct stat st;
        // The link itself first: no look at what a read-only descriptor
        // leads to (a file on a server that does not answer, say).
        if (e->d_name[0] == '.' ||
            ::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            (st.st_mode & S_IWUSR) == 0)
            continue;
        if (::fstatat(::dirfd(dir), e->d_name, &st, 0) == 0 && S_ISREG(st.st_mode))
            files.emplace(static_cast<std::uint64_t>(st.st_dev),
                          static_cast<std::uint64_t>(st.st_ino));
    }
    ::closedir(dir);
}

} // namespace

std::set<FileKey> FilesOpenForWriting() {
    std::set<FileKey> files;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return files;
    const uid_t me = ::geteuid();
    while (const dirent* e = ::readdir(proc)) {
        struct stat st;
        if (!IsProcessId(e->d_name) || ::fstatat(::dirfd(proc), e->d_name, &st, 0) != 0 ||
            st.st_uid != me)
            continue;
        // A process that ended meanwhile, or one not ours to look into, is passed by.
        const int fds = ::openat(::dirfd(proc), (std::string(e->d_name) + "/fd").c_str(),
                                 O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fds >= 0)
            AddWritten(fds, files);
    }
    ::closedir(proc);
    return files;
}

} // namespace platform
