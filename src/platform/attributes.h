#pragma once

// Windows file attributes on Linux: read-only from the mode bits, hidden and
// system from the user.DOSATTRIB extended attribute (as Wine and Samba keep
// them; a leading "." also means hidden), directory from stat, and an emulated
// archive bit ("changed since the last backup") kept as a clean stamp in the
// user.mfbackup.clean extended attribute, or in the stamp store
// (stamp_store.h) on a file system that takes no user extended attributes.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

inline constexpr std::uint32_t faReadOnly = 0x01;
inline constexpr std::uint32_t faHidden = 0x02;
inline constexpr std::uint32_t faSysFile = 0x04;
inline constexpr std::uint32_t faVolumeID = 0x08;
inline constexpr std::uint32_t faDirectory = 0x10;
inline constexpr std::uint32_t faArchive = 0x20;
inline constexpr std::uint32_t faAnyFile = 0x3F;
inline constexpr std::uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

// The attributes of `path`, or INVALID_FILE_ATTRIBUTES (last error set).
std::uint32_t GetFileAttributes(std::string_view path);

// Makes the file carry exactly `attrs` (read-only, hidden, system, archive;
// other bits are ignored). Clearing faArchive stores a clean stamp (in the
// stamp store where the file system refuses user extended attributes);
// hidden and system can't be set there. False and last error set on failure.
bool SetFileAttributes(std::string_view path, std::uint32_t attrs);
// SetFileAttributes for a file read (backed up) as `seen`: nothing changes,
// and false returned (32), unless the file is still that version when the
// clean stamp is stored, so a file written again since stays changed.
struct FileVersion;
bool SetFileAttributes(std::string_view path, std::uint32_t attrs, const FileVersion* seen);
// Returns once a write to a file last written at `mtime` would give it a
// later time (file times tick coarsely: a few ms, a second or two on some
// drives), at most about 2.5 s later. A file read after that and found
// unchanged later holds what was read.
void WaitPastWriteTime(const struct timespec& mtime);

// Pure parts, tested without the disk.
// The hidden/system bits of a user.DOSATTRIB value: its leading "0x" hex number,
// whatever follows (Samba appends a binary block); nullopt when it has none.
std::optional<std::uint32_t> ParseDosAttrib(std::string_view value);
// The value written for hidden/system bits: "0x%x" of those bits only.
std::string FormatDosAttrib(std::uint32_t attrs);

// The clean stamp: what a file looked like when its archive bit was cleared.
struct CleanStamp {
    std::uint64_t Inode = 0;
    std::int64_t Size = 0;
    std::int64_t MTimeSec = 0;
    std::int64_t MTimeNsec = 0;

    bool operator==(const CleanStamp&) const = default;
};
std::string FormatCleanStamp(const CleanStamp& stamp);
std::optional<CleanStamp> ParseCleanStamp(std::string_view value);

// Test hook: act as on a file system that refuses user extended attributes
// (ENOTSUP), so the refusal paths and the stamp store can be tested where
// every file system allows them.
void RefuseXattrsForTesting(bool refuse);

} // namespace platform
