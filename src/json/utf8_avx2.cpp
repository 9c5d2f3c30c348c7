// The vector UTF-8 checker: the lookup-table method from the published work on validating
// UTF-8 with vector instructions.
//
// Almost every error shows in two consecutive bytes. Each error class is a product of
// three conditions: one on the high nibble of the previous byte, one on its low nibble and
// one on the high nibble of the current byte. Three 16-entry tables give, for each nibble,
// the set of classes (one bit each) whose condition it meets; the AND of the three lookups
// is the set of classes the byte pair falls into. The one class that needs more context
// (a continuation byte must follow a continuation exactly when the byte two back opened a
// three- or four-byte form, or the byte three back a four-byte form) is settled by XOR
// against that expectation. A sequence still open at the end of the input is an error too.
//
// Blocks of 32 bytes without a high bit skip the tables. When a block shows an error, the
// reference checker places it, starting from the last sequence boundary before the block.
#include "json/utf8.hpp"

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace zelk::json {

namespace {

// Error classes, one bit each.
enum : std::uint8_t {
    too_short = 1 << 0,   // a lead byte not followed by a continuation byte
    too_long = 1 << 1,    // a continuation byte after an ASCII byte
    overlong_3 = 1 << 2,  // E0 then 80..9F
    too_large = 1 << 3,   // F4 then 90..BF, or F5..FF then 90..BF
    surrogate = 1 << 4,   // ED then A0..BF
    overlong_2 = 1 << 5,  // C0 or C1 then a continuation byte
    overlong_4 = 1 << 6,  // F0 then 80..8F, or F5..FF then 80..8F
    two_conts = 1 << 7,   // a continuation byte after a continuation byte
};

// Which nibble values each class accepts: previous byte high nibble, previous byte low
// nibble, current byte high nibble (as bit sets over the 16 values).
struct ErrorClass {
    std::uint8_t bit;
    std::uint16_t previous_high;
    std::uint16_t previous_low;
    std::uint16_t current_high;
};

constexpr std::uint16_t nibbles(unsigned first, unsigned last) {
    std::uint16_t set = 0;
    for (unsigned v = first; v <= last; ++v) set = std::uint16_t(set | (1u << v));
    return set;
}

constexpr std::uint16_t any = 0xFFFF;
constexpr std::uint16_t continuation = nibbles(0x8, 0xB);

constexpr ErrorClass classes[] = {
    {too_short, nibbles(0xC, 0xF), any, std::uint16_t(nibbles(0x0, 0x7) | nibbles(0xC, 0xF))},
    {too_long, nibbles(0x0, 0x7), any, continuation},
    {overlong_3, nibbles(0xE, 0xE), nibbles(0x0, 0x0), nibbles(0x8, 0x9)},
    {too_large, nibbles(0xF, 0xF), nibbles(0x4, 0xF), nibbles(0x9, 0xB)},
    {surrogate, nibbles(0xE, 0xE), nibbles(0xD, 0xD), nibbles(0xA, 0xB)},
    {overlong_2, nibbles(0xC, 0xC), nibbles(0x0, 0x1), continuation},
    {overlong_4, nibbles(0xF, 0xF), std::uint16_t(nibbles(0x0, 0x0) | nibbles(0x5, 0xF)), nibbles(0x8, 0x8)},
    {two_conts, continuation, any, continuation},
};

using Table = std::array<std::uint8_t, 16>;

constexpr Table table_of(std::uint16_t ErrorClass::* condition) {
    Table table{};
    for (unsigned v = 0; v < 16; ++v) {
        for (const ErrorClass& c : classes) {
            if ((c.*condition >> v) & 1) table[v] = std::uint8_t(table[v] | c.bit);
        }
    }
    return table;
}

constexpr Table previous_high_table = table_of(&ErrorClass::previous_high);
constexpr Table previous_low_table = table_of(&ErrorClass::previous_low);
constexpr Table current_high_table = table_of(&ErrorClass::current_high);

__attribute__((target("avx2"))) inline __m256i broadcast(const Table& table) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table.data())));
}

