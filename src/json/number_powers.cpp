// The table of powers of ten, computed at compile time with exact integer arithmetic.
#include "json/number_powers.hpp"

#include <array>
#include <cstddef>

namespace zelk::json {

namespace {

// An unsigned integer of up to 64 32-bit limbs, least significant first: enough for
// 2^1280, the numerator from which the negative powers are divided out.
struct Big {
    std::array<std::uint32_t, 64> limb{};
    std::size_t size = 0;  // limbs in use; the top one is nonzero

    constexpr int bits() const {
        if (size == 0) return 0;
        int b = 32 * (static_cast<int>(size) - 1);
        for (std::uint32_t top = limb[size - 1]; top != 0; top >>= 1) ++b;
        return b;
    }
};

constexpr void multiply_by_ten(Big& n) {
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < n.size; ++i) {
        const std::uint64_t x = std::uint64_t(n.limb[i]) * 10 + carry;
        n.limb[i] = std::uint32_t(x);
        carry = x >> 32;
    }
    if (carry != 0) n.limb[n.size++] = std::uint32_t(carry);
}

// n = floor(n / 10).
constexpr void divide_by_ten(Big& n) {
    std::uint64_t rest = 0;
    for (std::size_t i = n.size; i-- > 0;) {
        const std::uint64_t x = (rest << 32) | n.limb[i];
        n.limb[i] = std::uint32_t(x / 10);
        rest = x % 10;
    }
    while (n.size > 0 && n.limb[n.size - 1] == 0) --n.size;
}

constexpr std::uint32_t limb_at(const Big& n, int i) {
    return i >= 0 && static_cast<std::size_t>(i) < n.size ? n.limb[static_cast<std::size_t>(i)] : 0;
}

// The 32 bits of n from bit `pos` up (bits below bit 0 read as zeros).
constexpr std::uint32_t bits_at(const Big& n, int pos) {
    const int i = pos >= 0 ? pos / 32 : -((31 - pos) / 32);
    const int r = pos - 32 * i;
    const std::uint64_t two = (std::uint64_t(limb_at(n, i + 1)) << 32) | limb_at(n, i);
    return std::uint32_t(two >> r);
}

// The top 128 bits of n: floor(n * 2^(128 - bits(n))), exact for n of at most 128 bits.
// Word by word, to stay well inside the compilers' limits on constant evaluation.
constexpr Power128 top_bits(const Big& n) {
    const int low = n.bits() - 128;
    return {(std::uint64_t(bits_at(n, low + 96)) << 32) | bits_at(n, low + 64),
            (std::uint64_t(bits_at(n, low + 32)) << 32) | bits_at(n, low)};
}

constexpr std::size_t table_size = ten_power_slot(max_ten_power) + 1;

struct Table {
    std::array<Power128, table_size> power{};
    std::array<int, table_size> log2{};  // floor(log2(10^e)), exact
};

constexpr Table build_table() {
    Table t;
    // 10^e for e >= 0 by repeated multiplication.
    Big n;
    n.limb[0] = 1;
    n.size = 1;
    for (int e = 0; e <= max_ten_power; ++e) {
        t.power[ten_power_slot(e)] = top_bits(n);
        t.log2[ten_power_slot(e)] = n.bits() - 1;
        multiply_by_ten(n);
    }
    // floor(2^1280 / 10^e) for e > 0 by repeated division: floor(floor(x / 10) / 10) is
    // floor(x / 100), so every step stays exact. Its top 128 bits are those of 10^-e, and
    // since 10^-e is no power of two, floor(log2(10^-e)) = bits - 1 - 1280.
    constexpr int numerator_bits = 1280;
    Big d;
    constexpr std::size_t numerator_limb = numerator_bits / 32;
    d.limb[numerator_limb] = 1;
    d.size = numerator_limb + 1;
    for (int e = 1; e <= -min_ten_power; ++e) {
        divide_by_ten(d);
        t.power[ten_power_slot(-e)] = top_bits(d);
        t.log2[ten_power_slot(-e)] = d.bits() - 1 - numerator_bits;
    }
    return t;
}

constexpr Table table = build_table();

constexpr bool log2_formula_holds() {
    for (int e = min_ten_power; e <= max_ten_power; ++e) {
        if (floor_log2_ten_power(e) != table.log2[ten_power_slot(e)]) return false;
    }
    return true;
}
static_assert(log2_formula_holds());
static_assert(table.power[ten_power_slot(0)].hi == 0x8000000000000000ull &&
              table.power[ten_power_slot(0)].lo == 0);
// 10^55 = 5^55 * 2^55 where 5^55, odd, has exactly 128 bits: the entry is 5^55 itself.
static_assert(table.log2[ten_power_slot(55)] == 127 + 55 && (table.power[ten_power_slot(55)].lo & 1) == 1);

}  // namespace

constexpr std::array<Power128, max_ten_power - min_ten_power + 1> ten_powers = table.power;

namespace {

constexpr std::array<Power128, table_size> upper_table() {
    std::array<Power128, table_size> g{};
    for (std::size_t i = 0; i < table_size; ++i) {
        const Power128 t = table.power[i];
        g[i].lo = ((t.hi << 62) | (t.lo >> 2)) + 1;
        g[i].hi = (t.hi >> 2) + (g[i].lo == 0 ? 1 : 0);
    }
    return g;
}

}  // namespace

constexpr std::array<Power128, max_ten_power - min_ten_power + 1> ten_powers_upper = upper_table();

}  // namespace zelk::json
