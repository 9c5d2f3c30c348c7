// UTF-8 from code points: a portable encoder without a branch on each character's width,
// and one that encodes four code points a step with SSSE3 byte shuffles.
#include "module/utf8.hpp"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace zelk::py {

namespace {

std::ptrdiff_t first_surrogate(const std::uint32_t* in, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (in[i] - 0xd800 < 0x800) return -std::ptrdiff_t(i) - 1;
    }
    return 0;  // not reached by callers: they only look when one was seen
}

}  // namespace

// Each code point's 6-bit groups are spread one to a byte of a little-endian word, lead
// group first; the word is shifted down to the character's width and given its marker
// bits (an ASCII character is its own word), stored whole, and the output advanced by
// the width.
std::ptrdiff_t utf8_portable(const std::uint32_t* in, std::size_t n, char* out) {
    static constexpr std::uint32_t marker[5] = {0, 0, 0x80c0, 0x8080e0, 0x808080f0};
    char* at = out;
    std::uint32_t surrogates = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t c = in[i];
        surrogates |= std::uint32_t(c - 0xd800 < 0x800);
        const std::uint32_t width = 1u + (c > 0x7f) + (c > 0x7ff) + (c > 0xffff);
        const std::uint32_t spread = (c & 0x3f) << 24 | (c & 0xfc0) << 10 | (c & 0x3f000) >> 4 | c >> 18;
        const std::uint32_t ascii = 0u - std::uint32_t(c < 0x80);
        const std::uint32_t wide = (spread >> (32 - 8 * width)) | marker[width];
        const std::uint32_t word = (c & ascii) | (wide & ~ascii);
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(at, &word, 4);
        } else {
            for (int b = 0; b < 4; ++b) at[b] = char(word >> (8 * b));
        }
        at += width;
    }
    return surrogates ? first_surrogate(in, n) : at - out;
}

#if defined(__x86_64__) || defined(__i386__)

namespace {

// For four code points whose widths minus one have the low bits `index & 15` and the
// high bits `index >> 4` (bit k for code point k): the shuffle that gathers each one's
// bytes (bytes 4 - width .. 3 of its word) back to back, and their total length.
struct Gather {
    std::array<std::int8_t, 16> shuffle;
    std::uint8_t length;
};

constexpr std::array<Gather, 256> make_gathers() {
    std::array<Gather, 256> table{};
    for (int index = 0; index < 256; ++index) {
        Gather g{};
        for (auto& b : g.shuffle) b = -128;
        int at = 0;
        for (int k = 0; k < 4; ++k) {
            const int width = 1 + (index >> k & 1) + 2 * (index >> (4 + k) & 1);
            for (int j = 0; j < width; ++j) g.shuffle[std::size_t(at++)] = std::int8_t(4 * k + 4 - width + j);
        }
        g.length = std::uint8_t(at);
        table[std::size_t(index)] = g;
    }
    return table;
}

alignas(16) constexpr std::array<Gather, 256> gathers = make_gathers();

}  // namespace

// The words are formed as in the portable encoder but left unshifted (the lead byte at
// 4 - width, an ASCII character in byte 3); the shuffle drops the unused low bytes.
__attribute__((target("ssse3"))) std::ptrdiff_t utf8_ssse3(const std::uint32_t* in, std::size_t n,
                                                           char* out) {
    char* at = out;
    std::size_t i = 0;
    __m128i surrogates = _mm_setzero_si128();
    const __m128i six = _mm_set1_epi32(0x3f);
    for (; i + 4 <= n; i += 4) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        surrogates = _mm_or_si128(
            surrogates,
            _mm_cmpeq_epi32(_mm_and_si128(c, _mm_set1_epi32(int(0xfffff800))), _mm_set1_epi32(0xd800)));
        const __m128i over1 = _mm_cmpgt_epi32(c, _mm_set1_epi32(0x7f));
        const __m128i over2 = _mm_cmpgt_epi32(c, _mm_set1_epi32(0x7ff));
        const __m128i over3 = _mm_cmpgt_epi32(c, _mm_set1_epi32(0xffff));
        const __m128i spread =
            _mm_or_si128(_mm_or_si128(_mm_slli_epi32(_mm_and_si128(c, six), 24),
                                      _mm_slli_epi32(_mm_and_si128(_mm_srli_epi32(c, 6), six), 16)),
                         _mm_or_si128(_mm_slli_epi32(_mm_and_si128(_mm_srli_epi32(c, 12), six), 8),
                                      _mm_srli_epi32(c, 18)));
        // Marker bits in place: width 2 c0 80 in bytes 2-3, width 3 e0 80 80 in 1-3,
        // width 4 f0 80 80 80.
        __m128i marker = _mm_and_si128(over1, _mm_set1_epi32(int(0x80c00000)));
        marker = _mm_or_si128(_mm_andnot_si128(over2, marker),
                              _mm_and_si128(over2, _mm_set1_epi32(int(0x8080e000))));
        marker = _mm_or_si128(_mm_andnot_si128(over3, marker),
                              _mm_and_si128(over3, _mm_set1_epi32(int(0x808080f0))));
        const __m128i wide = _mm_or_si128(spread, marker);
        const __m128i words =
            _mm_or_si128(_mm_and_si128(over1, wide), _mm_andnot_si128(over1, _mm_slli_epi32(c, 24)));
        // widths minus one: over1 + over2 + over3 (each -1 or 0), as low and high bits
        const __m128i less =
            _mm_sub_epi32(_mm_setzero_si128(), _mm_add_epi32(_mm_add_epi32(over1, over2), over3));
        const int low = _mm_movemask_ps(_mm_castsi128_ps(_mm_slli_epi32(less, 31)));
        const int high = _mm_movemask_ps(_mm_castsi128_ps(_mm_slli_epi32(less, 30)));
        const Gather& g = gathers[std::size_t(low | high << 4)];
        const __m128i shuffle = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g.shuffle.data()));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm_shuffle_epi8(words, shuffle));
        at += g.length;
    }
    if (_mm_movemask_epi8(surrogates) != 0) return first_surrogate(in, n);
    const std::ptrdiff_t tail = utf8_portable(in + i, n - i, at);
    if (tail < 0) return tail - std::ptrdiff_t(i);
    return at + tail - out;
}

bool cpu_has_ssse3() { return __builtin_cpu_supports("ssse3"); }

#else

std::ptrdiff_t utf8_ssse3(const std::uint32_t* in, std::size_t n, char* out) {
    return utf8_portable(in, n, out);
}
bool cpu_has_ssse3() { return false; }

#endif

Utf8Encoder pick_utf8_encoder() { return cpu_has_ssse3() ? utf8_ssse3 : utf8_portable; }

}  // namespace zelk::py
