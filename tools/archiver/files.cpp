#include "files.h"

#include "zip.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/random.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace archiver {

namespace {

constexpr char kTempPrefix[] = ".pkzip-";
constexpr std::size_t kTempRandom = 6; // as mkostemp's XXXXXX

// Opens `path` for reading, never blocking on a FIFO, and checks that it is a
// regular file. The descriptor, or -1 with `err` set (an errno value or
// kNotRegularFile).
int OpenRegular(const std::string& path, struct stat& st, int& err) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        err = errno;
        return -1;
    }
    err = 0;
    if (fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode))
        err = kNotRegularFile;
    if (err != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool IsTempName(std::string_view name) {
    const std::string_view prefix(kTempPrefix);
    if (name.size() != prefix.size() + kTempRandom || name.substr(0, prefix.size()) != prefix)
        return false;
    for (char c : name.substr(prefix.size()))
        if (!std::isalnum(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// A fresh temporary name in `dir` (not yet taken when looked at).
std::string TempName(const std::string& dir) {
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char random[kTempRandom];
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        for (std::size_t i = 0; i < kTempRandom; ++i)
            random[i] = static_cast<unsigned char>((t.tv_nsec >> (i * 5)) ^ getpid() >> i);
    }
    std::string name = kTempPrefix;
    for (unsigned char r : random)
        name += kChars[r % (sizeof kChars - 1)];
    return JoinPath(dir, name);
}

// O_TMPFILE files are named through /proc; without it, a named one is used.
bool CanLinkUnnamed() {
    static const bool haveProc = access("/proc/self/fd", F_OK) == 0;
    return haveProc;
}

} // namespace

int ReadWholeFile(const std::string& path, std::size_t maxSize, FileData& out) {
    int result = 0;
    int fd = OpenRegular(path, out.Stat, result);
    if (fd < 0)
        return result;
    if (static_cast<std::uint64_t>(out.Stat.st_size) > maxSize) {
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

int FileSource::Open(const std::string& path) {
    path_ = path;
    int err = 0;
    fd_ = OpenRegular(path, stat_, err);
    return err;
}

FileSource::~FileSource() {
    if (fd_ >= 0)
        close(fd_);
}

void FileSource::ReadAt(std::uint64_t offset, void* out, std::size_t size) const {
    auto p = static_cast<char*>(out);
    while (size > 0) {
        ssize_t n = pread(fd_, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw Failure("Cannot read archive " + path_ + ": " + std::strerror(errno));
        if (n == 0)
            throw ZipError(ZipError::Damaged, "it ends early (truncated?)");
        p += n;
        offset += static_cast<std::uint64_t>(n);
        size -= static_cast<std::size_t>(n);
    }
}

void RemoveStaleTemporaries(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d)
        return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    while (const dirent* ent = readdir(d)) {
        if (!IsTempName(ent->d_name))
            continue;
        struct stat st;
        if (fstatat(dirfd(d), ent->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_mtim.tv_sec + 60 < now.tv_sec)
            unlinkat(dirfd(d), ent->d_name, 0);
    }
    closedir(d);
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

TempFile::TempFile(const std::string& dir, std::string label)
    : dir_(dir), label_(std::move(label)) {
    if (CanLinkUnnamed()) {
        fd_ = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        if (fd_ >= 0)
            return;
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            Fail("Cannot write", errno);
    }
    // Hidden, and unlike any name the program reads, should a killed run
    // leave it behind.
    path_ = JoinPath(dir, std::string(kTempPrefix) + "XXXXXX");
    fd_ = mkostemp(path_.data(), O_CLOEXEC);
    if (fd_ < 0) {
        path_.clear(); // nothing to remove
        Fail("Cannot write", errno);
    }
}

TempFile::~TempFile() {
    if (fd_ >= 0)
        close(fd_);
    if (!path_.empty())
        unlink(path_.c_str());
}

void TempFile::Fail(const char* what, int err) const {
    throw Failure(std::string(what) + " " + label_ + ": " + std::strerror(err));
}

int WriteAll(int fd, const void* data, std::size_t size) {
    auto p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

void TempFile::Write(const void* data, std::size_t size) {
    if (int err = WriteAll(fd_, data, size))
        Fail("Cannot write", err);
}

void TempFile::Finish(mode_t mode, const struct stat* replaced, bool flush) {
    // Keep the replaced file's owner where allowed (root restoring a user's
    // files); a failure just leaves the new file ours.
    if (replaced && (replaced->st_uid != geteuid() || replaced->st_gid != getegid()) &&
        fchown(fd_, replaced->st_uid, replaced->st_gid) != 0) {
    }
    if (fchmod(fd_, mode) != 0)
        Fail("Cannot write", errno);
    // On disk before it is put in place, so a crash leaves the old file or
    // the whole new one, never an empty one.
    if (flush && fdatasync(fd_) != 0)
        Fail("Cannot write", errno);
}

void TempFile::PlaceAt(const std::string& target, const std::optional<timespec>& mtime) {
    if (path_.empty()) {
        // Unnamed: a new target gets its name in one step, which never
        // replaces; an existing one is replaced through a temporary name.
        char fdPath[64];
        std::snprintf(fdPath, sizeof fdPath, "/proc/self/fd/%d", fd_);
        struct stat st;
        if (lstat(target.c_str(), &st) != 0 &&
            linkat(AT_FDCWD, fdPath, AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            path_.clear();
        } else {
            for (int attempt = 0;; ++attempt) {
                std::string name = TempName(dir_);
                if (linkat(AT_FDCWD, fdPath, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                    path_ = std::move(name);
                    break;
                }
                if (errno != EEXIST || attempt > 100)
                    Fail("Cannot replace", errno);
            }
        }
    }
    if (!path_.empty()) {
        if (rename(path_.c_str(), target.c_str()) != 0)
            Fail("Cannot replace", errno);
        path_.clear();
    }
    if (mtime) {
        const timespec times[2] = {{0, UTIME_OMIT}, *mtime};
        if (futimens(fd_, times) != 0)
            Fail("Cannot set the time of", errno);
    }
    int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0)
        Fail("Cannot write", errno);
}

} // namespace archiver
