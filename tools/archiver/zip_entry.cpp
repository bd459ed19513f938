// What an entry says of the file it holds: its time, whether its name is a
// bare file name, and whether it is a plain file.

#include "zip.h"
#include "zip_format.h"

#include <algorithm>
#include <climits>

namespace archiver {

using namespace zipformat;

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

std::optional<timespec> EntryMtime(const ZipEntry& e) {
    std::optional<timespec> ntfs, stamp;
    bool ntfsOutOfRange = false;
    for (std::string_view extra :
         {std::string_view(e.CentralExtra), std::string_view(e.LocalExtra)})
        ForEachExtra(extra, [&](std::uint16_t tag, std::string_view body) {
            if (tag == kExtraNtfs && !ntfs && !ntfsOutOfRange) {
                // 4 reserved bytes, then attributes; tag 1 holds the FILETIMEs.
                for (std::size_t at = 4; at + 4 <= body.size();) {
                    std::size_t size = Get16(body, at + 2);
                    if (Get16(body, at) == 1 && size >= 24 && at + 4 + size <= body.size()) {
                        // 100 ns steps since 1601-01-01 UTC. Windows shows no
                        // time from 2^63 on; such a file keeps the time it
                        // gets when written.
                        const std::uint64_t filetime = Get64(body, at + 4);
                        if (filetime > static_cast<std::uint64_t>(INT64_MAX)) {
                            ntfsOutOfRange = true;
                            break;
                        }
                        std::int64_t ticks =
                            static_cast<std::int64_t>(filetime) - 116444736000000000;
                        std::int64_t sec = ticks / 10000000, rest = ticks % 10000000;
                        if (rest < 0) {
                            --sec;
                            rest += 10000000;
                        }
                        ntfs = timespec{static_cast<time_t>(sec), static_cast<long>(rest * 100)};
                        break;
                    }
                    at += 4 + size;
                }
            } else if (tag == kExtraTimestamp && !stamp && body.size() >= 5 && (body[0] & 1)) {
                stamp = timespec{static_cast<time_t>(static_cast<std::int32_t>(Get32(body, 1))), 0};
            }
        });
    if (ntfs || ntfsOutOfRange)
        return ntfs;
    if (stamp)
        return stamp;
    struct tm tm {};
    tm.tm_year = (e.DosDate >> 9) + 80;
    tm.tm_mon = ((e.DosDate >> 5) & 0x0F) - 1;
    tm.tm_mday = e.DosDate & 0x1F;
    tm.tm_hour = e.DosTime >> 11;
    tm.tm_min = (e.DosTime >> 5) & 0x3F;
    tm.tm_sec = (e.DosTime & 0x1F) * 2;
    tm.tm_isdst = -1;
    if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday == 0 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 59)
        return std::nullopt;
    time_t t = mktime(&tm);
    if (t == -1)
        return std::nullopt;
    return timespec{t, 0};
}

bool BackslashSeparates(const ZipEntry& e) {
    const int host = e.MadeBy >> 8;
    return host != 3 && host != 19; // Unix, OS X
}

const char* NameProblem(std::string_view name, bool backslashSeparates) {
    const std::string_view separators = backslashSeparates ? "/\\" : "/";
    if (name.empty())
        return "has an empty name";
    if (separators.find(name.front()) != std::string_view::npos)
        return "is an absolute path";
    if (name.find_first_of(separators) != std::string_view::npos)
        return "has a folder part";
    if (name.find("..") != std::string_view::npos)
        return "contains \"..\"";
    if (name == ".")
        return "is not a file name";
    if (name.find('\0') != std::string_view::npos)
        return "contains a NUL byte";
    if (name.size() > 255)
        return "is longer than a file name may be";
    return nullptr;
}

const char* TypeProblem(const ZipEntry& e) {
    // The high word holds a Unix mode when the writer keeps one; a type other
    // than a regular file is refused whatever system the writer claims.
    switch ((e.ExternalAttrs >> 16) & S_IFMT) {
    case 0:
    case S_IFREG:
        break;
    case S_IFLNK:
        return "is a symbolic link";
    case S_IFDIR:
        return "is a folder";
    default:
        return "is not a regular file";
    }
    if (e.ExternalAttrs & 0x10) // DOS directory attribute
        return "is a folder";
    return nullptr;
}

} // namespace archiver
