// Portable SHA-256 compression, the streaming front end and the run-time choice of path.
#include "actors/sha256.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace zelk::actors {

namespace {

std::uint32_t load_be32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
           std::uint32_t(p[3]);
}

}  // namespace

void compress_portable(HashState& state, const std::uint8_t* blocks, std::size_t count) {
    using std::rotr;
    for (; count > 0; --count, blocks += 64) {
        if (count > prefetch_distance / 64) __builtin_prefetch(blocks + prefetch_distance);
        // The message schedule lives in a 16-word ring: word t replaces word t - 16.
        std::uint32_t w[16];
        for (std::size_t i = 0; i < 16; ++i) w[i] = load_be32(blocks + 4 * i);
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (std::size_t t = 0; t < 64; ++t) {
            if (t >= 16) {
                const std::uint32_t w15 = w[(t - 15) & 15], w2 = w[(t - 2) & 15];
                const std::uint32_t s0 = rotr(w15, 7) ^ rotr(w15, 18) ^ (w15 >> 3);
                const std::uint32_t s1 = rotr(w2, 17) ^ rotr(w2, 19) ^ (w2 >> 10);
                w[t & 15] += s0 + w[(t - 7) & 15] + s1;
            }
            const std::uint32_t big_s1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
            const std::uint32_t choose = (e & f) ^ (~e & g);
            const std::uint32_t t1 = h + big_s1 + choose + round_constants[t] + w[t & 15];
            const std::uint32_t big_s0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
            const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
            const std::uint32_t t2 = big_s0 + majority;
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#if defined(__x86_64__) || defined(__i386__)
namespace {

// cpuid leaf 1 ECX bit 9 (SSSE3) and bit 19 (SSE4.1), leaf 7 subleaf 0 EBX bit 29 (SHA).
// Read with the instruction itself because the compilers disagree on the feature names
// their built-in checks accept.
bool read_sha_extensions() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const bool shuffles = (ecx >> 9 & 1u) != 0 && (ecx >> 19 & 1u) != 0;
    if (!shuffles || !__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    return (ebx >> 29 & 1u) != 0;
}

}  // namespace
#endif

bool cpu_has_sha_extensions() {
#if defined(__x86_64__) || defined(__i386__)
    // Read once and kept: a cpuid instruction traps to the hypervisor in a virtual machine
    // and costs microseconds, more than hashing a short link.
    static const bool present = read_sha_extensions();
    return present;
#else
    return false;
#endif
}

void compress_lanes_portable(HashState* const* states, const std::uint8_t* const* blocks, std::size_t lanes) {
    for (std::size_t l = 0; l < lanes; ++l) compress_portable(*states[l], blocks[l], 1);
}

Sha256Path pick_path() { return cpu_has_sha_extensions() ? sha_extensions_path : portable_path; }

Sha256Stream stream_start(CompressFn compress) {
    Sha256Stream stream;  // `block` is written before it is read
    stream.state = initial_state;
    stream.compress = compress;
    stream.length = 0;
    stream.fill = 0;
    return stream;
}

void stream_feed(Sha256Stream& stream, std::string_view piece) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(piece.data());
    std::size_t size = piece.size();
    stream.length += size;
    if (stream.fill > 0) {
        const std::size_t take = std::min(size, 64 - stream.fill);
        std::memcpy(stream.block.data() + stream.fill, bytes, take);
        stream.fill += take;
        bytes += take;
        size -= take;
        if (stream.fill < 64) return;
        stream.compress(stream.state, stream.block.data(), 1);
        stream.fill = 0;
    }
    if (size >= 64) {
        stream.compress(stream.state, bytes, size / 64);
        bytes += size & ~std::size_t(63);
        size &= 63;
    }
    if (size > 0) std::memcpy(stream.block.data(), bytes, size);
    stream.fill = size;
}

HashState stream_finish(Sha256Stream& stream) {
    // The 0x80 byte and the 8 length bytes need 9 bytes: with fewer left the padding spills
    // into one more block.
    std::uint8_t* block = stream.block.data();
    const bool fits = stream.fill < 56;
    pad_block(block, stream.fill, true, fits, stream.length);
    stream.compress(stream.state, block, 1);
    if (!fits) {
        pad_block(block, 0, false, true, stream.length);
        stream.compress(stream.state, block, 1);
    }
    stream.fill = 0;
    return stream.state;
}

Digest digest_bytes(const HashState& state) {
    Digest out;
    for (std::size_t i = 0; i < state.size(); ++i) {
        for (std::size_t b = 0; b < 4; ++b) out[4 * i + b] = std::uint8_t(state[i] >> (24 - 8 * b));
    }
    return out;
}

namespace {

// Eight hex digits of a state word at once: the nibbles spread to one per byte, each byte
// n becomes '0' + n, plus 39 more for n > 9 ('a' - '0' - 10), and the bytes are put in
// the order that leaves the most significant digit first in memory.
std::uint64_t hex_word(std::uint32_t word) {
    std::uint64_t v = word;
    v = (v | v << 16) & 0x0000ffff0000ffffULL;
    v = (v | v << 8) & 0x00ff00ff00ff00ffULL;
    v = (v | v << 4) & 0x0f0f0f0f0f0f0f0fULL;  // nibble i (from the low end) in byte i
    const std::uint64_t letters = ((v + 0x0606060606060606ULL) >> 4) & 0x0101010101010101ULL;
    v += 0x3030303030303030ULL + letters * 39;
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
}

}  // namespace

void hex_digits(const HashState& state, char* out) {
    for (std::size_t i = 0; i < state.size(); ++i) {
        const std::uint64_t digits = hex_word(state[i]);
        std::memcpy(out + 8 * i, &digits, 8);
    }
}

bool hex_matches_portable(const HashState& state, std::string_view text) {
    if (text.size() != 64) return false;
    char digits[64];
    hex_digits(state, digits);
    return std::memcmp(digits, text.data(), 64) == 0;
}

Digest sha256(std::string_view bytes, CompressFn compress) {
    Sha256Stream stream = stream_start(compress);
    stream_feed(stream, bytes);
    return digest_bytes(stream_finish(stream));
}

}  // namespace zelk::actors
