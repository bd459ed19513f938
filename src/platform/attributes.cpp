#include "platform/attributes.h"

#include "platform/internal.h"
#include "platform/last_error.h"
#include "platform/paths.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <ctime>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace platform {

namespace {

using detail::kDosAttrib;
constexpr const char* kCleanStamp = "user.mfbackup.clean";
constexpr std::uint32_t kDosBits = faHidden | faSysFile;

std::atomic<bool> refuseXattrs{false};

std::int64_t Nanos(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

std::int64_t Now(clockid_t clock) {
    timespec t{};
    ::clock_gettime(clock, &t);
    return Nanos(t);
}

// True while a write could still give the file the modification time it has
// now: the kernel stamps writes with the coarse clock tick, so a file written
// in the current tick can be rewritten within that same tick and keep its
// time. File systems with coarser times cut them down further: the time's
// own round number tells how far (a whole second, FAT's two seconds, exFAT's
// ten milliseconds); for a nanosecond file system it is one nanosecond, or a
// few more for a time that happens to be round, which costs nothing.
bool MTimeStillCurrent(const timespec& mtime) {
    std::int64_t granularity = 1;
    if (mtime.tv_nsec == 0)
        granularity = 2'000'000'000;
    else
        for (long n = mtime.tv_nsec; n % 10 == 0; n /= 10)
            granularity *= 10;
    const std::int64_t m = Nanos(mtime);
    // A time well in the future (clock set back, a file from elsewhere) is
    // not waited for: no write can land on it soon.
    if (m > Now(CLOCK_REALTIME) + 1'000'000'000)
        return false;
    return Now(CLOCK_REALTIME_COARSE) < m + granularity;
}

bool NotSupported(int err) {
    return err == ENOTSUP || err == EOPNOTSUPP;
}

bool StampMatches(const std::string& path, const struct stat& st) {
    std::string value;
    if (detail::GetXattr(path, kCleanStamp, value) < 0) {
        // A file system without the attribute: its stamps are in the store.
        if (!NotSupported(errno))
            return false;
        auto stored = detail::StoredStamp(path);
        if (!stored)
            return false;
        value = std::move(*stored);
    }
    return detail::StampFits(value, st);
}

// Waits until the last-write time in `st` is in the past of the clock writes
// are stamped with, so that any later write, even of the same size a moment
// later, gives a different time; `restat` renews `st` (false with errno set
// on failure). Bounded: a whole-second file system may need two seconds.
template <typename Restat> bool WaitTillWriteTimePast(struct stat& st, Restat restat) {
    for (int waited = 0; MTimeStillCurrent(st.st_mtim) && waited < 2500; ++waited) {
        const timespec oneMs{0, 1'000'000};
        ::nanosleep(&oneMs, nullptr);
        if (!restat(st))
            return false;
    }
    return true;
}

} // namespace

void WaitPastWriteTime(const struct timespec& mtime) {
    for (int waited = 0; MTimeStillCurrent(mtime) && waited < 2500; ++waited) {
        const timespec oneMs{0, 1'000'000};
        ::nanosleep(&oneMs, nullptr);
    }
}

namespace {

CleanStamp StampFrom(const struct stat& st) {
    CleanStamp stamp;
    stamp.Inode = static_cast<std::uint64_t>(st.st_ino);
    stamp.Size = static_cast<std::int64_t>(st.st_size);
    stamp.MTimeSec = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    stamp.MTimeNsec = static_cast<std::int64_t>(st.st_mtim.tv_nsec);
    return stamp;
}

std::string StampOf(const struct stat& st) {
    return FormatCleanStamp(StampFrom(st));
}

// Stores the clean stamp of `path`, whose stat was `st`, once its last-write
// time is past; with
// `seen`, only while the file is still that version (else 32: it was
// written again since).
bool StoreCleanStamp(const std::string& path, struct stat st, const FileVersion* seen) {
    const auto restat = [&](struct stat& s) { return ::stat(path.c_str(), &s) == 0; };
    if (!WaitTillWriteTimePast(st, restat))
        return detail::FailErrno(errno);
    if (seen && !seen->SameContent(detail::VersionOf(st)))
        return detail::Fail(ERROR_SHARING_VIOLATION);
    const std::string value = StampOf(st);
    if (detail::SetXattr(path, kCleanStamp, value) == 0)
        return true;
    if (NotSupported(errno))
        return detail::StoreStamp(path, value);
    return detail::FailErrno(errno);
}

// The stat of `path`, looked up ignoring case where it is missing as written
// (most paths are found as written: one look-up, not two); `resolved` gets
// the path found. False and last error set when there is none.
bool StatResolved(std::string_view path, std::string& resolved, struct stat& st) {
    resolved = path;
    if (::stat(resolved.c_str(), &st) == 0)
        return true;
    resolved = ResolveCase(path);
    if (::stat(resolved.c_str(), &st) == 0)
        return true;
    return detail::FailMissing(resolved, errno);
}

bool Unremarkable(int err) {
    return err == ENODATA || err == ENOTSUP;
}

} // namespace

void RefuseXattrsForTesting(bool refuse) {
    refuseXattrs = refuse;
}

namespace detail {

namespace {

// Reads an attribute whatever its length (Samba's can be long).
template <typename Get> long ReadXattr(std::string& value, Get get) {
    if (refuseXattrs) {
        errno = ENOTSUP;
        return -1;
    }
    value.resize(256);
    for (;;) {
        const ssize_t n = get(value.data(), value.size());
        if (n >= 0) {
            value.resize(static_cast<std::size_t>(n));
            return static_cast<long>(n);
        }
        if (errno != ERANGE)
            return -1;
        const ssize_t need = get(nullptr, 0);
        if (need < 0)
            return -1;
        value.resize(static_cast<std::size_t>(need) + 1);
    }
}

} // namespace

long GetXattr(const std::string& path, const char* name, std::string& value) {
    return ReadXattr(value, [&](char* buffer, std::size_t size) {
        return ::getxattr(path.c_str(), name, buffer, size);
    });
}

long FGetXattr(int fd, const char* name, std::string& value) {
    return ReadXattr(
        value, [&](char* buffer, std::size_t size) { return ::fgetxattr(fd, name, buffer, size); });
}

int SetXattr(const std::string& path, const char* name, std::string_view value) {
    if (refuseXattrs) {
        errno = ENOTSUP;
        return -1;
    }
    return ::setxattr(path.c_str(), name, value.data(), value.size(), 0);
}

int RemoveXattr(const std::string& path, const char* name) {
    if (refuseXattrs) {
        errno = ENOTSUP;
        return -1;
    }
    return ::removexattr(path.c_str(), name);
}

int FRemoveXattr(int fd, const char* name) {
    if (refuseXattrs) {
        errno = ENOTSUP;
        return -1;
    }
    return ::fremovexattr(fd, name);
}

int StampOpenFile(int fd, struct stat& st, std::string& forStore) {
    forStore.clear();
    if (!WaitTillWriteTimePast(st, [fd](struct stat& s) { return ::fstat(fd, &s) == 0; }))
        return errno;
    const std::string value = StampOf(st);
    if (FSetXattr(fd, kCleanStamp, value) == 0)
        return 0;
    if (!NotSupported(errno))
        return errno;
    forStore = value;
    return 0;
}

FileVersion VersionOf(const struct stat& st) {
    FileVersion v;
    v.Device = static_cast<std::uint64_t>(st.st_dev);
    v.Inode = static_cast<std::uint64_t>(st.st_ino);
    v.Size = static_cast<std::int64_t>(st.st_size);
    v.WriteTime = st.st_mtim;
    v.ChangeTime = st.st_ctim;
    return v;
}

int FSetXattr(int fd, const char* name, std::string_view value) {
    if (refuseXattrs) {
        errno = ENOTSUP;
        return -1;
    }
    return ::fsetxattr(fd, name, value.data(), value.size(), 0);
}

std::uint32_t DosAttribBits(const std::string& path) {
    std::string value;
    if (GetXattr(path, kDosAttrib, value) < 0)
        return 0;
    return ParseDosAttrib(value).value_or(0);
}

std::uint32_t DosAttribBits(int fd) {
    std::string value;
    if (FGetXattr(fd, kDosAttrib, value) < 0)
        return 0;
    return ParseDosAttrib(value).value_or(0);
}

std::uint32_t AttributesFromStat(const std::string& path, std::string_view name,
                                 const struct stat& st) {
    std::uint32_t attrs = 0;
    const bool dir = S_ISDIR(st.st_mode);
    if (dir)
        attrs |= faDirectory;
    if ((st.st_mode & 0222) == 0)
        attrs |= faReadOnly;
    if (IsDotHidden(name))
        attrs |= faHidden;
    attrs |= DosAttribBits(path);
    if (!dir && !StampMatches(path, st))
        attrs |= faArchive;
    return attrs;
}

} // namespace detail

std::optional<std::uint32_t> ParseDosAttrib(std::string_view value) {
    if (value.size() < 3 || value[0] != '0' || (value[1] != 'x' && value[1] != 'X'))
        return std::nullopt;
    std::uint64_t bits = 0;
    std::size_t i = 2;
    for (; i < value.size() && i < 2 + 16; ++i) {
        const char c = value[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            break;
        bits = bits << 4 | static_cast<std::uint64_t>(digit);
    }
    if (i == 2)
        return std::nullopt;
    return static_cast<std::uint32_t>(bits) & kDosBits;
}

std::string FormatDosAttrib(std::uint32_t attrs) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", attrs & kDosBits);
    return text;
}

std::string FormatCleanStamp(const CleanStamp& stamp) {
    return "mf1 " + std::to_string(stamp.Inode) + " " + std::to_string(stamp.Size) + " " +
           std::to_string(stamp.MTimeSec) + "." + std::to_string(stamp.MTimeNsec);
}

std::optional<CleanStamp> ParseCleanStamp(std::string_view value) {
    if (value.substr(0, 4) != "mf1 ")
        return std::nullopt;
    const char* p = value.data() + 4;
    const char* end = value.data() + value.size();
    CleanStamp stamp;
    auto number = [&](auto& out, char after) {
        const auto r = std::from_chars(p, end, out);
        if (r.ec != std::errc() || (after ? (r.ptr == end || *r.ptr != after) : r.ptr != end))
            return false;
        p = after ? r.ptr + 1 : r.ptr;
        return true;
    };
    if (!number(stamp.Inode, ' ') || !number(stamp.Size, ' ') || !number(stamp.MTimeSec, '.') ||
        !number(stamp.MTimeNsec, '\0'))
        return std::nullopt;
    return stamp;
}

std::uint32_t GetFileAttributes(std::string_view path) {
    struct stat st;
    std::string resolved;
    if (!StatResolved(path, resolved, st))
        return INVALID_FILE_ATTRIBUTES;
    std::string_view trimmed(resolved);
    while (trimmed.size() > 1 && trimmed.back() == PathDelim)
        trimmed.remove_suffix(1);
    return detail::AttributesFromStat(resolved, ExtractFileName(trimmed), st);
}

bool SetFileAttributes(std::string_view path, std::uint32_t attrs) {
    return SetFileAttributes(path, attrs, nullptr);
}

bool SetFileAttributes(std::string_view path, std::uint32_t attrs, const FileVersion* seen) {
    struct stat st;
    std::string resolved;
    if (!StatResolved(path, resolved, st))
        return false;
    if (seen && !seen->SameContent(detail::VersionOf(st)))
        return detail::Fail(ERROR_SHARING_VIOLATION); // written again: left as it is
    const bool dir = S_ISDIR(st.st_mode);
    const mode_t original = st.st_mode & 07777;

    // Extended attributes of a file without write permission can only be
    // changed by root; its owner lends it the write bit for the change.
    const bool lendWrite =
        ::geteuid() != 0 && st.st_uid == ::geteuid() && (original & S_IWUSR) == 0;
    if (lendWrite && ::chmod(resolved.c_str(), original | S_IWUSR) != 0)
        return detail::FailErrno(errno);
    auto fail = [&](int err) {
        if (lendWrite)
            ::chmod(resolved.c_str(), original);
        return detail::FailErrno(err);
    };
    // For a step that has set the last error itself.
    auto failAsSet = [&] {
        const std::uint32_t code = GetLastError();
        if (lendWrite)
            ::chmod(resolved.c_str(), original);
        return detail::Fail(code);
    };

    const std::uint32_t dos = attrs & kDosBits;
    std::string current;
    const bool hasDos = detail::GetXattr(resolved, kDosAttrib, current) >= 0;
    if (dos != 0) {
        if ((!hasDos || current != FormatDosAttrib(dos)) &&
            detail::SetXattr(resolved, kDosAttrib, FormatDosAttrib(dos)) != 0)
            return fail(errno);
    } else if (hasDos && detail::RemoveXattr(resolved, kDosAttrib) != 0 && !Unremarkable(errno)) {
        return fail(errno);
    }

    if (!dir) {
        if (attrs & faArchive) {
            if (detail::RemoveXattr(resolved, kCleanStamp) != 0) {
                const int err = errno;
                if (NotSupported(err)) {
                    if (!detail::ForgetStamp(resolved))
                        return failAsSet();
                } else if (err != ENODATA) {
                    return fail(err);
                }
            }
        } else if (!StoreCleanStamp(resolved, st, seen)) {
            return failAsSet();
        }
    }

    mode_t wanted = original;
    if (attrs & faReadOnly)
        wanted &= ~static_cast<mode_t>(0222);
    else if ((original & 0222) == 0)
        wanted |= S_IWUSR;
    const mode_t now = lendWrite ? (original | S_IWUSR) : original;
    if (wanted != now && ::chmod(resolved.c_str(), wanted) != 0)
        return fail(errno);
    return true;
}

namespace detail {

bool StampFits(std::string_view value, const struct stat& st) {
    const auto stamp = ParseCleanStamp(value);
    return stamp && *stamp == StampFrom(st);
}

} // namespace detail

} // namespace platform
