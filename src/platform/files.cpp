#include "platform/files.h"

#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/internal.h"
#include "platform/last_error.h"
#include "platform/paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

using detail::Fail;
using detail::FailErrno;
using detail::FailMissing;
using detail::Fd;
using detail::FolderOf;

namespace detail {

int Fd::Close() {
    int err = 0;
    if (fd_ >= 0 && ::close(fd_) != 0)
        err = errno;
    fd_ = -1;
    return err;
}

std::string FolderOf(const std::string& path) {
    std::string folder = ExtractFilePath(path);
    return folder.empty() ? std::string(".") : folder;
}

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

bool FailMissing(const std::string& path, int err) {
    std::string_view trimmed(path);
    while (trimmed.size() > 1 && trimmed.back() == PathDelim)
        trimmed.remove_suffix(1);
    if (err == ENOENT && !IsFolder(FolderOf(std::string(trimmed))))
        return Fail(ERROR_PATH_NOT_FOUND);
    return FailErrno(err);
}

} // namespace detail

bool IsFolder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool GetFileVersion(std::string_view path, FileVersion& version) {
    const std::string resolved = ResolveCase(path);
    struct stat st;
    if (::stat(resolved.c_str(), &st) != 0)
        return FailMissing(resolved, errno);
    version = detail::VersionOf(st);
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
    if (folder.empty() || !IsFolder(folder)) {
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
    if (const int err = detail::WriteAllAt(fd.Get(), offset, data, size))
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
        return Fail(IsFolder(FolderOf(resolved)) ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND);
    return FailMissing(resolved, err);
}

namespace detail {

bool ReadFileCapped(const std::string& path, std::size_t cap, std::string& out) {
    return ReadCapped(path, cap, out) == 0;
}

} // namespace detail

} // namespace platform
