#include "integrity/sha256.h"

#include "platform/descriptors.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define MF_SHA_INSTRUCTIONS 1
#endif

namespace integrity {
namespace {

constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t Rotr(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

// The portable rounds, one block at a time.
void PortableBlocks(std::array<std::uint32_t, 8>& state, const std::uint8_t* p,
                    std::size_t blocks) {
    for (; blocks > 0; --blocks, p += 64) {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = std::uint32_t{p[4 * i]} << 24 | std::uint32_t{p[4 * i + 1]} << 16 |
                   std::uint32_t{p[4 * i + 2]} << 8 | std::uint32_t{p[4 * i + 3]};
        for (int i = 16; i < 64; ++i) {
            const std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) +
                                     ((e & f) ^ (~e & g)) + kRound[i] + w[i];
            const std::uint32_t t2 =
                (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a, state[1] += b, state[2] += c, state[3] += d;
        state[4] += e, state[5] += f, state[6] += g, state[7] += h;
    }
}

#ifdef MF_SHA_INSTRUCTIONS
// The SHA extensions of x86 processors (most since 2017): several times the
// portable rounds' speed, which is what a manifest of a large set costs.
bool CpuHasShaInstructions() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_SSSE3) || !(c & bit_SSE4_1))
        return false;
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_SHA);
}

// Four rounds per step: the state as the instructions keep it (ABEF, CDGH),
// the message schedule in a ring of four groups of four words.
__attribute__((target("sha,sse4.1,ssse3"))) void
InstructionBlocks(std::array<std::uint32_t, 8>& state, const std::uint8_t* p, std::size_t blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bll, 0x0405060700010203ll);
    __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0])),
                                    0xB1); // CDAB
    __m128i state1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4])),
                                       0x1B);         // EFGH
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8); // ABEF
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);      // CDGH
    for (; blocks > 0; --blocks, p += 64) {
        const __m128i abef = state0, cdgh = state1;
        __m128i w[4];
#pragma GCC unroll 16
        for (int g = 0; g < 16; ++g) {
            __m128i& group = w[g % 4];
            if (g < 4)
                group = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * g)), byteSwap);
            else
                group = _mm_sha256msg2_epu32(
                    _mm_add_epi32(_mm_sha256msg1_epu32(group, w[(g + 1) % 4]),
                                  _mm_alignr_epi8(w[(g + 3) % 4], w[(g + 2) % 4], 4)),
                    w[(g + 3) % 4]);
            __m128i msg = _mm_add_epi32(
                group, _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kRound[4 * g])));
            state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
            msg = _mm_shuffle_epi32(msg, 0x0E);
            state0 = _mm_sha256rnds2_epu32(state0, state1, msg);
        }
        state0 = _mm_add_epi32(state0, abef);
        state1 = _mm_add_epi32(state1, cdgh);
    }
    tmp = _mm_shuffle_epi32(state0, 0x1B);       // FEBA
    state1 = _mm_shuffle_epi32(state1, 0xB1);    // DCHG
    state0 = _mm_blend_epi16(tmp, state1, 0xF0); // DCBA
    state1 = _mm_alignr_epi8(state1, tmp, 8);    // HGFE
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), state1);
}

bool useInstructions = CpuHasShaInstructions();
#else
bool useInstructions = false;
#endif

} // namespace

bool UseShaInstructionsForTesting(bool use) {
#ifdef MF_SHA_INSTRUCTIONS
    static const bool available = CpuHasShaInstructions();
    useInstructions = use && available;
    return available;
#else
    (void)use;
    return false;
#endif
}

void Sha256::Reset() {
    state_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
              0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    buffered_ = 0;
    length_ = 0;
}

void Sha256::Blocks(const std::uint8_t* p, std::size_t blocks) {
#ifdef MF_SHA_INSTRUCTIONS
    if (useInstructions)
        return InstructionBlocks(state_, p, blocks);
#endif
    PortableBlocks(state_, p, blocks);
}

void Sha256::Update(const void* data, std::size_t size) {
    auto p = static_cast<const std::uint8_t*>(data);
    length_ += size;
    if (buffered_ > 0) {
        const std::size_t take = std::min(size, buffer_.size() - buffered_);
        std::memcpy(buffer_.data() + buffered_, p, take);
        buffered_ += take;
        p += take;
        size -= take;
        if (buffered_ < buffer_.size())
            return;
        Blocks(buffer_.data(), 1);
        buffered_ = 0;
    }
    if (size >= 64) {
        Blocks(p, size / 64);
        p += size / 64 * 64;
        size %= 64;
    }
    if (size > 0) {
        std::memcpy(buffer_.data(), p, size);
        buffered_ = size;
    }
}

Sha256Digest Sha256::Finish() {
    const std::uint64_t bits = length_ * 8;
    // A 1 bit, zeros up to 56 bytes into a block, the length in bits.
    std::uint8_t pad[72] = {0x80};
    const std::size_t zeros = (buffered_ < 56 ? 56 : 120) - buffered_;
    for (int i = 0; i < 8; ++i)
        pad[zeros + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    Update(pad, zeros + 8);
    Sha256Digest digest;
    for (int i = 0; i < 8; ++i)
        for (int k = 0; k < 4; ++k)
            digest[4 * i + k] = static_cast<std::uint8_t>(state_[i] >> (24 - 8 * k));
    Reset();
    return digest;
}

Sha256Digest Sha256::Of(std::string_view bytes) {
    Sha256 sha;
    sha.Update(bytes.data(), bytes.size());
    return sha.Finish();
}

std::string DigestHex(const Sha256Digest& digest) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(64);
    for (const std::uint8_t byte : digest) {
        out += hex[byte >> 4];
        out += hex[byte & 15];
    }
    return out;
}

bool ParseDigestHex(std::string_view hex, Sha256Digest& digest) {
    if (hex.size() != 64)
        return false;
    const auto nibble = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const int high = nibble(hex[2 * i]);
        const int low = nibble(hex[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        digest[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

bool HashFile(std::string_view path, Sha256Digest& digest, std::uint64_t& size) {
    const int fd = platform::OpenFileToRead(path);
    if (fd < 0)
        return false;
    Sha256Sink sink;
    const bool read = platform::ReadAllBlocks(fd, sink, size);
    platform::CloseFile(fd);
    if (read)
        digest = sink.Finish();
    return read;
}

bool CopyAndHash(platform::StagedFile& staged, std::string_view source, Sha256Digest& digest,
                 std::uint64_t& size) {
    Sha256Sink sink;
    if (!staged.CopyFrom(source, sink, size))
        return false;
    digest = sink.Finish();
    return true;
}

} // namespace integrity
