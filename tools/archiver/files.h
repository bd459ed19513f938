#pragma once

// The few file operations the archiver needs, all with POSIX calls: whole-file
// reads, case-insensitive name lookup (as Wine resolves names), and files
// written under a temporary name and renamed into place only when complete.

#include <sys/stat.h>

#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

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

// A file written in `dir` under a temporary name; removed when destroyed
// unless RenameTo has put it in place. `label` names the final file in
// messages.
class TempFile {
public:
    TempFile(const std::string& dir, std::string label);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    void Write(const void* data, std::size_t size);
    // Gives the file its final permission bits, the owner of the file it will
    // replace (when there is one and the system allows it) and `mtime`, and
    // flushes it to disk.
    void Finish(mode_t mode, const struct stat* replaced, const std::optional<timespec>& mtime);
    // Atomically puts the finished file at `target`, replacing what is there.
    void RenameTo(const std::string& target);

private:
    [[noreturn]] void Fail(const char* what, int err) const;

    std::string path_;
    std::string label_;
    int fd_ = -1;
    bool placed_ = false;
};

} // namespace archiver
