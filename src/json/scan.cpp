// The byte scanners in their portable, SSE2 and AVX2 forms.
#include "json/scan.hpp"

#include "json/utf8.hpp"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace zelk::json {

namespace {

constexpr std::uint64_t ones = 0x0101010101010101ull;
constexpr std::uint64_t highs = 0x8080808080808080ull;
constexpr std::uint64_t lows = 0x7F7F7F7F7F7F7F7Full;

inline std::uint64_t load_word(const char* at) noexcept {
    std::uint64_t word;
    std::memcpy(&word, at, 8);
    return word;
}

// Bit 7 of each byte of the result is set for the first byte of `word` (in memory order,
// little-endian) that ends a plain string run; bytes after it may be flagged too.
inline std::uint64_t string_stops_word(std::uint64_t word) noexcept {
    const std::uint64_t quote = word ^ (ones * '"');
    const std::uint64_t backslash = word ^ (ones * '\\');
    const std::uint64_t zero_quote = (quote - ones) & ~quote;
    const std::uint64_t zero_backslash = (backslash - ones) & ~backslash;
    const std::uint64_t control = (word - ones * 0x20) & ~word;
    return (zero_quote | zero_backslash | control) & highs;
}

// Bit 7 of each byte set exactly where that byte of `word` equals `c`.
inline std::uint64_t equal_bytes(std::uint64_t word, unsigned char c) noexcept {
    const std::uint64_t x = word ^ (ones * c);
    return ~(((x & lows) + lows) | x) & highs;
}

inline bool is_plain(unsigned char c) noexcept { return c != '"' && c != '\\' && c >= 0x20; }

inline bool is_blank(unsigned char c) noexcept { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

constexpr bool little_endian = std::endian::native == std::endian::little;

}  // namespace

const char* scan_string_portable(const char* cur, const char* end) noexcept {
    if constexpr (little_endian) {
        for (; end - cur >= 8; cur += 8) {
            if (const std::uint64_t stops = string_stops_word(load_word(cur)))
                return cur + std::countr_zero(stops) / 8;
        }
    }
    while (cur != end && is_plain(static_cast<unsigned char>(*cur))) ++cur;
    return cur;
}

const char* skip_blanks_portable(const char* cur, const char* end) noexcept {
    if constexpr (little_endian) {
        for (; end - cur >= 8; cur += 8) {
            const std::uint64_t word = load_word(cur);
            const std::uint64_t blanks = equal_bytes(word, ' ') | equal_bytes(word, '\n') |
                                         equal_bytes(word, '\r') | equal_bytes(word, '\t');
            if (const std::uint64_t other = ~blanks & highs) return cur + std::countr_zero(other) / 8;
        }
    }
    while (cur != end && is_blank(static_cast<unsigned char>(*cur))) ++cur;
    return cur;
}

char* copy_plain_portable(char* w, const char*& s, const char* end) noexcept {
    if constexpr (little_endian) {
        for (; end - s >= 8; s += 8, w += 8) {
            const std::uint64_t word = load_word(s);
            std::memcpy(w, &word, 8);
            if (const std::uint64_t stops = string_stops_word(word)) {
                const int plain = std::countr_zero(stops) / 8;
                s += plain;
                return w + plain;
            }
        }
    }
    while (s != end && is_plain(static_cast<unsigned char>(*s))) *w++ = *s++;
    return w;
}

#if defined(__SSE2__)

namespace {

inline __m128i load16(const char* at) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

inline unsigned blanks_sse2(__m128i v) noexcept {
    const __m128i space = _mm_cmpeq_epi8(v, _mm_set1_epi8(' '));
    const __m128i feed = _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'));
    const __m128i ret = _mm_cmpeq_epi8(v, _mm_set1_epi8('\r'));
    const __m128i tab = _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'));
    return unsigned(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(space, feed), _mm_or_si128(ret, tab))));
}

}  // namespace

