// Byte scanners of the JSON text: the plain run of a string (up to a double quote, a
// backslash or a byte below 0x20), the run of whitespace between tokens, and the printer's
// copy of a plain run. Each comes in three forms that give identical results: portable
// (eight bytes at a time in a 64-bit word), SSE2 (the x86-64 baseline) and AVX2 (chosen at
// run time). None reads a byte outside [cur, end): the vector forms stop where fewer bytes
// than a vector remain and finish with the narrower forms.
#pragma once

#include <bit>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zelk::json {

// The first byte in [cur, end) that is a double quote, a backslash or below 0x20, or end.
const char* scan_string_portable(const char* cur, const char* end) noexcept;
const char* scan_string_sse2(const char* cur, const char* end) noexcept;
const char* scan_string_avx2(const char* cur, const char* end) noexcept;
const char* scan_string_best(const char* cur, const char* end) noexcept;

// The first byte in [cur, end) that is not a space, tab, line feed or carriage return, or end.
const char* skip_blanks_portable(const char* cur, const char* end) noexcept;
const char* skip_blanks_sse2(const char* cur, const char* end) noexcept;
const char* skip_blanks_avx2(const char* cur, const char* end) noexcept;
const char* skip_blanks(const char* cur, const char* end) noexcept;

// Copies the bytes of [s, end) up to the first one that scan_string stops at to `w`,
// advances `s` to that byte and returns the new end of the output. Writes no further than
// w + (end - s).
char* copy_plain_portable(char* w, const char*& s, const char* end) noexcept;
char* copy_plain_sse2(char* w, const char*& s, const char* end) noexcept;
char* copy_plain_avx2(char* w, const char*& s, const char* end) noexcept;
char* copy_plain(char* w, const char*& s, const char* end) noexcept;

#if defined(__SSE2__)
// Bit i set where byte i of `v` ends a plain string run.
inline unsigned string_stops_sse2(__m128i v) noexcept {
    const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
    const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v);
    return unsigned(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, backslash), control)));
}
#endif

// Copies `n` bytes (at most 64) in moves of 16, 8 or 4 bytes, the last move of a size
// overlapping the one before, reading and writing nothing outside the n bytes: the pieces
// copied are short, and a call to memcpy of a variable size costs more than such a copy.
inline void copy_short(char* to, const char* from, std::size_t n) noexcept {
    if (n >= 16) {
        for (std::size_t i = 0; i + 16 < n; i += 16) std::memcpy(to + i, from + i, 16);
        std::memcpy(to + n - 16, from + n - 16, 16);
    } else if (n >= 8) {
        std::memcpy(to, from, 8);
        std::memcpy(to + n - 8, from + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(to, from, 4);
        std::memcpy(to + n - 4, from + n - 4, 4);
    } else {
        for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
    }
}

// scan_string with its first sixteen bytes looked at in line: most strings end there.
inline const char* scan_string(const char* cur, const char* end) noexcept {
#if defined(__SSE2__)
    if (end - cur >= 16) {
        const unsigned stops = string_stops_sse2(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cur)));
        if (stops != 0) return cur + std::countr_zero(stops);
        cur += 16;
    }
#endif
    return scan_string_best(cur, end);
}

}  // namespace zelk::json
