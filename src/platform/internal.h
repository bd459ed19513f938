#pragma once

// Helpers shared by the layer's sources; not part of its interface.

#include "platform/files.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

namespace platform {
struct ExitStatus;
}

namespace platform::detail {

// Starts `program` with `args` as its arguments (args[0] its own name),
// standard input from /dev/null, standard output and error into `out` and
// `err` where they are descriptors, in `workDir` where one is given, with
// `environment` ("NAME=value" each) where one is given, else this process's,
// and clean of whatever signal handling this process set up (an ignored
// SIGPIPE, a blocked SIGCHLD). Unless it `outlivesUs`, it is killed when the
// thread that started it ends, and so with this process however that ends.
// The errno of a failure (a failed exec too, not as exit code 127), else 0
// with the child's `pid`.
int Spawn(const std::string& program, const std::vector<std::string>& args, int out, int err,
          const std::string& workDir, pid_t& pid, bool outlivesUs = false,
          const std::vector<std::string>* environment = nullptr);
// Waits for the child `pid` and tells how it ended. False with errno set.
bool WaitFor(pid_t pid, ExitStatus& status);

// Where Wine and Samba keep the hidden and system bits.
inline constexpr const char* kDosAttrib = "user.DOSATTRIB";

// Sets the last error from an errno value and returns false, so failure paths
// read `return FailErrno(errno);`.
bool FailErrno(int err);
// Sets the last error to a Windows code and returns false.
bool Fail(std::uint32_t code);
// FailErrno for a call on `path`, except that ENOENT with the folder on the
// way missing gives 3, as Windows tells a missing file (2) from a missing
// folder (3).
bool FailMissing(const std::string& path, int err);

// An open descriptor, closed when it goes out of scope.
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
    // Hands the descriptor over to the caller, who closes it.
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes and tells whether the close reported an error (0 or an errno).
    int Close();

private:
    int fd_;
};

// The folder part of a path for system calls: "." when it has none.
std::string FolderOf(const std::string& path);
// Writes all of `size` bytes at `offset` of `fd`. 0 or an errno.
int WriteAllAt(int fd, std::uint64_t offset, const void* data, std::size_t size);
// The last error for an errno of making, filling or placing a new file.
bool FailNewFile(int err, bool failIfExists);

// Extended attributes, path based (following links). Each returns -1 with
// errno set on failure, like the calls they wrap; when the test hook refuses
// extended attributes they fail with ENOTSUP.
long GetXattr(const std::string& path, const char* name, std::string& value);
int SetXattr(const std::string& path, const char* name, std::string_view value);
int RemoveXattr(const std::string& path, const char* name);
int FSetXattr(int fd, const char* name, std::string_view value);
long FGetXattr(int fd, const char* name, std::string& value);
int FRemoveXattr(int fd, const char* name);

// Stores the clean stamp of the open file `fd`, whose stat is `st`, in its
// extended attribute, once its last-write time is past (as SetFileAttributes
// does); `st` is then the stat the stamp was made of. 0, or an errno; with
// ENOTSUP from a file system without user extended attributes, 0 is returned
// and `forStore` gets the stamp to keep in the stamp store instead.
int StampOpenFile(int fd, struct stat& st, std::string& forStore);

// The stamp store, for files whose file system takes no user extended
// attributes. The stamp kept for `path`, if any; storing and forgetting set
// the last error on failure (forgetting a stamp never kept succeeds).
std::optional<std::string> StoredStamp(const std::string& path);
// The one rule of a clean stamp: it fits the file whose stat is `st` when it
// names that very inode, size and last-write time to the nanosecond.
bool StampFits(std::string_view value, const struct stat& st);
bool StoreStamp(const std::string& path, const std::string& stamp);
bool ForgetStamp(const std::string& path);

// What `st` tells of the file's version.
FileVersion VersionOf(const struct stat& st);

// The attributes of a file whose stat is known; `path` is used for the
// extended attributes and its last component for the leading-dot rule.
std::uint32_t AttributesFromStat(const std::string& path, std::string_view name,
                                 const struct stat& st);

// The hidden/system bits the user.DOSATTRIB attribute of `path` holds (0 when
// it has none or it can't be read).
std::uint32_t DosAttribBits(const std::string& path);
std::uint32_t DosAttribBits(int fd);

// Reads at most `cap` bytes of the regular file `path` into `out`: a larger
// file gives its first `cap` bytes. A FIFO, device or folder is not opened
// for reading (it could block or never end): false, as for a missing file.
bool ReadFileCapped(const std::string& path, std::size_t cap, std::string& out);

// True for "." and "..".
inline bool IsDotEntry(std::string_view name) {
    return name == "." || name == "..";
}

// A leading "." hides a name, as Wine shows it; "." and ".." are not hidden.
inline bool IsDotHidden(std::string_view name) {
    return !name.empty() && name[0] == '.' && !IsDotEntry(name);
}

} // namespace platform::detail