struct Tables {
    __m256i previous_high;
    __m256i previous_low;
    __m256i current_high;
    __m256i low_nibble;
    __m256i incomplete_limits;
};

__attribute__((target("avx2"))) inline __m256i high_nibbles(__m256i v, __m256i low_nibble) {
    return _mm256_and_si256(_mm256_srli_epi16(v, 4), low_nibble);
}

// The error bits of the 32 bytes of `current`, given the 32 bytes before them.
__attribute__((target("avx2"))) inline __m256i block_errors(const Tables& t, __m256i current,
                                                            __m256i previous) {
    // The bytes one, two and three positions back, across the block boundary.
    const __m256i straddle = _mm256_permute2x128_si256(previous, current, 0x21);
    const __m256i back1 = _mm256_alignr_epi8(current, straddle, 15);
    const __m256i back2 = _mm256_alignr_epi8(current, straddle, 14);
    const __m256i back3 = _mm256_alignr_epi8(current, straddle, 13);
    const __m256i classes_found = _mm256_and_si256(
        _mm256_and_si256(_mm256_shuffle_epi8(t.previous_high, high_nibbles(back1, t.low_nibble)),
                         _mm256_shuffle_epi8(t.previous_low, _mm256_and_si256(back1, t.low_nibble))),
        _mm256_shuffle_epi8(t.current_high, high_nibbles(current, t.low_nibble)));
    // 0x80 where the byte must be the third or fourth of a sequence.
    const __m256i third = _mm256_subs_epu8(back2, _mm256_set1_epi8(char(0xE0 - 1)));
    const __m256i fourth = _mm256_subs_epu8(back3, _mm256_set1_epi8(char(0xF0 - 1)));
    const __m256i expected =
        _mm256_and_si256(_mm256_cmpgt_epi8(_mm256_or_si256(third, fourth), _mm256_setzero_si256()),
                         _mm256_set1_epi8(char(0x80)));
    return _mm256_xor_si256(classes_found, expected);
}

// Nonzero where the block's last three bytes open a sequence the block does not finish.
__attribute__((target("avx2"))) inline __m256i open_at_end(const Tables& t, __m256i current) {
    return _mm256_subs_epu8(current, t.incomplete_limits);
}

__attribute__((target("avx2"))) inline bool any_bit(__m256i v) { return !_mm256_testz_si256(v, v); }

}  // namespace

__attribute__((target("avx2"))) std::size_t utf8_error_avx2(const unsigned char* s, std::size_t n) noexcept {
    alignas(32) static constexpr std::uint8_t limits[32] = {
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEF, 0xDF, 0xBF};
    const Tables t{broadcast(previous_high_table), broadcast(previous_low_table),
                   broadcast(current_high_table), _mm256_set1_epi8(0x0F),
                   _mm256_load_si256(reinterpret_cast<const __m256i*>(limits))};
    const auto place = [&](std::size_t block) {
        const std::size_t from = utf8_boundary_before(s, block);
        return from + utf8_error_portable(s + from, n - from);
    };
    __m256i previous = _mm256_setzero_si256();
    __m256i pending = _mm256_setzero_si256();  // a sequence left open by the previous block
    std::size_t i = 0;
    for (; n - i >= 32; i += 32) {
        const __m256i current = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
        if (_mm256_movemask_epi8(current) == 0) {
            if (any_bit(pending)) return place(i);
        } else {
            if (any_bit(block_errors(t, current, previous))) return place(i);
            pending = open_at_end(t, current);
        }
        previous = current;
    }
    if (i == n) return any_bit(pending) ? place(i) : n;
    // The tail, in a block padded with zero bytes: a sequence still open at the end meets
    // an ASCII byte and shows as an error.
    alignas(32) std::uint8_t tail[32] = {};
    std::memcpy(tail, s + i, n - i);
    const __m256i current = _mm256_load_si256(reinterpret_cast<const __m256i*>(tail));
    if (any_bit(block_errors(t, current, previous))) return place(i);
    return n;
}

}  // namespace zelk::json

#endif
