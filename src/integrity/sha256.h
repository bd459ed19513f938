#pragma once

// SHA-256, fed a piece at a time, so that a file can be checked while it is
// read for another purpose (a copy) instead of in a second pass; and the
// digest of a whole file.

#include "platform/files.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace integrity {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
public:
    Sha256() { Reset(); }

    void Update(const void* data, std::size_t size);
    // The digest of everything fed since the start (or the last Finish); the
    // object starts afresh.
    Sha256Digest Finish();
    void Reset();

    static Sha256Digest Of(std::string_view bytes);

private:
    void Blocks(const std::uint8_t* data, std::size_t blocks); // 64 bytes each

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> buffer_;
    std::size_t buffered_ = 0;
    std::uint64_t length_ = 0; // bytes fed
};

// Whether the processor's SHA instructions are used where it has them (the
// default), so the tests can check both ways; false when it has none.
bool UseShaInstructionsForTesting(bool use);

// The 64 lower-case hex digits sha256sum writes.
std::string DigestHex(const Sha256Digest& digest);
// 64 hex digits in either case; false for anything else.
bool ParseDigestHex(std::string_view hex, Sha256Digest& digest);

// A SHA-256 shown the blocks a file is read or copied in.
class Sha256Sink final : public platform::BlockSink {
public:
    void Restart() override { sha_.Reset(); }
    void Add(const void* data, std::size_t size) override { sha_.Update(data, size); }
    Sha256Digest Finish() { return sha_.Finish(); }

private:
    Sha256 sha_;
};

// The digest and size of the regular file at `path`, read a piece at a time.
// A FIFO, device or folder is refused (5) without blocking. False and last
// error set on failure (2 or 3 when it is missing).
bool HashFile(std::string_view path, Sha256Digest& digest, std::uint64_t& size);

// Fills `staged` from `source` as its CopyFrom does, through a SHA-256:
// `digest` and `size` are those of the bytes copied, so the copy can be
// checked before it is committed without reading the source twice. False
// and last error set on failure.
bool CopyAndHash(platform::StagedFile& staged, std::string_view source, Sha256Digest& digest,
                 std::uint64_t& size);

} // namespace integrity
