#include "zip.h"

#include <libdeflate.h>
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
// An entry whose compressed and whole sizes are both at most this is inflated
// in memory at once; a larger one a piece at a time.
constexpr std::uint32_t kWholeEntry = 8u << 20;

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

// `size` bytes at `offset` of the source.
std::string ReadString(const ByteSource& source, std::uint64_t offset, std::size_t size) {
    std::string out(size, '\0');
    source.ReadAt(offset, out.data(), size);
    return out;
}

// Hands the entry's compressed bytes to fn(data, size) in pieces of at most
// 64 KiB, read from its source as they are needed.
template <class Fn> void ForEachDataPiece(const ZipEntry& e, Fn fn) {
    constexpr std::size_t kPiece = 64 * 1024;
    if (!e.Source) {
        auto data = reinterpret_cast<const unsigned char*>(e.Data.data());
        for (std::size_t at = 0; at < e.Data.size(); at += kPiece)
            fn(data + at, std::min(kPiece, e.Data.size() - at));
        return;
    }
    unsigned char buffer[kPiece];
    for (std::uint64_t done = 0; done < e.CompressedSize;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, e.CompressedSize - done));
        e.Source->ReadAt(e.DataOffset + done, buffer, n);
        fn(static_cast<const unsigned char*>(buffer), n);
        done += n;
    }
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

void MemorySource::ReadAt(std::uint64_t offset, void* out, std::size_t size) const {
    if (offset > bytes_.size() || size > bytes_.size() - offset)
        throw Damaged("it ends early (truncated?)");
    std::copy_n(bytes_.data() + offset, size, static_cast<char*>(out));
}

