// Shortest round-trip digits of doubles.
#pragma once

#include <cstdint>

namespace zelk::json {

// value = digits * 10^exponent.
struct ShortestDecimal {
    std::uint64_t digits;  // no trailing zeros, at most 17 digits
    int exponent;
};

// The shortest decimal that reads back as `value` (finite and above zero) under
// round-to-nearest; among equally short ones, the one closest to `value`, the even one when
// two are equally close. Computed by the Schubfach method: the value and the ends of its
// rounding interval are scaled by a 126-bit power of ten, rounded to odd, which keeps every
// comparison with the candidate decimals exact.
ShortestDecimal shortest_decimal(double value) noexcept;

// Writes the decimal digits of `n` (no leading zeros; "0" for zero) and returns their
// count. Up to 24 bytes at `out` may be written: the room must be there.
int write_digits(char* out, std::uint64_t n) noexcept;

}  // namespace zelk::json
