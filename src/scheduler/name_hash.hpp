// Keyed hashing of node names for the planner's tables. Names come from the host and may
// be chosen by an adversary; with a key drawn per call that the caller cannot see, no set
// of names can be prepared to collide, so table operations stay expected O(1).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace zelk::scheduler {

struct HashKey {
    std::uint64_t k0;
    std::uint64_t k1;
};

// A fresh key for one call, mixed from the clock and the addresses of the call's data
// (randomised by the loader): unpredictable to whoever supplied the names.
HashKey draw_hash_key(const void* data);

namespace detail {

inline std::uint64_t load_le64(const char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) {
        std::uint64_t r = 0;
        for (int i = 0; i < 8; ++i) r = r << 8 | ((v >> (8 * i)) & 0xff);
        v = r;
    }
    return v;
}

struct SipState {
    std::uint64_t v0, v1, v2, v3;
};

inline void sip_round(SipState& s) {
    s.v0 += s.v1;
    s.v1 = std::rotl(s.v1, 13);
    s.v1 ^= s.v0;
    s.v0 = std::rotl(s.v0, 32);
    s.v2 += s.v3;
    s.v3 = std::rotl(s.v3, 16);
    s.v3 ^= s.v2;
    s.v0 += s.v3;
    s.v3 = std::rotl(s.v3, 21);
    s.v3 ^= s.v0;
    s.v2 += s.v1;
    s.v1 = std::rotl(s.v1, 17);
    s.v1 ^= s.v2;
    s.v2 = std::rotl(s.v2, 32);
}

}  // namespace detail

// SipHash with C compression and D finalisation rounds (64-bit output). The planner uses
// 1-3, the variant CPython itself uses for str hashing; 2-4 is kept for its published
// test vectors.
template <int C, int D>
std::uint64_t siphash(HashKey key, std::string_view bytes) {
    detail::SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
                       key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
    const char* p = bytes.data();
    const std::size_t n = bytes.size();
    const char* end = p + (n & ~std::size_t(7));
    for (; p != end; p += 8) {
        const std::uint64_t m = detail::load_le64(p);
        s.v3 ^= m;
        for (int i = 0; i < C; ++i) detail::sip_round(s);
        s.v0 ^= m;
    }
    std::uint64_t last = std::uint64_t(n) << 56;
    for (std::size_t i = 0; i < (n & 7); ++i) last |= std::uint64_t(std::uint8_t(p[i])) << (8 * i);
    s.v3 ^= last;
    for (int i = 0; i < C; ++i) detail::sip_round(s);
    s.v0 ^= last;
    s.v2 ^= 0xff;
    for (int i = 0; i < D; ++i) detail::sip_round(s);
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

inline std::uint64_t name_hash(HashKey key, std::string_view name) { return siphash<1, 3>(key, name); }

}  // namespace zelk::scheduler
