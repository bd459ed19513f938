#pragma once

// The few file operations the archiver needs, all with POSIX calls: reads of
// the archive a piece at a time, whole-file reads of the file added,
// case-insensitive name lookup (as Wine resolves names), and files written
// unnamed (or under a temporary name) and put in place only when complete.

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "zip.h"

namespace archiver {

// A failure reported to the user as one line.
class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// ReadWholeFile's result for something that exists but is no regular file.
inline constexpr int kNotRegularFile = -1;

struct FileData {
    std::string Bytes;
    struct stat Stat {};
};

// Reads the file at `path` whole. 0 on success, else an errno value (EFBIG
// when it is larger than `maxSize`) or kNotRegularFile. Never blocks on a FIFO.
int ReadWholeFile(const std::string& path, std::size_t maxSize, FileData& out);

// An archive on disk, read with pread a piece at a time.
class FileSource : public ByteSource {
public:
    // Opens `path`; 0 on success, else an errno value or kNotRegularFile.
    // Never blocks on a FIFO.
    int Open(const std::string& path);
    ~FileSource() override;

    const struct stat& Stat() const { return stat_; }
    std::uint64_t Size() const override { return static_cast<std::uint64_t>(stat_.st_size); }
    void ReadAt(std::uint64_t offset, void* out, std::size_t size) const override;

private:
    std::string path_;
    int fd_ = -1;
    struct stat stat_ {};
};

// Writes all of `size` bytes to `fd`. 0 or an errno value.
int WriteAll(int fd, const void* data, std::size_t size);

// Removes what an earlier run killed half way left in `dir`: files of the
// temporary files' own naming whose last change is older than a minute.
void RemoveStaleTemporaries(const std::string& dir);

// `name` in `dir` as it is on disk: itself when it exists as written, else the
// first (by byte order) entry of `dir` equal to it ignoring ASCII case, else
// itself.
std::string ResolveCase(const std::string& dir, const std::string& name);

// `dir` joined with `name`; `dir` "." gives `name` alone.
std::string JoinPath(const std::string& dir, const std::string& name);
// The folder part of `path` ("." when it has none).
std::string FolderOf(const std::string& path);

// The permission bits a newly created file gets (0666 less the umask).
mode_t NewFileMode();

// A new file written in `dir`: unnamed (O_TMPFILE) where the file system
// allows it, so that it vanishes with the process, else under a hidden
// temporary name, removed when destroyed unless it was put in place.
// `label` names the final file in messages.
class TempFile {
public:
    TempFile(const std::string& dir, std::string label);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    void Write(const void* data, std::size_t size);
    // Gives the file its final permission bits and the owner of the file it
    // will replace (when there is one and the system allows it), and flushes
    // it to disk unless the caller flushes it later (`flush` false).
    void Finish(mode_t mode, const struct stat* replaced, bool flush = true);
    // Atomically puts the finished file at `target`, replacing what is there,
    // then gives it `mtime` (only then: a temporary file that is still named
    // keeps a fresh time, so it never looks stale).
    void PlaceAt(const std::string& target, const std::optional<timespec>& mtime);

private:
    [[noreturn]] void Fail(const char* what, int err) const;

    std::string dir_;
    std::string path_; // the temporary name, while it has one
    std::string label_;
    int fd_ = -1;
};

} // namespace archiver
