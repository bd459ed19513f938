// Writing a zip archive: new entries deflated from files, and whole archives
// laid out first and then written a piece at a time.

#include "zip.h"
#include "zip_format.h"

#include <libdeflate.h>

#include <algorithm>
#include <climits>
#include <new>

namespace archiver {

using namespace zipformat;

namespace {

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

// Deflates `content` into `storage`: zlib's level 6 (its default) by
// libdeflate, in about half the time, and the same plain deflate stream any
// zip reader takes.
void Deflate(std::string_view content, std::string& storage) {
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
}

// Written without Zip64, data descriptors or encryption, an entry needs only
// what its method needs, whatever the archive it came from said.
std::uint16_t VersionNeeded(const ZipEntry& e) {
    return e.Method == kDeflated ? 20 : 10;
}

// The run of fields the local and the central header share, from the version
// needed to the name's length. Sizes and CRC are known, so the headers carry
// them and no data descriptor follows.
void PutCommonFields(std::string& to, const ZipEntry& e) {
    Put16(to, VersionNeeded(e));
    Put16(to, e.Flags & ~kFlagDescriptor);
    Put16(to, e.Method);
    Put16(to, e.DosTime);
    Put16(to, e.DosDate);
    Put32(to, e.Crc);
    Put32(to, e.CompressedSize);
    Put32(to, e.Size);
    Put16(to, static_cast<std::uint16_t>(e.Name.size()));
}

// Where each entry's local header goes, the extra fields written with it, and
// where the central directory starts and the archive ends.
struct Layout {
    std::vector<std::uint32_t> Offsets;
    std::vector<std::string> LocalExtras;
    std::vector<std::string> CentralExtras;
    std::uint64_t CdOffset = 0;
    std::uint64_t Size = 0;
};

// Throws ZipError(Unsupported) when the archive would need Zip64.
Layout PlanLayout(const ZipArchive& archive) {
    if (archive.Entries.size() >= 0xFFFF)
        throw Unsupported("it would need Zip64 for " + std::to_string(archive.Entries.size()) +
                          " entries");
    Layout layout;
    std::uint64_t& size = layout.Size;
    for (const ZipEntry& e : archive.Entries) {
        if (size > 0xFFFFFFFF - kLocalSize)
            throw Unsupported("it would need Zip64 (larger than 4 GiB)");
        layout.Offsets.push_back(static_cast<std::uint32_t>(size));
        layout.LocalExtras.push_back(WithoutZip64Field(e.LocalExtra));
        layout.CentralExtras.push_back(WithoutZip64Field(e.CentralExtra));
        size += kLocalSize + e.Name.size() + layout.LocalExtras.back().size() + e.CompressedSize;
    }
    layout.CdOffset = size;
    for (std::size_t i = 0; i < archive.Entries.size(); ++i) {
        const ZipEntry& e = archive.Entries[i];
        size += kCentralSize + e.Name.size() + layout.CentralExtras[i].size() + e.Comment.size();
    }
    if (size > 0xFFFFFFFF)
        throw Unsupported("it would need Zip64 (larger than 4 GiB)");
    return layout;
}

// Each entry's local header and data.
void WriteLocalEntries(const ZipArchive& archive, const Layout& layout, const Output& out) {
    std::string header;
    for (std::size_t i = 0; i < archive.Entries.size(); ++i) {
        const ZipEntry& e = archive.Entries[i];
        header.clear();
        Put32(header, kLocalSig);
        PutCommonFields(header, e);
        Put16(header, static_cast<std::uint16_t>(layout.LocalExtras[i].size()));
        header += e.Name;
        header += layout.LocalExtras[i];
        out(header.data(), header.size());
        ForEachDataPiece(e, [&](const unsigned char* p, std::size_t n) { out(p, n); });
    }
}

// The central directory and the end record after it.
std::string CentralDirectory(const ZipArchive& archive, const Layout& layout) {
    std::string header;
    for (std::size_t i = 0; i < archive.Entries.size(); ++i) {
        const ZipEntry& e = archive.Entries[i];
        Put32(header, kCentralSig);
        Put16(header, e.MadeBy);
        PutCommonFields(header, e);
        Put16(header, static_cast<std::uint16_t>(layout.CentralExtras[i].size()));
        Put16(header, static_cast<std::uint16_t>(e.Comment.size()));
        Put16(header, 0); // disk
        Put16(header, e.InternalAttrs);
        Put32(header, e.ExternalAttrs);
        Put32(header, layout.Offsets[i]);
        header += e.Name;
        header += layout.CentralExtras[i];
        header += e.Comment;
    }
    auto count = static_cast<std::uint16_t>(archive.Entries.size());
    Put32(header, kEndSig);
    Put16(header, 0);
    Put16(header, 0);
    Put16(header, count);
    Put16(header, count);
    Put32(header, static_cast<std::uint32_t>(layout.Size - layout.CdOffset));
    Put32(header, static_cast<std::uint32_t>(layout.CdOffset));
    Put16(header, static_cast<std::uint16_t>(archive.Comment.size()));
    header += archive.Comment;
    return header;
}

} // namespace

ZipEntry MakeEntry(std::string name, std::string_view content, const struct stat& st,
                   std::string& storage) {
    ZipEntry e;
    e.Name = std::move(name);
    e.MadeBy = kMadeByUnix20;
    e.Flags = IsNonAsciiUtf8(e.Name) ? kFlagUtf8 : 0;
    e.Size = static_cast<std::uint32_t>(content.size());
    e.Crc = libdeflate_crc32(0, content.data(), content.size());
    Deflate(content, storage);

    // Data that doesn't shrink is stored as it is, as every zip tool does.
    if (storage.size() < content.size()) {
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
    // The layout first, so that an archive too large for plain zip is
    // refused before anything is written.
    const Layout layout = PlanLayout(archive);
    WriteLocalEntries(archive, layout, out);
    const std::string directory = CentralDirectory(archive, layout);
    out(directory.data(), directory.size());
}

} // namespace archiver
