#pragma once

// Save-game-like content for the benchmarks: text records mixed with noise,
// so the deflater has real work and archives are not trivially small. The
// same seed gives the same bytes.

#include <cstddef>
#include <cstdint>
#include <string>

inline std::string MakeContent(std::size_t size, std::uint32_t seed) {
    std::string data;
    data.reserve(size + 256);
    std::uint32_t x = seed * 2654435761u + 1;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    while (data.size() < size) {
        if (next() % 4 == 0) {
            for (int i = 0; i < 256; ++i)
                data += static_cast<char>(next() & 0xFF);
        } else {
            data += "item=" + std::to_string(next() % 500) +
                    ";level=" + std::to_string(next() % 60) + ";name=Moonforge hero\r\n";
        }
    }
    data.resize(size);
    return data;
}
