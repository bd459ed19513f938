// Fuzz target: Steam's libraryfolders.vdf reader, which reads whatever file
// a user's (or anyone's) Steam folder holds.

#include "games/game_locations.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto libraries = games::ParseSteamLibraryFolders(text);
    // What it returns is usable as it stands: few, absolute, no NUL bytes.
    if (libraries.size() > games::kMaxSteamLibraries)
        __builtin_trap();
    for (const auto& library : libraries)
        if (library.empty() || library[0] != '/' || library.find('\0') != std::string::npos ||
            library.size() > size)
            __builtin_trap();
    return 0;
}
