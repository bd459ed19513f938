#include "files.h"

#include "zip.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace archiver {

int ReadWholeFile(const std::string& path, std::size_t maxSize, FileData& out) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno;
    int result = 0;
    if (fstat(fd, &out.Stat) != 0) {
        result = errno;
    } else if (!S_ISREG(out.Stat.st_mode)) {
        result = kNotRegularFile;
    } else if (static_cast<std::uint64_t>(out.Stat.st_size) > maxSize) {
        result = EFBIG;
    } else {
        // What fstat saw is what is read; a file that shrinks meanwhile is
        // taken as it ends.
        out.Bytes.resize(static_cast<std::size_t>(out.Stat.st_size));
        std::size_t got = 0;
        while (got < out.Bytes.size()) {
            ssize_t n = read(fd, out.Bytes.data() + got, out.Bytes.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                result = errno;
                break;
            }
            if (n == 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        out.Bytes.resize(got);
    }
    close(fd);
    return result;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir == ".")
        return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string FolderOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string ResolveCase(const std::string& dir, const std::string& name) {
    struct stat st;
    if (lstat(JoinPath(dir, name).c_str(), &st) == 0 || errno != ENOENT)
        return name;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return name;
    std::string found;
    while (const dirent* ent = readdir(d)) {
        std::string_view candidate = ent->d_name;
        if (EqualsIgnoringAsciiCase(candidate, name) && (found.empty() || candidate < found))
            found = candidate;
    }
    closedir(d);
    return found.empty() ? name : found;
}

mode_t NewFileMode() {
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

TempFile::TempFile(const std::string& dir, std::string label) : label_(std::move(label)) {
    // Hidden, and unlike any name the program reads, should a killed run
    // leave it behind.
    path_ = JoinPath(dir, ".pkzip-XXXXXX");
    fd_ = mkostemp(path_.data(), O_CLOEXEC);
    if (fd_ < 0) {
        placed_ = true; // nothing to remove
        Fail("Cannot write", errno);
    }
}

TempFile::~TempFile() {
    if (fd_ >= 0)
        close(fd_);
    if (!placed_)
        unlink(path_.c_str());
}

void TempFile::Fail(const char* what, int err) const {
    throw Failure(std::string(what) + " " + label_ + ": " + std::strerror(err));
}

void TempFile::Write(const void* data, std::size_t size) {
    auto p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd_, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            Fail("Cannot write", errno);
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

void TempFile::Finish(mode_t mode, const struct stat* replaced,
                      const std::optional<timespec>& mtime) {
    // Keep the replaced file's owner where allowed (root restoring a user's
    // files); a failure just leaves the new file ours.
    if (replaced && (replaced->st_uid != geteuid() || replaced->st_gid != getegid()) &&
        fchown(fd_, replaced->st_uid, replaced->st_gid) != 0) {
    }
    if (fchmod(fd_, mode) != 0)
        Fail("Cannot write", errno);
    if (mtime) {
        const timespec times[2] = {{0, UTIME_OMIT}, *mtime};
        if (futimens(fd_, times) != 0)
            Fail("Cannot set the time of", errno);
    }
    // On disk before the rename, so a crash leaves the old file or the whole
    // new one, never an empty one.
    if (fdatasync(fd_) != 0)
        Fail("Cannot write", errno);
    int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0)
        Fail("Cannot write", errno);
}

void TempFile::RenameTo(const std::string& target) {
    if (rename(path_.c_str(), target.c_str()) != 0)
        Fail("Cannot replace", errno);
    placed_ = true;
}

} // namespace archiver
