// Shortest round-trip digits of doubles (Schubfach).
//
// A positive double v = c * 2^q rounds back from every real in its rounding interval
// R = [cl, cr] * 2^(q-2), cl = 4c - 2 (4c - 1 when c = 2^52 above the least normal binade,
// whose lower neighbour is closer) and cr = 4c + 2; both ends belong to R when c is even.
// With k = floor(log10 of the interval width 2^q, or 3/4 * 2^q when irregular), the width
// scaled by 10^-k lies in [1, 10): R scaled holds at least one integer and at most one
// multiple of ten. So the shortest decimals in R are either the one multiple of ten it may
// hold (digits * 10^(k+1), trailing zeros stripped), or else among the integers of R
// scaled, the two next to v * 10^-k are the closest to v.
//
// The scaled values 4x * 2^q * 10^-k are computed as x * 2^h * g / 2^128 with g the 126-bit
// upper approximation of 10^-k from the powers table, and rounded to odd: floor, with the
// lowest bit set when a fraction remains. For the doubles' range of c and q a nonzero
// fraction is never below 2^-63 and the error of g stays below 2^-69, so comparing these
// results with multiples of four (the candidates scaled by 4) gives the exact answers.
#include "json/number_print.hpp"

#include "json/number_powers.hpp"

#include <bit>
#include <cstring>

namespace zelk::json {

namespace {

using u128 = unsigned __int128;

// floor(g * cp / 2^128) rounded to odd, g = (hi, lo).
inline std::uint64_t round_to_odd(std::uint64_t g_hi, std::uint64_t g_lo, std::uint64_t cp) noexcept {
    const u128 low = u128(g_lo) * cp;
    const u128 y = u128(g_hi) * cp + (low >> 64);
    const auto y_hi = std::uint64_t(y >> 64);
    const auto y_lo = std::uint64_t(y);
    return y_hi | (y_lo > 1 ? 1 : 0);
}

constexpr std::uint64_t pow10_table[] = {
    1ull,
    10ull,
    100ull,
    1000ull,
    10000ull,
    100000ull,
    1000000ull,
    10000000ull,
    100000000ull,
    1000000000ull,
    10000000000ull,
    100000000000ull,
    1000000000000ull,
    10000000000000ull,
    100000000000000ull,
    1000000000000000ull,
    10000000000000000ull,
    100000000000000000ull,
    1000000000000000000ull,
    10000000000000000000ull,
};

// The eight decimal digits of `n` < 10^8, leading zeros included, as eight characters in
// memory order: the number split into halves, quarters and digits lane by lane, each
// division by a constant done for all lanes in one multiplication (the quotients fit
// their lanes, and the multipliers give exact quotients for the lane ranges).
inline std::uint64_t eight_digits(std::uint32_t n) noexcept {
    // Two 32-bit lanes of four digits, the leading half in the low lane.
    std::uint64_t x = (n / 10000) | (std::uint64_t(n % 10000) << 32);
    // v / 100 = (v * 10486) >> 20 for v < 10^4: four 16-bit lanes of two digits.
    const std::uint64_t hundreds = ((x * 10486) >> 20) & 0x0000007F0000007Full;
    x = hundreds | ((x - hundreds * 100) << 16);
    // u / 10 = (u * 103) >> 10 for u < 100: eight bytes of one digit.
    const std::uint64_t tens = ((x * 103) >> 10) & 0x000F000F000F000Full;
    x = tens | ((x - tens * 10) << 8);
    return x + 0x3030303030303030ull;
}

// Stores the characters of `eight_digits` at `out`, the first `skip` of them left out (the
// eight bytes at `out` are written in any case).
inline void store_digits(char* out, std::uint64_t chars, int skip) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        chars >>= 8 * skip;
    } else {
        chars = __builtin_bswap64(chars >> (8 * skip));
    }
    std::memcpy(out, &chars, 8);
}

inline int digit_count(std::uint64_t n) noexcept {
    // floor(log10) estimated from the bit length, corrected by one comparison.
    const int estimate = ((64 - std::countl_zero(n | 1)) * 1233) >> 12;
    return estimate + (n >= pow10_table[estimate] ? 1 : 0);
}