ZipArchive ParseZip(const ByteSource& source, std::size_t maxEntries) {
    const std::uint64_t size = source.Size();
    if (size < kEndSize)
        throw Damaged("too short to be a zip file");
    // The end record closes the file, followed only by its comment (at most
    // 65535 bytes); a candidate whose comment length doesn't reach the end
    // exactly is a chance match inside the comment. The tail is read once.
    const std::uint64_t tailStart = size > kEndSize + 0xFFFF ? size - kEndSize - 0xFFFF : 0;
    const std::string tail = ReadString(source, tailStart, size - tailStart);
    std::size_t endInTail = std::string_view::npos;
    for (std::size_t at = tail.size() - kEndSize + 1; at-- > 0;) {
        if (Get32(tail, at) == kEndSig && at + kEndSize + Get16(tail, at + 20) == tail.size()) {
            endInTail = at;
            break;
        }
    }
    if (endInTail == std::string_view::npos)
        throw Damaged("no end of central directory (truncated?)");
    const std::uint64_t end = tailStart + endInTail;
    const std::string_view endRecord = std::string_view(tail).substr(endInTail);

    std::uint16_t disk = Get16(endRecord, 4);
    std::uint16_t cdDisk = Get16(endRecord, 6);
    std::uint16_t countHere = Get16(endRecord, 8);
    std::uint16_t count = Get16(endRecord, 10);
    std::uint32_t cdSize = Get32(endRecord, 12);
    std::uint32_t cdOffset = Get32(endRecord, 16);
    bool zip64Locator = false;
    if (end >= kZip64LocatorSize) {
        char locator[4];
        source.ReadAt(end - kZip64LocatorSize, locator, sizeof locator);
        zip64Locator = Get32(std::string_view(locator, sizeof locator), 0) == kZip64LocatorSig;
    }
    if (zip64Locator || count == 0xFFFF || countHere == 0xFFFF || cdSize == 0xFFFFFFFF ||
        cdOffset == 0xFFFFFFFF)
        throw Unsupported("it needs Zip64");
    if (disk != 0 || cdDisk != 0 || countHere != count)
        throw Unsupported("it spans several disks");
    if (std::uint64_t{cdOffset} + cdSize != end)
        throw Damaged("the central directory is not where the end record says");
    if (count > maxEntries)
        throw ZipError(ZipError::Refused, "it holds " + std::to_string(count) +
                                              " entries, more than " + std::to_string(maxEntries));

    ZipArchive archive;
    archive.Comment = std::string(endRecord.substr(kEndSize));
    archive.Entries.reserve(count);
    std::uint64_t at = cdOffset;
    for (unsigned i = 0; i < count; ++i) {
        if (at + kCentralSize > end)
            throw Damaged("the central directory is broken");
        const std::string header = ReadString(source, at, kCentralSize);
        if (Get32(header, 0) != kCentralSig)
            throw Damaged("the central directory is broken");
        std::size_t nameLen = Get16(header, 28);
        std::size_t extraLen = Get16(header, 30);
        std::size_t commentLen = Get16(header, 32);
        if (at + kCentralSize + nameLen + extraLen + commentLen > end)
            throw Damaged("the central directory is broken");
        ZipEntry e;
        e.MadeBy = Get16(header, 4);
        e.VersionNeeded = Get16(header, 6);
        e.Flags = Get16(header, 8);
        e.Method = Get16(header, 10);
        e.DosTime = Get16(header, 12);
        e.DosDate = Get16(header, 14);
        e.Crc = Get32(header, 16);
        e.CompressedSize = Get32(header, 20);
        e.Size = Get32(header, 24);
        std::uint16_t diskStart = Get16(header, 34);
        e.InternalAttrs = Get16(header, 36);
        e.ExternalAttrs = Get32(header, 38);
        std::uint32_t local = Get32(header, 42);
        const std::string fields =
            ReadString(source, at + kCentralSize, nameLen + extraLen + commentLen);
        e.Name = fields.substr(0, nameLen);
        e.CentralExtra = fields.substr(nameLen, extraLen);
        e.Comment = fields.substr(nameLen + extraLen);
        at += kCentralSize + fields.size();

        if (e.Size == 0xFFFFFFFF || e.CompressedSize == 0xFFFFFFFF || local == 0xFFFFFFFF ||
            diskStart == 0xFFFF)
            throw Unsupported("entry " + Quoted(e.Name) + " needs Zip64");
        if (diskStart != 0)
            throw Unsupported("it spans several disks");
        if (std::uint64_t{local} + kLocalSize > cdOffset)
            throw Damaged("entry " + Quoted(e.Name) + " has no local header");
        const std::string localHeader = ReadString(source, local, kLocalSize);
        if (Get32(localHeader, 0) != kLocalSig)
            throw Damaged("entry " + Quoted(e.Name) + " has no local header");
        std::size_t localNameLen = Get16(localHeader, 26);
        std::size_t localExtraLen = Get16(localHeader, 28);
        std::uint64_t data = std::uint64_t{local} + kLocalSize + localNameLen + localExtraLen;
        if (data + e.CompressedSize > cdOffset)
            throw Damaged("entry " + Quoted(e.Name) + " runs past the end of the data");
        const std::string localFields =
            ReadString(source, local + kLocalSize, localNameLen + localExtraLen);
        if (localFields.substr(0, localNameLen) != e.Name || Get16(localHeader, 8) != e.Method)
            throw Damaged("entry " + Quoted(e.Name) + ": local and central headers disagree");
        e.LocalExtra = localFields.substr(localNameLen);
        if (!ExtraIsWellFormed(e.CentralExtra) || !ExtraIsWellFormed(e.LocalExtra))
            throw Damaged("entry " + Quoted(e.Name) + " has a broken extra field");
        e.Source = &source;
        e.DataOffset = data;
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
    std::uint32_t crc = 0;
    std::uint64_t total = 0;
    auto emit = [&](const unsigned char* p, std::size_t n) {
        total += n;
        if (total > e.Size)
            throw Damaged("entry " + Quoted(e.Name) + " is longer than recorded");
        crc = libdeflate_crc32(crc, p, n);
        sink(p, n);
    };

    if (e.Method == kStored) {
        if (e.CompressedSize != e.Size)
            throw Damaged("entry " + Quoted(e.Name) + " has inconsistent sizes");
        ForEachDataPiece(e, emit);
    } else if (e.CompressedSize == 0 && e.Size == 0) {
        // some writers deflate nothing to nothing
    } else if (e.CompressedSize <= kWholeEntry && e.Size <= kWholeEntry) {
        // A save file: inflated whole by libdeflate, in about two thirds of
        // zlib's time, in a bounded buffer. Data after the end of the stream
        // is ignored, as zlib ignores it.
        std::string packed;
        packed.reserve(e.CompressedSize);
        ForEachDataPiece(e, [&](const unsigned char* piece, std::size_t size) {
            packed.append(reinterpret_cast<const char*>(piece), size);
        });
        struct Decompressor {
            libdeflate_decompressor* d = libdeflate_alloc_decompressor();
            ~Decompressor() { libdeflate_free_decompressor(d); }
        };
        static const Decompressor decompressor;
        if (!decompressor.d)
            throw std::bad_alloc();
        std::string out(e.Size, '\0');
        std::size_t used = 0, made = 0;
        switch (libdeflate_deflate_decompress_ex(decompressor.d, packed.data(), packed.size(),
                                                 out.data(), out.size(), &used, &made)) {
        case LIBDEFLATE_SUCCESS:
            break;
        case LIBDEFLATE_INSUFFICIENT_SPACE:
            throw Damaged("entry " + Quoted(e.Name) + " is longer than recorded");
        default:
            throw Damaged("entry " + Quoted(e.Name) + " has corrupt compressed data");
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(out.data());
        constexpr std::size_t kPiece = 64 * 1024;
        for (std::size_t at = 0; at < made; at += kPiece)
            emit(bytes + at, std::min(kPiece, made - at));
    } else {
        z_stream zs{};
        if (inflateInit2(&zs, -MAX_WBITS) != Z_OK)
            throw std::bad_alloc();
        struct End {
            z_stream* zs;
            ~End() { inflateEnd(zs); }
        } end{&zs};
        bool ended = false;
        unsigned char buf[64 * 1024];
        ForEachDataPiece(e, [&](const unsigned char* piece, std::size_t size) {
            if (ended)
                return; // data after the end of the stream is ignored, as zlib ignores it
            zs.next_in = const_cast<unsigned char*>(piece);
            zs.avail_in = static_cast<uInt>(size);
            do {
                zs.next_out = buf;
                zs.avail_out = sizeof buf;
                int rc = inflate(&zs, Z_NO_FLUSH);
                if (sizeof buf - zs.avail_out > 0)
                    emit(buf, sizeof buf - zs.avail_out);
                if (rc == Z_STREAM_END) {
                    ended = true;
                    return;
                }
                if (rc == Z_MEM_ERROR)
                    throw std::bad_alloc();
                // Z_BUF_ERROR: nothing more to do with this piece.
                if (rc == Z_BUF_ERROR)
                    return;
                if (rc != Z_OK)
                    throw Damaged("entry " + Quoted(e.Name) + " has corrupt compressed data");
            } while (zs.avail_in > 0 || zs.avail_out == 0);
        });
        if (!ended)
            throw Damaged("entry " + Quoted(e.Name) + " has corrupt compressed data");
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
    e.Crc = libdeflate_crc32(0, content.data(), content.size());

    // libdeflate: zlib's level 6 (its default) in about half the time, and
    // the same plain deflate stream any zip reader takes.
    struct Compressor {
        libdeflate_compressor* c = libdeflate_alloc_compressor(6);
        ~Compressor() { libdeflate_free_compressor(c); }
    };
    static const Compressor compressor;
    if (!compressor.c)
        throw std::bad_alloc();
    storage.resize(libdeflate_deflate_compress_bound(compressor.c, content.size()));
    const std::size_t packed = libdeflate_deflate_compress(
        compressor.c, content.data(), content.size(), storage.data(), storage.size());
    if (packed == 0)
        throw std::bad_alloc(); // the bound's room always suffices
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

void WriteZip(const ZipArchive& archive, const Output& out) {
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
    auto PutCommonFields = [&versionNeeded](std::string& to, const ZipEntry& e) {
        Put16(to, versionNeeded(e));
        Put16(to, e.Flags & ~kFlagDescriptor);
        Put16(to, e.Method);
        Put16(to, e.DosTime);
        Put16(to, e.DosDate);
        Put32(to, e.Crc);
        Put32(to, e.CompressedSize);
        Put32(to, e.Size);
        Put16(to, static_cast<std::uint16_t>(e.Name.size()));
    };

    // The layout first, so that an archive too large for plain zip is
    // refused before anything is written.
    std::vector<std::uint32_t> offsets;
    std::vector<std::string> localExtras, centralExtras;
    std::uint64_t size = 0;
    for (const ZipEntry& e : archive.Entries) {
        if (size > 0xFFFFFFFF - kLocalSize)
            throw Unsupported("it would need Zip64 (larger than 4 GiB)");
        offsets.push_back(static_cast<std::uint32_t>(size));
        localExtras.push_back(WithoutZip64Field(e.LocalExtra));
        centralExtras.push_back(WithoutZip64Field(e.CentralExtra));
        size += kLocalSize + e.Name.size() + localExtras.back().size() + e.CompressedSize;
    }
    const std::uint64_t cdOffset = size;
    for (std::size_t i = 0; i < archive.Entries.size(); ++i) {
        const ZipEntry& e = archive.Entries[i];
        size += kCentralSize + e.Name.size() + centralExtras[i].size() + e.Comment.size();
    }
    if (size > 0xFFFFFFFF)
        throw Unsupported("it would need Zip64 (larger than 4 GiB)");

    std::string header;
    for (std::size_t i = 0; i < archive.Entries.size(); ++i) {
        const ZipEntry& e = archive.Entries[i];
        header.clear();
        Put32(header, kLocalSig);
        PutCommonFields(header, e);
        Put16(header, static_cast<std::uint16_t>(localExtras[i].size()));
        header += e.Name;
        header += localExtras[i];
        out(header.data(), header.size());
        ForEachDataPiece(e, [&](const unsigned char* p, std::size_t n) { out(p, n); });
    }
    header.clear();
    for (std::size_t i = 0; i < archive.Entries.size(); ++i) {
        const ZipEntry& e = archive.Entries[i];
        Put32(header, kCentralSig);
        Put16(header, e.MadeBy);
        PutCommonFields(header, e);
        Put16(header, static_cast<std::uint16_t>(centralExtras[i].size()));
        Put16(header, static_cast<std::uint16_t>(e.Comment.size()));
        Put16(header, 0); // disk
        Put16(header, e.InternalAttrs);
        Put32(header, e.ExternalAttrs);
        Put32(header, offsets[i]);
        header += e.Name;
        header += centralExtras[i];
        header += e.Comment;
    }
    auto count = static_cast<std::uint16_t>(archive.Entries.size());
    Put32(header, kEndSig);
    Put16(header, 0);
    Put16(header, 0);
    Put16(header, count);
    Put16(header, count);
    Put32(header, static_cast<std::uint32_t>(size - cdOffset));
    Put32(header, static_cast<std::uint32_t>(cdOffset));
    Put16(header, static_cast<std::uint16_t>(archive.Comment.size()));
    header += archive.Comment;
    out(header.data(), header.size());
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
