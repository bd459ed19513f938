// A .mfbackup-sums of any content, as a set or a medium may hold one: read
// without a fault; what is accepted lists bare names only, and written again
// it reads back to the same entries and the same text.

#include "fuzz_check.h"
#include "sets/manifest.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The reader never takes in more than this.
    const std::string_view text(reinterpret_cast<const char*>(data),
                                std::min(size, sets::MaxManifestBytes));
    sets::Manifest manifest;
    std::string why;
    if (!sets::ParseManifest(text, manifest, why)) {
        FUZZ_CHECK(manifest.Entries.empty() && !why.empty());
        return 0;
    }
    for (const sets::ManifestEntry& entry : manifest.Entries) {
        FUZZ_CHECK(sets::IsManifestName(entry.Name));
        FUZZ_CHECK(manifest.Find(entry.Name) == &entry);
    }
    const std::string written = sets::FormatManifest(manifest);
    sets::Manifest again;
    FUZZ_CHECK(sets::ParseManifest(written, again, why));
    FUZZ_CHECK(again.Entries == manifest.Entries);
    FUZZ_CHECK(sets::FormatManifest(again) == written);
    return 0;
}
