#pragma once

// What the zip reader and writer share: the records' signatures and sizes,
// little-endian fields, and walks over an entry's data and extra fields. Only
// for zip_*.cpp; the archiver's interface is zip.h.

#include "zip.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace archiver::zipformat {

constexpr std::uint32_t kLocalSig = 0x04034b50;
constexpr std::uint32_t kCentralSig = 0x02014b50;
constexpr std::uint32_t kEndSig = 0x06054b50;
constexpr std::uint32_t kZip64LocatorSig = 0x07064b50;
constexpr std::size_t kLocalSize = 30;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagDescriptor = 0x0008;
constexpr std::uint16_t kFlagPatchData = 0x0020;
constexpr std::uint16_t kFlagStrongEncryption = 0x0040;
constexpr std::uint16_t kFlagUtf8 = 0x0800;
constexpr std::uint16_t kFlagMaskedHeaders = 0x2000;
constexpr std::uint16_t kStored = 0;
constexpr std::uint16_t kDeflated = 8;
constexpr std::uint16_t kExtraZip64 = 0x0001;
constexpr std::uint16_t kExtraNtfs = 0x000A;
constexpr std::uint16_t kExtraTimestamp = 0x5455;
constexpr std::uint16_t kMadeByUnix20 = (3 << 8) | 20;

inline std::uint16_t Get16(std::string_view b, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                      static_cast<unsigned char>(b[at + 1]) << 8);
}
inline std::uint32_t Get32(std::string_view b, std::size_t at) {
    return Get16(b, at) | static_cast<std::uint32_t>(Get16(b, at + 2)) << 16;
}
inline std::uint64_t Get64(std::string_view b, std::size_t at) {
    return Get32(b, at) | static_cast<std::uint64_t>(Get32(b, at + 4)) << 32;
}
inline void Put16(std::string& out, std::uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}
inline void Put32(std::string& out, std::uint32_t v) {
    Put16(out, static_cast<std::uint16_t>(v & 0xFFFF));
    Put16(out, static_cast<std::uint16_t>(v >> 16));
}

inline ZipError Damaged(const std::string& what) {
    return ZipError(ZipError::Damaged, what);
}
inline ZipError Unsupported(const std::string& what) {
    return ZipError(ZipError::Unsupported, what);
}
inline std::string Quoted(std::string_view name) {
    return "\"" + std::string(name) + "\"";
}

// Hands the entry's compressed bytes to fn(data, size) in pieces of at most
// 64 KiB, read from its source as they are needed.
template <class Fn> void ForEachDataPiece(const ZipEntry& e, Fn fn) {
    constexpr std::size_t kPiece = 64 * 1024;
    if (!e.Source) {
        auto data = reinterpret_cast<const unsigned char*>(e.Data.data());
        for (std::size_t at = 0; at < e.Data.size(); at += kPiece)
            fn(data + at, std::min(kPiece, e.Data.size() - at));
        return;
    }
    unsigned char buffer[kPiece];
    for (std::uint64_t done = 0; done < e.CompressedSize;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, e.CompressedSize - done));
        e.Source->ReadAt(e.DataOffset + done, buffer, n);
        fn(static_cast<const unsigned char*>(buffer), n);
        done += n;
    }
}

// Calls fn(tag, body) for each well-formed field of an extra block; stops at
// the first field that runs past the block.
template <class Fn> void ForEachExtra(std::string_view extra, Fn fn) {
    std::size_t at = 0;
    while (at + 4 <= extra.size()) {
        std::uint16_t tag = Get16(extra, at);
        std::size_t size = Get16(extra, at + 2);
        if (at + 4 + size > extra.size())
            return;
        fn(tag, extra.substr(at + 4, size));
        at += 4 + size;
    }
}

} // namespace archiver::zipformat
