// Fuzz target: the stamp store's reader. A damaged or foreign store reads
// as empty; one it accepts writes back as the same text.

#include "platform/stamp_store.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto entries = platform::ParseStampStore(text);
    if (entries && platform::ParseStampStore(platform::FormatStampStore(*entries)) != entries)
        __builtin_trap();
    return 0;
}
