#include "zip.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <new>

namespace archiver {
namespace {

constexpr std::uint32_t kLocalSig = 0x04034b50;
constexpr std::uint32_t kCentralSig = 0x02014b50;
constexpr std::uint32_t kEndSig = 0x06054b50;
constexpr std::uint32_t kZip64LocatorSig = 0x07064b50;
constexpr std::size_t kLocalSize = 30;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagDescriptor = 0x0008;
constexpr std::uint16_t kFlagPatchData = 0x0020;
constexpr std::uint16_t kFlagStrongEncryption = 0x0040;
constexpr std::uint16_t kFlagUtf8 = 0x0800;
constexpr std::uint16_t kFlagMaskedHeaders = 0x2000;
constexpr std::uint16_t kStored = 0;
constexpr std::uint16_t kDeflated = 8;
constexpr std::uint16_t kExtraZip64 = 0x0001;
constexpr std::uint16_t kExtraNtfs = 0x000A;
constexpr std::uint16_t kExtraTimestamp = 0x5455;
constexpr std::uint16_t kMadeByUnix20 = (3 << 8) | 20;

std::uint16_t Get16(std::string_view b, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                      static_cast<unsigned char>(b[at + 1]) << 8);
}
std::uint32_t Get32(std::string_view b, std::size_t at) {
    return Get16(b, at) | static_cast<std::uint32_t>(Get16(b, at + 2)) << 16;
}
std::uint64_t Get64(std::string_view b, std::size_t at) {
    return Get32(b, at) | static_cast<std::uint64_t>(Get32(b, at + 4)) << 32;
}
void Put16(std::string& out, std::uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}
void Put32(std::string& out, std::uint32_t v) {
    Put16(out, static_cast<std::uint16_t>(v & 0xFFFF));
    Put16(out, static_cast<std::uint16_t>(v >> 16));
}

ZipError Damaged(const std::string& what) {
    return ZipError(ZipError::Damaged, what);
}
ZipError Unsupported(const std::string& what) {
    return ZipError(ZipError::Unsupported, what);
}
std::string Quoted(std::string_view name) {
    return "\"" + std::string(name) + "\"";
}

// Calls fn(tag, body) for each well-formed field of an extra block; stops at
// the first field that runs past the block.
template <class Fn> void ForEachExtra(std::string_view extra, Fn fn) {
    std::size_t at = 0;
    while (at + 4 <= extra.size()) {
        std::uint16_t tag = Get16(extra, at);
        std::size_t size = Get16(extra, at + 2);
        if (at + 4 + size > extra.size())
            return;
        fn(tag, extra.substr(at + 4, size));
        at += 4 + size;
    }
}

// Each field fits in the block; a tail of under 4 bytes (alignment padding some
// tools add) is allowed, as other readers allow it.
bool ExtraIsWellFormed(std::string_view extra) {
    std::size_t at = 0;
    while (at + 4 <= extra.size())
        at += 4 + Get16(extra, at + 2);
    return at <= extra.size();
}

// Kept entries are rewritten with their real sizes in the headers, so a Zip64
// field another tool added (with nothing in it we need) would only disagree.
std::string WithoutZip64Field(std::string_view extra) {
    std::string out;
    std::size_t used = 0;
    ForEachExtra(extra, [&](std::uint16_t tag, std::string_view body) {
        if (tag != kExtraZip64)
            out.append(extra.substr(used, 4 + body.size()));
        used += 4 + body.size();
    });
    out.append(extra.substr(used)); // a malformed tail is kept as it was
    return out;
}

bool IsNonAsciiUtf8(std::string_view s) {
    bool nonAscii = false;
    for (std::size_t i = 0; i < s.size();) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        nonAscii = true;
        std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        if (len == 0 || c > 0xF4 || i + len > s.size())
            return false;
        std::uint32_t cp = c & (0x7F >> len);
        for (std::size_t k = 1; k < len; ++k) {
            auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (cc & 0x3F);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return nonAscii;
}

void DosDateTime(time_t t, std::uint16_t& date, std::uint16_t& time) {
    struct tm tm {};
    if (!localtime_r(&t, &tm) || tm.tm_year < 80) { // before 1980: the earliest DOS time
        date = (1 << 5) | 1;
        time = 0;
        return;
    }
    if (tm.tm_year > 207) { // after 2107: the latest
        date = (127 << 9) | (12 << 5) | 31;
        time = (23 << 11) | (59 << 5) | 29;
        return;
    }
    date = static_cast<std::uint16_t>((tm.tm_year - 80) << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday);
    time =
        static_cast<std::uint16_t>(tm.tm_hour << 11 | tm.tm_min << 5 | std::min(tm.tm_sec, 59) / 2);
}

} // namespace

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

ZipArchive ParseZip(std::string_view bytes) {
    if (bytes.size() < kEndSize)
        throw Damaged("too short to be a zip file");
    // The end record closes the file, followed only by its comment (at most
    // 65535 bytes); a candidate whose comment length doesn't reach the end
    // exactly is a chance match inside the comment.
    std::size_t end = std::string_view::npos;
    std::size_t lowest = bytes.size() > kEndSize + 0xFFFF ? bytes.size() - kEndSize - 0xFFFF : 0;
    for (std::size_t at = bytes.size() - kEndSize + 1; at-- > lowest;) {
        if (Get32(bytes, at) == kEndSig && at + kEndSize + Get16(bytes, at + 20) == bytes.size()) {
            end = at;
            break;
        }
    }
    if (end == std::string_view::npos)
        throw Damaged("no end of central directory (truncated?)");

    std::uint16_t disk = Get16(bytes, end + 4);
    std::uint16_t cdDisk = Get16(bytes, end + 6);
    std::uint16_t countHere = Get16(bytes, end + 8);
    std::uint16_t count = Get16(bytes, end + 10);
    std::uint32_t cdSize = Get32(bytes, end + 12);
    std::uint32_t cdOffset = Get32(bytes, end + 16);
    if ((end >= kZip64LocatorSize && Get32(bytes, end - kZip64LocatorSize) == kZip64LocatorSig) ||
        count == 0xFFFF || countHere == 0xFFFF || cdSize == 0xFFFFFFFF || cdOffset == 0xFFFFFFFF)
        throw Unsupported("it needs Zip64");
    if (disk != 0 || cdDisk != 0 || countHere != count)
        throw Unsupported("it spans several disks");
    if (std::uint64_t{cdOffset} + cdSize != end)
        throw Damaged("the central directory is not where the end record says");

    ZipArchive archive;
    archive.Comment = std::string(bytes.substr(end + kEndSize));
    archive.Entries.reserve(count);
    std::size_t at = cdOffset;
    for (unsigned i = 0; i < count; ++i) {
        if (at + kCentralSize > end || Get32(bytes, at) != kCentralSig)
            throw Damaged("the central directory is broken");
        std::size_t nameLen = Get16(bytes, at + 28);
        std::size_t extraLen = Get16(bytes, at + 30);
        std::size_t commentLen = Get16(bytes, at + 32);
        if (at + kCentralSize + nameLen + extraLen + commentLen > end)
            throw Damaged("the central directory is broken");
        ZipEntry e;
        e.MadeBy = Get16(bytes, at + 4);
        e.VersionNeeded = Get16(bytes, at + 6);
        e.Flags = Get16(bytes, at + 8);
        e.Method = Get16(bytes, at + 10);
        e.DosTime = Get16(bytes, at + 12);
        e.DosDate = Get16(bytes, at + 14);
        e.Crc = Get32(bytes, at + 16);
        e.CompressedSize = Get32(bytes, at + 20);
        e.Size = Get32(bytes, at + 24);
        std::uint16_t diskStart = Get16(bytes, at + 34);
        e.InternalAttrs = Get16(bytes, at + 36);
        e.ExternalAttrs = Get32(bytes, at + 38);
        std::uint32_t local = Get32(bytes, at + 42);
        e.Name = std::string(bytes.substr(at + kCentralSize, nameLen));
        e.CentralExtra = std::string(bytes.substr(at + kCentralSize + nameLen, extraLen));
        e.Comment = std::string(bytes.substr(at + kCentralSize + nameLen + extraLen, commentLen));
        at += kCentralSize + nameLen + extraLen + commentLen;

        if (e.Size == 0xFFFFFFFF || e.CompressedSize == 0xFFFFFFFF || local == 0xFFFFFFFF ||
            diskStart == 0xFFFF)
            throw Unsupported("entry " + Quoted(e.Name) + " needs Zip64");
        if (diskStart != 0)
            throw Unsupported("it spans several disks");
        if (std::uint64_t{local} + kLocalSize > cdOffset || Get32(bytes, local) != kLocalSig)
            throw Damaged("entry " + Quoted(e.Name) + " has no local header");
        std::size_t localNameLen = Get16(bytes, local + 26);
        std::size_t localExtraLen = Get16(bytes, local + 28);
        std::uint64_t data = std::uint64_t{local} + kLocalSize + localNameLen + localExtraLen;
        if (data + e.CompressedSize > cdOffset)
            throw Damaged("entry " + Quoted(e.Name) + " runs past the end of the data");
        if (bytes.substr(local + kLocalSize, localNameLen) != e.Name ||
            Get16(bytes, local + 8) != e.Method)
            throw Damaged("entry " + Quoted(e.Name) + ": local and central headers disagree");
        e.LocalExtra = std::string(bytes.substr(local + kLocalSize + localNameLen, localExtraLen));
        if (!ExtraIsWellFormed(e.CentralExtra) || !ExtraIsWellFormed(e.LocalExtra))
            throw Damaged("entry " + Quoted(e.Name) + " has a broken extra field");
        e.Data = bytes.substr(data, e.CompressedSize);
        archive.Entries.push_back(std::move(e));
    }
    if (at != end)
        throw Damaged("the central directory has a wrong size");
    return archive;
}

void CheckDecodable(const ZipEntry& e) {
    if (e.Flags & (kFlagEncrypted | kFlagStrongEncryption | kFlagMaskedHeaders))
        throw Unsupported("entry " + Quoted(e.Name) + " is encrypted");
    if (e.Flags & kFlagPatchData)
        throw Unsupported("entry " + Quoted(e.Name) + " holds patch data");
    if (e.Method != kStored && e.Method != kDeflated)
        throw Unsupported("entry " + Quoted(e.Name) + " uses compression method " +
                          std::to_string(e.Method));
}

void ReadEntry(const ZipEntry& e, const Sink& sink) {
    CheckDecodable(e);
    uLong crc = crc32_z(0, nullptr, 0);
    std::uint64_t total = 0;
    auto emit = [&](const unsigned char* p, std::size_t n) {
        total += n;
        if (total > e.Size)
            throw Damaged("entry " + Quoted(e.Name) + " is longer than recorded");
        crc = crc32_z(crc, p, n);
        sink(p, n);
    };
    auto data = reinterpret_cast<const unsigned char*>(e.Data.data());

    if (e.Method == kStored) {
        if (e.CompressedSize != e.Size)
            throw Damaged("entry " + Quoted(e.Name) + " has inconsistent sizes");
        emit(data, e.Data.size());
    } else if (!(e.CompressedSize == 0 && e.Size == 0)) { // some writers deflate nothing to nothing
        z_stream zs{};
        if (inflateInit2(&zs, -MAX_WBITS) != Z_OK)
            throw std::bad_alloc();
        struct End {
            z_stream* zs;
            ~End() { inflateEnd(zs); }
        } end{&zs};
        zs.next_in = const_cast<unsigned char*>(data);
        zs.avail_in = static_cast<uInt>(e.Data.size());
        unsigned char buf[64 * 1024];
        for (;;) {
            zs.next_out = buf;
            zs.avail_out = sizeof buf;
            int rc = inflate(&zs, Z_NO_FLUSH);
            if (sizeof buf - zs.avail_out > 0)
                emit(buf, sizeof buf - zs.avail_out);
            if (rc == Z_STREAM_END)
                break;
            if (rc == Z_MEM_ERROR)
                throw std::bad_alloc();
            // With a fresh output buffer every round, Z_BUF_ERROR means the
            // input ran out before the end of the stream.
            if (rc != Z_OK)
                throw Damaged("entry " + Quoted(e.Name) + " has corrupt compressed data");
        }
    }
    if (total != e.Size)
        throw Damaged("entry " + Quoted(e.Name) + " is shorter than recorded");
    if (crc != e.Crc)
        throw Damaged("entry " + Quoted(e.Name) + " fails its CRC check");
}

ZipEntry MakeEntry(std::string name, std::string_view content, const struct stat& st,
                   std::string& storage) {
    ZipEntry e;
    e.Name = std::move(name);
    e.MadeBy = kMadeByUnix20;
    e.Flags = IsNonAsciiUtf8(e.Name) ? kFlagUtf8 : 0;
    e.Size = static_cast<std::uint32_t>(content.size());
    auto in = reinterpret_cast<const unsigned char*>(content.data());
    e.Crc = static_cast<std::uint32_t>(crc32_z(crc32_z(0, nullptr, 0), in, content.size()));

    z_stream zs{};
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK)
        throw std::bad_alloc();
    storage.resize(deflateBound(&zs, content.size()));
    zs.next_in = const_cast<unsigned char*>(in);
    zs.avail_in = static_cast<uInt>(content.size()); // at most 4 GiB - 1, checked by the caller
    zs.next_out = reinterpret_cast<unsigned char*>(storage.data());
    zs.avail_out = static_cast<uInt>(std::min<std::size_t>(storage.size(), UINT_MAX));
    int rc = deflate(&zs, Z_FINISH);
    std::size_t packed = zs.total_out;
    deflateEnd(&zs);
    if (rc != Z_STREAM_END)
        throw std::bad_alloc(); // deflateBound room always suffices
    storage.resize(packed);

