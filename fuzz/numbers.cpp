// Number conversion both ways against the C library. Literals built from the input (any
// number of digits, leading and trailing zeros, exponents up to and past the limits) read
// as the parser reads them must equal strtod's correctly rounded double bit for bit (an
// integer literal within 64 bits: strtoull / strtoll), and fail as out of range exactly
// where strtod overflows. Doubles taken bit for bit from the input print as text that
// reads back to the same bits and has no more significant digits than the shortest
// "%.*e" rendering that reads back.
#include "fuzz.hpp"
#include "json/parse.hpp"
#include "json/print.hpp"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using zelk_fuzz::require;
namespace json = zelk::json;

std::string digits_from(zelk_fuzz::Bytes& in, std::size_t count, bool no_leading_zero) {
    std::string digits;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t b = take_byte(in);
        // Mostly zeros and nines around a few other digits: the hard cases of rounding.
        char d = b < 64 ? '0' : b < 128 ? '9' : char('0' + b % 10);
        if (i == 0 && no_leading_zero && d == '0') d = '1';
        digits.push_back(d);
    }
    return digits;
}

std::string literal_from(zelk_fuzz::Bytes& in) {
    const std::uint8_t shape = take_byte(in);
    std::string literal = shape & 1 ? "-" : "";
    const std::size_t integer = take_byte(in) % (shape & 2 ? 40u : 400u);
    literal += integer == 0 ? "0" : digits_from(in, integer, true);
    if (shape & 4) literal += "." + digits_from(in, 1u + take_byte(in) % (shape & 8 ? 30u : 800u), false);
    if (shape & 16) {
        literal += shape & 32 ? "e" : "E";
        const std::uint8_t sign = take_byte(in) % 3;
        if (sign != 0) literal += sign == 1 ? "-" : "+";
        const std::uint8_t size = take_byte(in);
        literal += std::to_string(size < 200   ? size * 3u % 360u
                                  : size < 250 ? 300u + size % 40u * 1000u
                                               : 5000000000ULL);
    }
    return literal;
}

void check_literal(const std::string& literal) {
    json::Arena arena;
    const json::Parsed parsed = json::parse_text(literal, arena);
    const bool integer = literal.find_first_of(".eE") == std::string::npos;
    if (integer) {
        errno = 0;
        if (literal[0] == '-') {
            const long long expected = std::strtoll(literal.c_str(), nullptr, 10);
            if (errno == 0 && literal != "-0") {
                require(parsed.ok && parsed.value.kind == json::Kind::sint && parsed.value.sint == expected,
                        "a negative 64-bit integer reads exactly");
                return;
            }
        } else {
            const unsigned long long expected = std::strtoull(literal.c_str(), nullptr, 10);
            if (errno == 0) {
                require(parsed.ok && parsed.value.kind == json::Kind::uint && parsed.value.uint == expected,
                        "a 64-bit integer reads exactly");
                return;
            }
        }
    }
    const double expected = std::strtod(literal.c_str(), nullptr);
    if (std::isinf(expected)) {
        require(!parsed.ok && parsed.error.kind == json::ErrorKind::number_out_of_range,
                "overflow is refused");
        return;
    }
    if (integer && literal == "-0") {
        require(parsed.ok, "-0 reads");
        return;  // an integer zero, the sign not kept
    }
    require(parsed.ok && parsed.value.kind == json::Kind::real,
            "a literal beyond 64-bit integers reads as a double");
    require(std::memcmp(&parsed.value.real, &expected, sizeof expected) == 0,
            "the double is strtod's, bit for bit");
}

int significant_digits(const char* text, const char* end) {
    int count = 0, pending_zeros = 0;
    bool started = false;
    for (const char* c = text; c != end && *c != 'e' && *c != 'E'; ++c) {
        if (*c < '0' || *c > '9') continue;
        if (*c == '0') {
            if (started) ++pending_zeros;
            continue;
        }
        started = true;
        count += pending_zeros + 1;
        pending_zeros = 0;
    }
    return count == 0 ? 1 : count;
}

void check_double(double value) {
    if (!std::isfinite(value)) return;
    char text[json::number_room + 1];
    char* end = json::write_double(text, value);
    *end = '\0';
    const double back = std::strtod(text, nullptr);
    require(std::memcmp(&back, &value, sizeof value) == 0, "printed text reads back to the same bits");
    int shortest = 17;
    for (int p = 1; p <= 17; ++p) {
        char rendered[40];
        std::snprintf(rendered, sizeof rendered, "%.*e", p - 1, value);
        if (std::strtod(rendered, nullptr) == value) {
            shortest = p;
            break;
        }
    }
    require(significant_digits(text, end) <= shortest,
            "no more digits than the shortest rounding that reads back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zelk_fuzz::Bytes in{data, size};
    while (!exhausted(in)) {
        if (take_byte(in) & 1) {
            check_literal(literal_from(in));
        } else {
            std::uint64_t bits = 0;
            for (int i = 0; i < 8; ++i) bits = bits << 8 | take_byte(in);
            double value;
            std::memcpy(&value, &bits, sizeof value);
            check_double(value);
        }
    }
    return 0;
}
