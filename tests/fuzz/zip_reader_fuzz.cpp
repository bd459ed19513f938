// Any bytes read as an archive: parsed, every entry checked and decoded as
// extraction would; an archive read whole is written again, and the copy reads
// back the same.

#include "fuzz_check.h"
#include "zip.h"

#include <cstdint>
#include <new>
#include <string>

namespace {

struct Decoded {
    std::uint64_t Size = 0;
    bool Sound = true;
};

// Each entry's size once decoded, and whether every one decoded soundly.
std::vector<Decoded> DecodeAll(const archiver::ZipArchive& archive) {
    std::vector<Decoded> decoded;
    for (const archiver::ZipEntry& e : archive.Entries) {
        (void)archiver::NameProblem(e.Name, archiver::BackslashSeparates(e));
        (void)archiver::TypeProblem(e);
        (void)archiver::EntryMtime(e);
        Decoded d;
        try {
            archiver::ReadEntry(e, [&](const unsigned char*, std::size_t n) { d.Size += n; });
            FUZZ_CHECK(d.Size == e.Size);
        } catch (const archiver::ZipError&) {
            d.Sound = false;
        }
        decoded.push_back(d);
    }
    return decoded;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const archiver::MemorySource source(
        std::string_view(reinterpret_cast<const char*>(data), size));
    archiver::ZipArchive archive;
    try {
        archive = archiver::ParseZip(source, 1000);
    } catch (const archiver::ZipError&) {
        return 0;
    }
    FUZZ_CHECK(archive.Entries.size() <= 1000);
    const std::vector<Decoded> decoded = DecodeAll(archive);
    for (const Decoded& d : decoded)
        if (!d.Sound)
            return 0;

    std::string copy;
    try {
        archiver::WriteZip(archive, [&](const void* p, std::size_t n) {
            copy.append(static_cast<const char*>(p), n);
        });
    } catch (const archiver::ZipError&) {
        return 0; // would need Zip64
    }
    const archiver::MemorySource copySource(copy);
    const archiver::ZipArchive again = archiver::ParseZip(copySource, 1000);
    FUZZ_CHECK(again.Entries.size() == archive.Entries.size());
    for (std::size_t i = 0; i < again.Entries.size(); ++i) {
        FUZZ_CHECK(again.Entries[i].Name == archive.Entries[i].Name);
        FUZZ_CHECK(again.Entries[i].Crc == archive.Entries[i].Crc);
    }
    const std::vector<Decoded> decodedAgain = DecodeAll(again);
    for (std::size_t i = 0; i < decoded.size(); ++i)
        FUZZ_CHECK(decodedAgain[i].Sound && decodedAgain[i].Size == decoded[i].Size);
    return 0;
}
