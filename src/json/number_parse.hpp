// Correctly rounded conversion of decimal literals to doubles.
#pragma once

#include <cstdint>
#include <string_view>

namespace zelk::json {

// The digits of a decimal literal as the scanner read them: the value is
// integer.fraction * 10^exponent. Either digit run may hold leading or trailing zeros.
struct DecimalDigits {
    std::string_view integer;   // one digit at least
    std::string_view fraction;  // empty without a fraction
    std::int64_t exponent;
};

// The double nearest to the literal `digits` (ties to even), or +infinity when that is
// above the largest finite double; the sign is the caller's. `w` and `power` are the
// scanner's reading of the same literal: w holds its leading digits while they fit in 64
// bits and power the matching exponent (value = w * 10^power, exactly when `truncated`
// is false; otherwise a nonzero digit did not fit and the value lies strictly between
// w * 10^power and (w + 1) * 10^power).
//
// Exact significands with small powers take one rounded double operation; the rest a
// 128-bit product with a power of ten whose truncation error is bounded, which decides
// the rounding unless the product lies too close to a halfway point. Those rare cases,
// and truncated literals whose two bounds round apart, are settled by comparing the
// literal, every digit counted, with the halfway points in exact big-integer arithmetic.
double nearest_double(std::uint64_t w, std::int64_t power, bool truncated, const DecimalDigits& digits);

}  // namespace zelk::json
