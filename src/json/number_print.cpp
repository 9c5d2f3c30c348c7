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

constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline void write_pair(char* out, unsigned pair) noexcept { std::memcpy(out, digit_pairs + 2 * pair, 2); }

// Exactly eight digits of `n` < 10^8, leading zeros included.
inline void write_eight(char* out, std::uint32_t n) noexcept {
    const std::uint32_t high = n / 10000;
    const std::uint32_t low = n % 10000;
    write_pair(out, high / 100);
    write_pair(out + 2, high % 100);
    write_pair(out + 4, low / 100);
    write_pair(out + 6, low % 100);
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
    const int count = digit_count(n);
    char* p = out + count;
    while (n >= 100000000) {
        p -= 8;
        write_eight(p, std::uint32_t(n % 100000000));
        n /= 100000000;
    }
    auto m = std::uint32_t(n);
    while (m >= 100) {
        p -= 2;
        write_pair(p, m % 100);
        m /= 100;
    }
    if (m >= 10) {
        write_pair(p - 2, m);
    } else {
        p[-1] = char('0' + m);
    }
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
    const Power128& t = ten_power(-k);
    // g = floor(T / 4) + 1, the 126-bit upper approximation of 10^-k.
    const std::uint64_t g_lo = ((t.hi << 62) | (t.lo >> 2)) + 1;
    const std::uint64_t g_hi = (t.hi >> 2) + (g_lo == 0 ? 1 : 0);

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
