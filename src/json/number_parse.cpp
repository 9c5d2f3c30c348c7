// Correctly rounded decimal to double conversion: an exact one-operation path, a 128-bit
// product path (Eisel and Lemire) and an exact big-integer comparison for what is left.
#include "json/number_parse.hpp"

#include "json/number_powers.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace zelk::json {

namespace {

using u128 = unsigned __int128;

constexpr std::uint64_t infinity_bits = 0x7FF0000000000000ull;
constexpr std::uint64_t hidden_bit = std::uint64_t(1) << 52;

// Powers of ten that doubles hold exactly.
constexpr double exact_powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A rounded result and whether it is certain.
struct Attempt {
    std::uint64_t bits;  // of a non-negative double; infinity_bits above the largest
    bool decided;
};

// w * 10^q rounded to nearest, ties to even, for w > 0 and q in the table's range.
//
// With w shifted up to w' (top bit set) and T the table entry for 10^q, the 192-bit
// product P = w' * T is at most w' < 2^64 below the exact w' * 10^q scaled; it is exact for
// q from 0 to 55. Its top 128 bits U hold the significand and the rounding bits. When T is
// inexact the true value lies in (U, U + 2) in units of U's last bit: the rounding is
// certain unless the bits below the kept ones are one short of the halfway point.
Attempt eisel_lemire(std::uint64_t w, int q) noexcept {
    const int l = std::countl_zero(w);
    const std::uint64_t wn = w << l;
    const Power128& t = ten_power(q);
    const u128 high_product = u128(wn) * t.hi;
    const u128 low_product = u128(wn) * t.lo;
    const u128 u = high_product + (low_product >> 64);
    const auto below = std::uint64_t(low_product);  // the product's lowest 64 bits
    const int upper = int(std::uint64_t(u >> 127));
    // Biased exponent of the result if normal: P scaled is U * 2^(b - 63 - l), b =
    // floor(log2(10^q)), and a normal significand is U >> (74 + upper).
    const int biased = floor_log2_ten_power(q) + 1086 + upper - l;
    const int shift = 74 + upper + (biased < 1 ? 1 - biased : 0);
    const bool exact = q >= 0 && q <= 55;
    if (biased >= 1) {
        // A normal result: the kept bits and the top rounding bits are all in U's high word.
        const auto hi = std::uint64_t(u >> 64);
        const auto lo = std::uint64_t(u);
        const int drop = 10 + upper;
        const std::uint64_t rest = hi & ((std::uint64_t(1) << drop) - 1);
        const std::uint64_t half = std::uint64_t(1) << (drop - 1);
        bool round_up;
        bool decided = true;
        if (exact) {
            round_up = rest > half || (rest == half && (lo != 0 || below != 0 || ((hi >> drop) & 1) != 0));
        } else {
            // The true value lies strictly between U and U + 2 in units of U's last bit:
            // never a tie, and one below the halfway point it may be on either side.
            decided = rest != half - 1 || lo != ~std::uint64_t(0);
            round_up = rest >= half;
        }
        std::uint64_t bits = (std::uint64_t(biased - 1) << 52) + (hi >> drop) + (round_up ? 1 : 0);
        if (bits >= infinity_bits) bits = infinity_bits;
        return {bits, decided};
    }
    // A subnormal result (never from an exact power: those are above 1). The true value
    // lies strictly between U and U + 2 in units of U's last bit: never a tie, and one
    // below the halfway point it may be on either side.
    if (shift > 128) {
        // Below half the least subnormal, unless U is within 2 of 2^128 at shift 129.
        return {0, shift > 129 || u < ~u128(0) - 2};
    }
    const u128 kept = shift == 128 ? 0 : u >> shift;
    const u128 rest = shift == 128 ? u : u & ((u128(1) << shift) - 1);
    const u128 half = u128(1) << (shift - 1);
    // A carry into the hidden bit gives the least normal's bits, as it should.
    return {std::uint64_t(kept) + (rest >= half ? 1 : 0), rest != half - 1};
}

// ---------------------------------------------------------------- exact comparison

// An unsigned integer of 64-bit limbs, least significant first. The largest operands of
// the comparison below are about 2,800 bits (an 801-digit significand, or 5^1143 times a
// 55-bit halfway significand, shifted); the capacity leaves room above that.
struct Big {
    static constexpr int capacity = 80;
    std::uint64_t limb[capacity];
    int size = 0;
};

[[noreturn]] void big_overflow() {
    throw std::logic_error("number conversion exceeded its big-integer capacity");
}

void set_small(Big& n, std::uint64_t x) {
    n.size = x != 0 ? 1 : 0;
    n.limb[0] = x;
}

// n = n * factor + add.
void multiply_add(Big& n, std::uint64_t factor, std::uint64_t add) {
    std::uint64_t carry = add;
    for (int i = 0; i < n.size; ++i) {
        const u128 x = u128(n.limb[i]) * factor + carry;
        n.limb[i] = std::uint64_t(x);
        carry = std::uint64_t(x >> 64);
    }
    if (carry != 0) {
        if (n.size == Big::capacity) big_overflow();
        n.limb[n.size++] = carry;
    }
}

void multiply_by_power_of_five(Big& n, std::int64_t e) {
    constexpr std::uint64_t five_27 = 7450580596923828125ull;  // 5^27, the largest below 2^64
    for (; e >= 27; e -= 27) multiply_add(n, five_27, 0);
    std::uint64_t f = 1;
    for (; e > 0; --e) f *= 5;
    if (f != 1) multiply_add(n, f, 0);
}

void shift_left(Big& n, std::int64_t bits) {
    if (n.size == 0 || bits == 0) return;
    const auto limbs = int(bits / 64);
    const int rest = int(bits % 64);
    if (bits / 64 + n.size + 1 > Big::capacity) big_overflow();
    if (rest != 0) {
        std::uint64_t carry = 0;
        for (int i = 0; i < n.size; ++i) {
            const std::uint64_t x = n.limb[i];
            n.limb[i] = (x << rest) | carry;
            carry = x >> (64 - rest);
        }
        if (carry != 0) n.limb[n.size++] = carry;
    }
    if (limbs != 0) {
        std::memmove(n.limb + limbs, n.limb, std::size_t(n.size) * sizeof(std::uint64_t));
        std::fill(n.limb, n.limb + limbs, 0);
        n.size += limbs;
    }
}

int compare(const Big& a, const Big& b) noexcept {
    if (a.size != b.size) return a.size < b.size ? -1 : 1;
    for (int i = a.size - 1; i >= 0; --i) {
        if (a.limb[i] != b.limb[i]) return a.limb[i] < b.limb[i] ? -1 : 1;
    }
    return 0;
}

// The literal's significant digits as an integer D with value D * 10^e10. Only the first
// `kept_digits` digits are used: every halfway point between doubles has at most 768
// significant digits, so when more follow, a final digit 1 stands for them if any of them
// is nonzero, which orders the literal against every halfway point as all its digits do.
struct Significand {
    Big digits;
    std::int64_t e10 = 0;
};

constexpr int kept_digits = 800;

Significand read_significand(const DecimalDigits& text) {
    char buffer[kept_digits + 1];
    int count = 0;
    std::int64_t last_place = 0;  // place value (power of ten) of the last digit kept
    bool sticky = false;
    std::int64_t place = std::int64_t(text.integer.size());
    const auto take = [&](std::string_view run) {
        for (const char c : run) {
            --place;
            if (count == 0 && c == '0') continue;
            if (count < kept_digits) {
                buffer[count++] = c;
                last_place = place;
            } else if (c != '0') {
                sticky = true;
                return;
            }
        }
    };
    take(text.integer);
    if (!sticky) take(text.fraction);
    if (sticky) {
        buffer[count++] = '1';
        --last_place;
    }
    // Trailing zeros only make the integer longer.
    while (count > 0 && buffer[count - 1] == '0') {
        --count;
        ++last_place;
    }
    Significand s;
    s.e10 = last_place + text.exponent;
    set_small(s.digits, 0);
    int i = 0;
    while (i < count) {
        const int chunk = std::min(19, count - i);
        std::uint64_t value = 0;
        std::uint64_t scale = 1;
        for (int j = 0; j < chunk; ++j) {
            value = value * 10 + std::uint64_t(buffer[i + j] - '0');
            scale *= 10;
        }
        multiply_add(s.digits, scale, value);
        i += chunk;
    }
    return s;
}

// Compares the literal D * 10^e10 with m * 2^e2 (m > 0): -1, 0 or 1.
int compare_with(const Significand& s, std::uint64_t m, std::int64_t e2) {
    Big left = s.digits;
    Big right;
    set_small(right, m);
    // D * 10^e10 against m * 2^e2, with the fives moved to one side: L * 2^e10 against
    // R * 2^e2.
    if (s.e10 >= 0) {
        multiply_by_power_of_five(left, s.e10);
    } else {
        multiply_by_power_of_five(right, -s.e10);
    }
    if (s.e10 > e2) {
        shift_left(left, s.e10 - e2);
    } else {
        shift_left(right, e2 - s.e10);
    }
    return compare(left, right);
}

// The nearest double to the literal, found from a candidate within a few units in the
// last place by comparing the literal with the halfway points on either side of it.
double exact_nearest(const DecimalDigits& text, std::uint64_t bits) {
    const Significand s = read_significand(text);
    if (s.digits.size == 0) return 0.0;
    for (;;) {
        // The candidate as c * 2^q; the bits of infinity decode as 2^1024, the next step
        // above the largest double.
        const int biased = int(bits >> 52);
        const std::uint64_t c = (bits & (hidden_bit - 1)) | (biased != 0 ? hidden_bit : 0);
        const int q = std::max(biased, 1) - 1075;
        if (bits < infinity_bits) {
            const int above = compare_with(s, 2 * c + 1, q - 1);
            if (above > 0) {
                ++bits;
                continue;
            }
            if (above == 0) return std::bit_cast<double>((c & 1) == 0 ? bits : bits + 1);
        }
        if (bits == 0) return 0.0;
        const bool closer_below = c == hidden_bit && biased > 1;
        const int below =
            closer_below ? compare_with(s, 4 * c - 1, q - 2) : compare_with(s, 2 * c - 1, q - 1);
        if (below < 0) {
            --bits;
            continue;
        }
        if (below == 0 && (c & 1) != 0) --bits;
        return std::bit_cast<double>(bits);
    }
}

}  // namespace

double nearest_double(std::uint64_t w, std::int64_t power, bool truncated, const DecimalDigits& digits) {
    if (w == 0) return 0.0;
    if (!truncated && w <= (std::uint64_t(1) << 53) && power >= -22 && power <= 22) {
        // Exact significand and power: one correctly rounded operation.
        const auto d = double(w);
        return power < 0 ? d / exact_powers[-power] : d * exact_powers[power];
    }
    // (2^64) * 10^-343 is below half the least subnormal; 10^309 above the largest double.
    if (power < min_ten_power) return 0.0;
    if (power > 308) return std::numeric_limits<double>::infinity();
    const Attempt low = eisel_lemire(w, int(power));
    if (!truncated) {
        if (low.decided) return std::bit_cast<double>(low.bits);
    } else if (low.decided && w != std::numeric_limits<std::uint64_t>::max()) {
        // The value lies between w and w + 1 at this power: where both round alike, so does it.
        const Attempt high = eisel_lemire(w + 1, int(power));
        if (high.decided && high.bits == low.bits) return std::bit_cast<double>(low.bits);
    }
    return exact_nearest(digits, low.bits);
}

}  // namespace zelk::json
