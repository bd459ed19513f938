// Fuzz target: the reader of Lutris's game files (the `prefix:` line).

#include "games/game_locations.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // Never longer than the text it came from (unescaping only shortens).
    if (games::ParseLutrisPrefix(text).size() > size)
        __builtin_trap();
    return 0;
}