const char* scan_string_sse2(const char* cur, const char* end) noexcept {
    for (; end - cur >= 16; cur += 16) {
        if (const unsigned stops = string_stops_sse2(load16(cur))) return cur + std::countr_zero(stops);
    }
    return scan_string_portable(cur, end);
}

const char* skip_blanks_sse2(const char* cur, const char* end) noexcept {
    for (; end - cur >= 16; cur += 16) {
        if (const unsigned other = ~blanks_sse2(load16(cur)) & 0xFFFFu) return cur + std::countr_zero(other);
    }
    return skip_blanks_portable(cur, end);
}

char* copy_plain_sse2(char* w, const char*& s, const char* end) noexcept {
    for (; end - s >= 16; s += 16, w += 16) {
        const __m128i v = load16(s);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(w), v);
        if (const unsigned stops = string_stops_sse2(v)) {
            const int plain = std::countr_zero(stops);
            s += plain;
            return w + plain;
        }
    }
    return copy_plain_portable(w, s, end);
}

namespace {

__attribute__((target("avx2"))) inline __m256i load32(const char* at) noexcept {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

__attribute__((target("avx2"))) inline unsigned string_stops_avx2(__m256i v) noexcept {
    const __m256i quote = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('"'));
    const __m256i backslash = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\\'));
    const __m256i control = _mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(0x1F)), v);
    return unsigned(_mm256_movemask_epi8(_mm256_or_si256(_mm256_or_si256(quote, backslash), control)));
}

__attribute__((target("avx2"))) inline unsigned blanks_avx2(__m256i v) noexcept {
    const __m256i space = _mm256_cmpeq_epi8(v, _mm256_set1_epi8(' '));
    const __m256i feed = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\n'));
    const __m256i ret = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\r'));
    const __m256i tab = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\t'));
    return unsigned(
        _mm256_movemask_epi8(_mm256_or_si256(_mm256_or_si256(space, feed), _mm256_or_si256(ret, tab))));
}

}  // namespace

__attribute__((target("avx2"))) const char* scan_string_avx2(const char* cur, const char* end) noexcept {
    for (; end - cur >= 32; cur += 32) {
        if (const unsigned stops = string_stops_avx2(load32(cur))) return cur + std::countr_zero(stops);
    }
    return scan_string_sse2(cur, end);
}

__attribute__((target("avx2"))) const char* skip_blanks_avx2(const char* cur, const char* end) noexcept {
    for (; end - cur >= 32; cur += 32) {
        if (const unsigned other = ~blanks_avx2(load32(cur))) return cur + std::countr_zero(other);
    }
    return skip_blanks_sse2(cur, end);
}

__attribute__((target("avx2"))) char* copy_plain_avx2(char* w, const char*& s, const char* end) noexcept {
    for (; end - s >= 32; s += 32, w += 32) {
        const __m256i v = load32(s);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(w), v);
        if (const unsigned stops = string_stops_avx2(v)) {
            const int plain = std::countr_zero(stops);
            s += plain;
            return w + plain;
        }
    }
    return copy_plain_sse2(w, s, end);
}

const char* scan_string_best(const char* cur, const char* end) noexcept {
    return cpu_has_avx2() ? scan_string_avx2(cur, end) : scan_string_sse2(cur, end);
}

const char* skip_blanks(const char* cur, const char* end) noexcept {
    // Runs between tokens are short: sixteen bytes at a time reach their end at once.
    return skip_blanks_sse2(cur, end);
}

char* copy_plain(char* w, const char*& s, const char* end) noexcept {
    return cpu_has_avx2() ? copy_plain_avx2(w, s, end) : copy_plain_sse2(w, s, end);
}

#else

const char* scan_string_best(const char* cur, const char* end) noexcept {
    return scan_string_portable(cur, end);
}
const char* skip_blanks(const char* cur, const char* end) noexcept { return skip_blanks_portable(cur, end); }
char* copy_plain(char* w, const char*& s, const char* end) noexcept { return copy_plain_portable(w, s, end); }

#endif

}  // namespace zelk::json
