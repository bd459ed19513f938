#pragma once

// Helpers shared by the layer's sources; not part of its interface.

#include <cstdint>
#include <string>
#include <string_view>

#include <sys/stat.h>

namespace platform::detail {

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

// Extended attributes, path based (following links). Each returns -1 with
// errno set on failure, like the calls they wrap; when the test hook refuses
// extended attributes they fail with ENOTSUP.
long GetXattr(const std::string& path, const char* name, std::string& value);
int SetXattr(const std::string& path, const char* name, std::string_view value);
int RemoveXattr(const std::string& path, const char* name);
int FSetXattr(int fd, const char* name, std::string_view value);
long FGetXattr(int fd, const char* name, std::string& value);

// The attributes of a file whose stat is known; `path` is used for the
// extended attributes and its last component for the leading-dot rule.
std::uint32_t AttributesFromStat(const std::string& path, std::string_view name,
                                 const struct stat& st);

// The hidden/system bits the user.DOSATTRIB attribute of `path` holds (0 when
// it has none or it can't be read).
std::uint32_t DosAttribBits(const std::string& path);
std::uint32_t DosAttribBits(int fd);

// True for "." and "..".
inline bool IsDotEntry(std::string_view name) {
    return name == "." || name == "..";
}

// A leading "." hides a name, as Wine shows it; "." and ".." are not hidden.
inline bool IsDotHidden(std::string_view name) {
    return !name.empty() && name[0] == '.' && !IsDotEntry(name);
}

} // namespace platform::detail