// Strips the trailing zeros of `d` (nonzero), adding each to `exponent`.
inline void strip_zeros(std::uint64_t& d, int& exponent) noexcept {
    while (d % 100000000 == 0) {
        d /= 100000000;
        exponent += 8;
    }
    if (d % 10000 == 0) {
        d /= 10000;
        exponent += 4;
    }
    if (d % 100 == 0) {
        d /= 100;
        exponent += 2;
    }
    if (d % 10 == 0) {
        d /= 10;
        exponent += 1;
    }
}

}  // namespace

int write_digits(char* out, std::uint64_t n) noexcept {
    constexpr std::uint64_t e8 = 100000000;
    const int count = digit_count(n);
    if (n < e8) {
        store_digits(out, eight_digits(std::uint32_t(n)), 8 - count);
        return count;
    }
    if (n < e8 * e8) {
        const int lead = count - 8;
        store_digits(out, eight_digits(std::uint32_t(n / e8)), 8 - lead);
        store_digits(out + lead, eight_digits(std::uint32_t(n % e8)), 0);
        return count;
    }
    const int lead = count - 16;
    store_digits(out, eight_digits(std::uint32_t(n / (e8 * e8))), 8 - lead);
    n %= e8 * e8;
    store_digits(out + lead, eight_digits(std::uint32_t(n / e8)), 0);
    store_digits(out + lead + 8, eight_digits(std::uint32_t(n % e8)), 0);
    return count;
}

ShortestDecimal shortest_decimal(double value) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    const std::uint64_t fraction = bits & ((std::uint64_t(1) << 52) - 1);
    const int biased = int(bits >> 52);
    std::uint64_t c;
    int q;
    if (biased != 0) {
        c = fraction | (std::uint64_t(1) << 52);
        q = biased - 1075;
        // An integer below 2^53 is its own shortest form: every other decimal as short lies
        // at least 1 away, beyond the rounding interval.
        if (q < 0 && q > -53 && (c & ((std::uint64_t(1) << -q) - 1)) == 0) {
            ShortestDecimal d{c >> -q, 0};
            strip_zeros(d.digits, d.exponent);
            return d;
        }
    } else {
        c = fraction;
        q = -1074;
    }

    const bool regular = fraction != 0 || biased <= 1;
    const int k = regular ? floor_log10_two_power(q) : floor_log10_three_quarters_two_power(q);
    const int h = q + floor_log2_ten_power(-k) + 3;  // from 2 to 6
    const Power128& g = ten_power_upper(-k);
    const std::uint64_t g_hi = g.hi;
    const std::uint64_t g_lo = g.lo;

    const std::uint64_t cb = c << 2;
    const std::uint64_t cbl = regular ? cb - 2 : cb - 1;
    const std::uint64_t cbr = cb + 2;
    const std::uint64_t vb = round_to_odd(g_hi, g_lo, cb << h);
    const std::uint64_t vbl = round_to_odd(g_hi, g_lo, cbl << h);
    const std::uint64_t vbr = round_to_odd(g_hi, g_lo, cbr << h);
    // The ends belong to the interval only when c is even: an odd c makes them exclusive.
    const std::uint64_t out = c & 1;

    ShortestDecimal d;
    const std::uint64_t s = vb >> 2;
    if (s >= 10) {
        // The one multiple of ten that the interval may hold: one digit fewer.
        const std::uint64_t sp10 = (s / 10) * 10;
        const std::uint64_t tp10 = sp10 + 10;
        const bool u_in = vbl + out <= sp10 << 2;
        const bool w_in = (tp10 << 2) + out <= vbr;
        if (u_in != w_in) {
            d = {u_in ? sp10 : tp10, k};
            strip_zeros(d.digits, d.exponent);
            return d;
        }
    }
    const std::uint64_t next = s + 1;
    const bool u_in = vbl + out <= s << 2;
    const bool w_in = (next << 2) + out <= vbr;
    if (u_in != w_in) {
        d = {u_in ? s : next, k};
    } else {
        // Both in the interval: the closer one, the even one on a tie. The midpoint of s and
        // s + 1, scaled by 4, is 4s + 2.
        const std::uint64_t middle = (s << 2) + 2;
        d = {vb < middle || (vb == middle && (s & 1) == 0) ? s : next, k};
    }
    strip_zeros(d.digits, d.exponent);
    return d;
}

}  // namespace zelk::json
