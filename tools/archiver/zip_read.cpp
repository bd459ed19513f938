// Reading a zip archive: its directory, checked against the local headers,
// and each entry's data, inflated and checked against its size and CRC.

#include "zip.h"
#include "zip_format.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <new>

namespace archiver {

using namespace zipformat;

namespace {

// An entry whose compressed and whole sizes are both at most this is inflated
// in memory at once; a larger one a piece at a time.
constexpr std::uint32_t kWholeEntry = 8u << 20;

// `size` bytes at `offset` of the source.
std::string ReadString(const ByteSource& source, std::uint64_t offset, std::size_t size) {
    std::string out(size, '\0');
    source.ReadAt(offset, out.data(), size);
    return out;
}

// Each field fits in the block; a tail of under 4 bytes (alignment padding some
// tools add) is allowed, as other readers allow it.
bool ExtraIsWellFormed(std::string_view extra) {
    std::size_t at = 0;
    while (at + 4 <= extra.size())
        at += 4 + Get16(extra, at + 2);
    return at <= extra.size();
}

// The end of central directory record and where it starts.
struct EndRecord {
    std::uint64_t Offset = 0;
    std::uint16_t Disk = 0;
    std::uint16_t CdDisk = 0;
    std::uint16_t CountHere = 0;
    std::uint16_t Count = 0;
    std::uint32_t CdSize = 0;
    std::uint32_t CdOffset = 0;
    std::string Comment;
};

EndRecord FindEndRecord(const ByteSource& source) {
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
    const std::string_view record = std::string_view(tail).substr(endInTail);
    EndRecord end;
    end.Offset = tailStart + endInTail;
    end.Disk = Get16(record, 4);
    end.CdDisk = Get16(record, 6);
    end.CountHere = Get16(record, 8);
    end.Count = Get16(record, 10);
    end.CdSize = Get32(record, 12);
    end.CdOffset = Get32(record, 16);
    end.Comment = std::string(record.substr(kEndSize));
    return end;
}

// Refuses an archive whose end record asks for what this reader doesn't do,
// or doesn't add up, or that holds more than `maxEntries` entries.
void CheckEndRecord(const ByteSource& source, const EndRecord& end, std::size_t maxEntries) {
    bool zip64Locator = false;
    if (end.Offset >= kZip64LocatorSize) {
        char locator[4];
        source.ReadAt(end.Offset - kZip64LocatorSize, locator, sizeof locator);
        zip64Locator = Get32(std::string_view(locator, sizeof locator), 0) == kZip64LocatorSig;
    }
    if (zip64Locator || end.Count == 0xFFFF || end.CountHere == 0xFFFF ||
        end.CdSize == 0xFFFFFFFF || end.CdOffset == 0xFFFFFFFF)
        throw Unsupported("it needs Zip64");
    if (end.Disk != 0 || end.CdDisk != 0 || end.CountHere != end.Count)
        throw Unsupported("it spans several disks");
    if (std::uint64_t{end.CdOffset} + end.CdSize != end.Offset)
        throw Damaged("the central directory is not where the end record says");
    if (end.Count > maxEntries)
        throw ZipError(ZipError::Refused, "it holds " + std::to_string(end.Count) +
                                              " entries, more than " + std::to_string(maxEntries));
}

// The entry whose central header starts at `at`, which moves past it; `local`
// receives where its local header is. The directory ends at `end`.
ZipEntry ReadCentralHeader(const ByteSource& source, std::uint64_t& at, std::uint64_t end,
                           std::uint32_t& local) {
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
    local = Get32(header, 42);
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
    return e;
}

// Checks the entry's local header at `local` against its central one and
// finds its data, which must end before the directory at `cdOffset`.
void ReadLocalHeader(const ByteSource& source, std::uint32_t local, std::uint32_t cdOffset,
                     ZipEntry& e) {
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
}

// A save file: inflated whole by libdeflate, in about two thirds of zlib's
// time, in a bounded buffer. Data after the end of the stream is ignored, as
// zlib ignores it.
template <class Emit> void InflateWhole(const ZipEntry& e, const Emit& emit) {
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
}

// A larger entry, inflated by zlib a piece at a time.
template <class Emit> void InflatePieces(const ZipEntry& e, const Emit& emit) {
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

} // namespace

void MemorySource::ReadAt(std::uint64_t offset, void* out, std::size_t size) const {
    if (offset > bytes_.size() || size > bytes_.size() - offset)
        throw Damaged("it ends early (truncated?)");
    std::copy_n(bytes_.data() + offset, size, static_cast<char*>(out));
}

ZipArchive ParseZip(const ByteSource& source, std::size_t maxEntries) {
    const EndRecord end = FindEndRecord(source);
    CheckEndRecord(source, end, maxEntries);
    ZipArchive archive;
    archive.Comment = end.Comment;
    archive.Entries.reserve(end.Count);
    std::uint64_t at = end.CdOffset;
    for (unsigned i = 0; i < end.Count; ++i) {
        std::uint32_t local = 0;
        ZipEntry e = ReadCentralHeader(source, at, end.Offset, local);
        ReadLocalHeader(source, local, end.CdOffset, e);
        archive.Entries.push_back(std::move(e));
    }
    if (at != end.Offset)
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
        InflateWhole(e, emit);
    } else {
        InflatePieces(e, emit);
    }
    if (total != e.Size)
        throw Damaged("entry " + Quoted(e.Name) + " is shorter than recorded");
    if (crc != e.Crc)
        throw Damaged("entry " + Quoted(e.Name) + " fails its CRC check");
}

} // namespace archiver
