#pragma once

// Reading and writing plain (non-Zip64) zip archives, stored or deflated, on
// zlib. An archive is read a piece at a time through a ByteSource and written
// a piece at a time to an output, never held whole in memory.

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace archiver {

// Where an archive's bytes are read from.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t Size() const = 0;
    // Reads `size` bytes at `offset`; throws ZipError(Damaged) when they are
    // not all there (a file cut short meanwhile).
    virtual void ReadAt(std::uint64_t offset, void* out, std::size_t size) const = 0;
};

// An archive already in memory.
class MemorySource : public ByteSource {
public:
    explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
    std::uint64_t Size() const override { return bytes_.size(); }
    void ReadAt(std::uint64_t offset, void* out, std::size_t size) const override;

private:
    std::string_view bytes_;
};

// One entry as the central directory describes it.
struct ZipEntry {
    std::string Name; // raw bytes, as stored
    std::uint16_t MadeBy = 0;
    std::uint16_t VersionNeeded = 0; // as read; BuildZip writes what the method needs
    std::uint16_t Flags = 0;
    std::uint16_t Method = 0;
    std::uint16_t DosTime = 0;
    std::uint16_t DosDate = 0;
    std::uint32_t Crc = 0;
    std::uint32_t CompressedSize = 0;
    std::uint32_t Size = 0;
    std::uint16_t InternalAttrs = 0;
    std::uint32_t ExternalAttrs = 0;
    std::string CentralExtra;
    std::string LocalExtra;
    std::string Comment;
    // The compressed bytes: CompressedSize bytes at DataOffset of Source for
    // an entry read from an archive (the source must outlive the entry), or
    // Data for one made by MakeEntry.
    const ByteSource* Source = nullptr;
    std::uint64_t DataOffset = 0;
    std::string_view Data;
};

struct ZipArchive {
    std::vector<ZipEntry> Entries;
    std::string Comment;
};

// An archive that is not a sound zip file (Damaged), or one that needs what
// this archiver doesn't do (Unsupported: Zip64, encryption, other methods).
class ZipError : public std::runtime_error {
public:
    // Refused: sound, but past a limit the reader was given.
    enum Kind { Damaged, Unsupported, Refused };
    ZipError(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// Parses the central directory and checks every entry's local header and the
// bounds of its data. Entry data is checked only by ReadEntry. An archive of
// more than `maxEntries` entries is refused before its directory is read.
ZipArchive ParseZip(const ByteSource& source, std::size_t maxEntries);

// Throws ZipError(Unsupported) for an entry ReadEntry can't decode.
void CheckDecodable(const ZipEntry& entry);

// Decompresses the entry, handing the bytes to `sink` in pieces, and checks
// that its size and CRC match the central directory; throws ZipError
// (Damaged) otherwise. The sink may already have had data when it throws.
using Sink = std::function<void(const unsigned char* data, std::size_t size)>;
void ReadEntry(const ZipEntry& entry, const Sink& sink);

// A new entry for `content`, deflated (stored when deflating doesn't make it
// smaller), with the file's modification time and permission bits.
// `storage` receives the compressed bytes; the entry refers to it or to
// `content`, so both must outlive it.
ZipEntry MakeEntry(std::string name, std::string_view content, const struct stat& st,
                   std::string& storage);

// Writes a complete archive to `out`, a piece at a time. Throws
// ZipError(Unsupported), before writing anything, when it would need Zip64;
// the entries' data may still throw ZipError while it is copied.
using Output = std::function<void(const void* data, std::size_t size)>;
void WriteZip(const ZipArchive& archive, const Output& out);

// The entry's modification time: from an NTFS (0x000A) or extended-timestamp
// (0x5455) extra field when there is one, else from the DOS time as local
// time; nullopt when it has no usable time (an NTFS time past what Windows
// can show, or a DOS time that is no date).
std::optional<timespec> EntryMtime(const ZipEntry& entry);

// Why an entry or file name can't be a bare file name in the current folder
// ("has a folder part", ...); nullptr when it can. A backslash separates
// folders in names written on Windows and DOS (`backslashSeparates`); on
// Unix it is an ordinary character.
const char* NameProblem(std::string_view name, bool backslashSeparates);
// Whether the system that wrote `entry` separates folders with a backslash:
// any but Unix and macOS, as Info-ZIP reads them.
bool BackslashSeparates(const ZipEntry& entry);

// Why an entry is not a plain file (symbolic link, folder, device); nullptr
// when it is one.
const char* TypeProblem(const ZipEntry& entry);

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

} // namespace archiver
