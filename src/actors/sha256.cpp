// Portable SHA-256 compression, the streaming front end and the run-time choice of path.
#include "actors/sha256.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace zelk::actors {

namespace {

constexpr std::array<std::uint32_t, 64> round_constants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr HashState initial_state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

std::uint32_t load_be32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
           std::uint32_t(p[3]);
}

}  // namespace

void compress_portable(HashState& state, const std::uint8_t* blocks, std::size_t count) {
    using std::rotr;
    for (; count > 0; --count, blocks += 64) {
        // The message schedule lives in a 16-word ring: word t replaces word t - 16.
        std::uint32_t w[16];
        for (int i = 0; i < 16; ++i) w[i] = load_be32(blocks + 4 * i);
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int t = 0; t < 64; ++t) {
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

bool cpu_has_sha_extensions() {
#if defined(__x86_64__) || defined(__i386__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid(1, eax, ebx, ecx, edx);
    const bool ssse3 = (ecx & bit_SSSE3) != 0;
    const bool sse41 = (ecx & bit_SSE4_1) != 0;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    const bool sha = (ebx & bit_SHA) != 0;
    return ssse3 && sse41 && sha;
#else
    return false;
#endif
}

CompressFn pick_compress() {
    return cpu_has_sha_extensions() ? compress_sha_extensions : compress_portable;
}

Sha256 sha256_start(CompressFn compress) {
    return Sha256{compress, initial_state, {}, 0, 0};
}

void sha256_feed(Sha256& hash, std::string_view bytes) {
    auto p = reinterpret_cast<const std::uint8_t*>(bytes.data());
    std::size_t n = bytes.size();
    hash.length += n;
    if (hash.pending_len > 0) {
        const std::size_t take = std::min(n, 64 - hash.pending_len);
        std::memcpy(hash.pending.data() + hash.pending_len, p, take);
        hash.pending_len += take;
        p += take;
        n -= take;
        if (hash.pending_len < 64) return;
        hash.compress(hash.state, hash.pending.data(), 1);
        hash.pending_len = 0;
    }
    if (n >= 64) {
        hash.compress(hash.state, p, n / 64);
        p += n / 64 * 64;
        n %= 64;
    }
    if (n > 0) {
        std::memcpy(hash.pending.data(), p, n);
        hash.pending_len = n;
    }
}

Digest sha256_finish(Sha256& hash) {
    // Padding: 0x80, zeros up to 56 bytes mod 64, then the bit length as 64-bit big endian.
    const std::uint64_t bits = hash.length * 8;
    std::array<std::uint8_t, 128> tail{};
    std::memcpy(tail.data(), hash.pending.data(), hash.pending_len);
    tail[hash.pending_len] = 0x80;
    const std::size_t tail_len = hash.pending_len < 56 ? 64 : 128;
    for (int i = 0; i < 8; ++i) tail[tail_len - 1 - i] = std::uint8_t(bits >> (8 * i));
    hash.compress(hash.state, tail.data(), tail_len / 64);
    Digest out;
    for (int i = 0; i < 8; ++i) {
        out[4 * i] = std::uint8_t(hash.state[i] >> 24);
        out[4 * i + 1] = std::uint8_t(hash.state[i] >> 16);
        out[4 * i + 2] = std::uint8_t(hash.state[i] >> 8);
        out[4 * i + 3] = std::uint8_t(hash.state[i]);
    }
    return out;
}

Digest sha256(std::string_view bytes, CompressFn compress) {
    Sha256 hash = sha256_start(compress);
    sha256_feed(hash, bytes);
    return sha256_finish(hash);
}

}  // namespace zelk::actors
