// Powers of ten as 128-bit binary significands, shared by the double printer and parser.
//
// For every e from `min_ten_power` to `max_ten_power`, `ten_power(e)` is the 128-bit
// integer T = floor(10^e * 2^(127 - b)) where b = floor(log2(10^e)), so that
// 2^127 <= T < 2^128 and 10^e lies in [T, T + 1) * 2^(b - 127). T is exact (the real
// value has no bits below) for e from 0 to 55, where 5^e fits in 128 bits. The table is
// computed at compile time from exact big integers (number_powers.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zelk::json {

struct Power128 {
    std::uint64_t hi;
    std::uint64_t lo;
};

inline constexpr int min_ten_power = -342;
inline constexpr int max_ten_power = 324;

extern const std::array<Power128, max_ten_power - min_ten_power + 1> ten_powers;

// The table slot of 10^e, min_ten_power <= e <= max_ten_power.
constexpr std::size_t ten_power_slot(int e) noexcept { return static_cast<std::size_t>(e - min_ten_power); }

inline const Power128& ten_power(int e) noexcept { return ten_powers[ten_power_slot(e)]; }

// floor(T / 4) + 1 for each T above: an upper approximation of 10^e with 126 bits,
// 2^125 < G <= 2^126, whose error is below 1 in its last bit.
extern const std::array<Power128, max_ten_power - min_ten_power + 1> ten_powers_upper;

inline const Power128& ten_power_upper(int e) noexcept { return ten_powers_upper[ten_power_slot(e)]; }

// floor(e * log2(10)) over the table's range (checked against the exact powers when the
// table is built).
constexpr int floor_log2_ten_power(int e) noexcept { return (e * 1741647) >> 19; }

// floor(q * log10(2)) over the binary exponents of doubles, -1100 <= q <= 1100 (the
// native tests check both forms there).
constexpr int floor_log10_two_power(int q) noexcept { return (q * 1262611) >> 22; }

// floor(log10(3/4 * 2^q)) over the same range.
constexpr int floor_log10_three_quarters_two_power(int q) noexcept { return (q * 1262611 - 524031) >> 22; }

}  // namespace zelk::json
