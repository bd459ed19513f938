#pragma once

// Reading and writing plain (non-Zip64) zip archives, stored or deflated, on
// zlib. The whole archive is held in memory: the archiver handles one save file
// at a time, so archives are small.

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
    // The compressed bytes; points into the buffer the entry was parsed from
    // (or into the storage given to MakeEntry), which must outlive the entry.
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
    enum Kind { Damaged, Unsupported };
    ZipError(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// Parses the central directory and checks every entry's local header and the
// bounds of its data. Entry data is checked only by ReadEntry.
ZipArchive ParseZip(std::string_view bytes);

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

// The bytes of a complete archive. Throws ZipError(Unsupported) when the
// result would need Zip64.
std::string BuildZip(const ZipArchive& archive);

// The entry's modification time: from an NTFS (0x000A) or extended-timestamp
// (0x5455) extra field when there is one, else from the DOS time as local
// time; nullopt when it has no usable time.
std::optional<timespec> EntryMtime(const ZipEntry& entry);

// Why an entry or file name can't be a bare file name in the current folder
// ("has a folder part", ...); nullptr when it can.
const char* NameProblem(std::string_view name);

// Why an entry is not a plain file (symbolic link, folder, device); nullptr
// when it is one.
const char* TypeProblem(const ZipEntry& entry);

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

} // namespace archiver