    // Data that doesn't shrink is stored as it is, as every zip tool does.
    if (packed < content.size()) {
        e.Method = kDeflated;
        e.Data = storage;
    } else {
        e.Method = kStored;
        e.Data = content;
    }
    e.CompressedSize = static_cast<std::uint32_t>(e.Data.size());
    DosDateTime(st.st_mtim.tv_sec, e.DosDate, e.DosTime);
    // The DOS time has 2-second steps and no zone; the extended timestamp
    // keeps the exact second in UTC (signed 32 bits, so up to 2038).
    if (st.st_mtim.tv_sec >= 0 && st.st_mtim.tv_sec <= INT32_MAX) {
        std::string ut;
        Put16(ut, kExtraTimestamp);
        Put16(ut, 5);
        ut += '\x01'; // modification time only
        Put32(ut, static_cast<std::uint32_t>(st.st_mtim.tv_sec));
        e.LocalExtra = e.CentralExtra = ut;
    }
    // Unix mode in the high word (a regular file), DOS read-only in the low one.
    e.ExternalAttrs = static_cast<std::uint32_t>(S_IFREG | (st.st_mode & 0777)) << 16 |
                      ((st.st_mode & 0222) ? 0 : 0x01);
    return e;
}

std::string BuildZip(const ZipArchive& archive) {
    if (archive.Entries.size() >= 0xFFFF)
        throw Unsupported("it would need Zip64 for " + std::to_string(archive.Entries.size()) +
                          " entries");
    // Written without Zip64, data descriptors or encryption, an entry needs
    // only what its method needs, whatever the archive it came from said.
    auto versionNeeded = [](const ZipEntry& e) -> std::uint16_t {
        return e.Method == kDeflated ? 20 : 10;
    };
    // The run of fields the local and the central header share, from the
    // version needed to the name's length. Sizes and CRC are known, so the
    // headers carry them and no data descriptor follows.
    auto PutCommonFields = [&versionNeeded](std::string& out, const ZipEntry& e) {
        Put16(out, versionNeeded(e));
        Put16(out, e.Flags & ~kFlagDescriptor);
        Put16(out, e.Method);
        Put16(out, e.DosTime);
        Put16(out, e.DosDate);
        Put32(out, e.Crc);
        Put32(out, e.CompressedSize);
        Put32(out, e.Size);
        Put16(out, static_cast<std::uint16_t>(e.Name.size()));
    };
    std::string out;
    std::vector<std::uint32_t> offsets;
    std::vector<std::string> localExtras;
    for (const ZipEntry& e : archive.Entries) {
        if (out.size() > 0xFFFFFFFF - kLocalSize)
            throw Unsupported("it would need Zip64 (larger than 4 GiB)");
        offsets.push_back(static_cast<std::uint32_t>(out.size()));
        localExtras.push_back(WithoutZip64Field(e.LocalExtra));
        Put32(out, kLocalSig);
        PutCommonFields(out, e);
        Put16(out, static_cast<std::uint16_t>(localExtras.back().size()));
        out += e.Name;
        out += localExtras.back();
        out += e.Data;
    }
    std::size_t cdOffset = out.size();
    for (std::size_t i = 0; i < archive.Entries.size(); ++i) {
        const ZipEntry& e = archive.Entries[i];
        std::string extra = WithoutZip64Field(e.CentralExtra);
        Put32(out, kCentralSig);
        Put16(out, e.MadeBy);
        PutCommonFields(out, e);
        Put16(out, static_cast<std::uint16_t>(extra.size()));
        Put16(out, static_cast<std::uint16_t>(e.Comment.size()));
        Put16(out, 0); // disk
        Put16(out, e.InternalAttrs);
        Put32(out, e.ExternalAttrs);
        Put32(out, offsets[i]);
        out += e.Name;
        out += extra;
        out += e.Comment;
    }
    if (out.size() > 0xFFFFFFFF)
        throw Unsupported("it would need Zip64 (larger than 4 GiB)");
    auto count = static_cast<std::uint16_t>(archive.Entries.size());
    Put32(out, kEndSig);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, count);
    Put16(out, count);
    Put32(out, static_cast<std::uint32_t>(out.size() - 12 - cdOffset));
    Put32(out, static_cast<std::uint32_t>(cdOffset));
    Put16(out, static_cast<std::uint16_t>(archive.Comment.size()));
    out += archive.Comment;
    return out;
}

std::optional<timespec> EntryMtime(const ZipEntry& e) {
    std::optional<timespec> ntfs, stamp;
    for (std::string_view extra :
         {std::string_view(e.CentralExtra), std::string_view(e.LocalExtra)})
        ForEachExtra(extra, [&](std::uint16_t tag, std::string_view body) {
            if (tag == kExtraNtfs && !ntfs) {
                // 4 reserved bytes, then attributes; tag 1 holds the FILETIMEs.
                for (std::size_t at = 4; at + 4 <= body.size();) {
                    std::size_t size = Get16(body, at + 2);
                    if (Get16(body, at) == 1 && size >= 24 && at + 4 + size <= body.size()) {
                        // 100 ns steps since 1601-01-01 UTC.
                        std::int64_t ticks =
                            static_cast<std::int64_t>(Get64(body, at + 4)) - 116444736000000000;
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
    if (ntfs)
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

const char* NameProblem(std::string_view name) {
    if (name.empty())
        return "has an empty name";
    if (name.front() == '/' || name.front() == '\\')
        return "is an absolute path";
    if (name.find_first_of("/\\") != std::string_view::npos)
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
