// The double printer and parser against the standard library's conversions: the printer's
// digits and exponent against std::to_chars shortest, the parser against std::from_chars,
// on random bit patterns and on the sets where conversions go wrong (binade and subnormal
// boundaries, powers of ten, halfway points, long literals, extreme exponents).
// ZELK_NUMBER_COUNT sets the number of random doubles (default 10^7).
#include "check.hpp"
#include "json/number_powers.hpp"
#include "json/number_print.hpp"
#include "json/parse.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

using namespace zelk::json;
using zelk_test::check;

namespace {

long random_count() {
    const char* text = std::getenv("ZELK_NUMBER_COUNT");
    return text != nullptr ? std::atol(text) : 10'000'000;
}

// Reports the first few failures of one set and counts the set as one check.
struct Set {
    const char* name;
    long failures = 0;
    long cases = 0;

    // Counts a case; the message is made only for the first few failures.
    template <class Message>
    void expect(bool ok, Message&& what) {
        ++cases;
        if (!ok && ++failures <= 5) std::fprintf(stderr, "  %s: %s\n", name, what().c_str());
    }
    ~Set() {
        check(failures == 0,
              std::string(name) + ": " + std::to_string(failures) + " of " + std::to_string(cases));
    }
};

// ---------------------------------------------------------------- printer

// Digits d1 d2 ... dn and the exponent of d1.
struct Digits {
    char digits[24];
    int count;
    int exponent;

    bool operator==(const Digits& o) const {
        return count == o.count && exponent == o.exponent &&
               std::memcmp(digits, o.digits, std::size_t(count)) == 0;
    }
    std::string text() const {
        return std::string(digits, std::size_t(count)) + "e" + std::to_string(exponent);
    }
};

Digits library_digits(double d) {
    char text[40];
    const char* const end = std::to_chars(text, text + sizeof text, d, std::chars_format::scientific).ptr;
    Digits r{{}, 0, 0};
    const char* p = text;
    for (; *p != 'e'; ++p) {
        if (*p != '.') r.digits[r.count++] = *p;
    }
    std::from_chars(p + 1 + (p[1] == '+'), end, r.exponent);
    return r;
}

Digits our_digits(double d) {
    const ShortestDecimal s = shortest_decimal(d);
    Digits r{{}, 0, 0};
    r.count = write_digits(r.digits, s.digits);
    r.exponent = s.exponent + r.count - 1;
    return r;
}

std::string describe(double d) {
    char text[64];
    std::snprintf(text, sizeof text, "%a (%.17g)", d, d);
    return text;
}

void expect_shortest(Set& set, double d) {
    const Digits ours = our_digits(d);
    const Digits theirs = library_digits(d);
    set.expect(ours == theirs,
               [&] { return describe(d) + ": " + ours.text() + " against " + theirs.text(); });
}

double from_bits(std::uint64_t bits) { return std::bit_cast<double>(bits); }

void printer_on_random_bits(long count) {
    Set set{"shortest digits of random bit patterns"};
    std::mt19937_64 random(8);
    for (long i = 0; i < count; ++i) {
        const double d = from_bits(random() & 0x7FFFFFFFFFFFFFFFull);
        if (std::isfinite(d) && d != 0) expect_shortest(set, d);
    }
}

void printer_on_boundaries() {
    Set set{"shortest digits at binade edges, subnormals, powers of ten, integers"};
    // The first and last significands of every binade: powers of two (whose lower neighbour
    // is closer) and the values around them.
    for (std::uint64_t biased = 0; biased < 2047; ++biased) {
        for (std::uint64_t f = 0; f < 64; ++f) {
            if (biased != 0 || f != 0) expect_shortest(set, from_bits(biased << 52 | f));
            expect_shortest(set, from_bits(biased << 52 | ((std::uint64_t(1) << 52) - 1 - f)));
        }
    }
    // Subnormals from the least up, where the scaled interval is narrowest in digits.
    for (std::uint64_t f = 1; f < 200'000; ++f) expect_shortest(set, from_bits(f));
    // The doubles nearest each power of ten and their neighbours.
    for (int e = -323; e <= 308; ++e) {
        const std::string text = "1e" + std::to_string(e);
        double d = 0;
        std::from_chars(text.data(), text.data() + text.size(), d);
        const auto bits = std::bit_cast<std::uint64_t>(d);
        for (std::uint64_t delta = 0; delta <= 16; ++delta) {
            expect_shortest(set, from_bits(bits + delta));
            if (bits > delta) expect_shortest(set, from_bits(bits - delta));
        }
    }
    // Integers, where a fast path applies, and the edges of exact integers.
    for (int i = 1; i < 100'000; ++i) expect_shortest(set, double(i));
    for (int i = -1000; i <= 1000; ++i) {
        expect_shortest(set, double((std::int64_t(1) << 53) + i));
        expect_shortest(set, double(std::int64_t(1e15) + i));
        expect_shortest(set, double(std::int64_t(1e17) + i * 16));
    }
}

// ---------------------------------------------------------------- parser

// What parsing `literal` must give: std::from_chars' double, or, where it reports the
// result out of range, 0.0 with the literal's sign below the least subnormal and the
// out-of-range error above the largest double (told apart by strtod's magnitude).
void expect_parse(Set& set, const std::string& literal) {
    double expected = 0;
    const auto [ptr, ec] = std::from_chars(literal.data(), literal.data() + literal.size(), expected);
    bool overflow = false;
    if (ec == std::errc::result_out_of_range) {
        const double magnitude = std::strtod(literal.c_str(), nullptr);
        overflow = std::isinf(magnitude);
        expected = literal[0] == '-' ? -0.0 : 0.0;
    }
    Arena arena;
    const Parsed parsed = parse_text(literal, arena);
    const auto what = [&] {
        return literal.size() > 120 ? literal.substr(0, 60) + "..." + literal.substr(literal.size() - 60)
                                    : literal;
    };
    if (overflow) {
        set.expect(!parsed.ok && error_message(literal, parsed.error).starts_with("number out of range"),
                   [&] { return what() + ": out of range expected"; });
        return;
    }
    const bool same =
        parsed.ok && parsed.value.kind == Kind::real &&
        std::bit_cast<std::uint64_t>(parsed.value.real) == std::bit_cast<std::uint64_t>(expected);
    set.expect(same, [&] {
        return what() + ": " +
               (parsed.ok ? describe(parsed.value.real) : error_message(literal, parsed.error)) +
               " against " + describe(expected);
    });
}

std::string random_digits(std::mt19937_64& random, std::size_t n) {
    std::string digits(n, '0');
    for (auto& c : digits) c = char('0' + random() % 10);
    if (digits[0] == '0') digits[0] = char('1' + random() % 9);
    return digits;
}

// "d.ddd...e<x>" written in the forms the grammar allows: a point anywhere (or none),
// the exponent adjusted to keep the value, and an optional sign.
std::string literal_of(std::mt19937_64& random, const std::string& digits, long exponent) {
    std::string text = random() % 2 ? "-" : "";
    const std::size_t point = std::size_t(random() % (digits.size() + 1));
    if (point == 0) {
        text += "0." + digits;
        exponent += 1;
    } else {
        text += digits.substr(0, point);
        if (point < digits.size()) text += "." + digits.substr(point);
        exponent -= long(point) - 1;
    }
    // Without a point or an exponent the literal would be an integer.
    if (exponent != 0 || point == digits.size() || random() % 2) {
        text += (random() % 2 ? "e" : "E") + std::to_string(exponent);
    }
    return text;
}

void parser_on_printed_doubles(long count) {
    Set set{"parse of printed random doubles (shortest and 17 digits)"};
    std::mt19937_64 random(9);
    for (long i = 0; i < count; ++i) {
        const double d = from_bits(random());
        if (!std::isfinite(d)) continue;
        char text[40];
        char* end = std::to_chars(text, text + sizeof text, d).ptr;
        std::string shortest(text, end);
        if (shortest.find_first_of(".e") == std::string::npos) shortest += ".0";  // not an integer
        expect_parse(set, shortest);
        end = std::to_chars(text, text + sizeof text, d, std::chars_format::scientific, 16).ptr;
        expect_parse(set, std::string(text, end));
    }
}

// The exact decimal expansion of the point halfway between a double and the next one up
// (long double holds it exactly), and literals just below and just above it.
void parser_on_halfway_points(long count) {
    Set set{"parse at halfway points between doubles"};
    std::mt19937_64 random(10);
    std::vector<std::uint64_t> bases;
    for (std::uint64_t f = 0; f < 64; ++f) {
        bases.push_back(f);                                       // least subnormals, zero
        bases.push_back((std::uint64_t(1) << 52) - 1 - f);        // largest subnormals
        bases.push_back((std::uint64_t(1) << 52) + f);            // least normals
        bases.push_back(0x7FEFFFFFFFFFFFFFull - f);               // largest doubles
        bases.push_back((std::uint64_t(random() % 2046) << 52));  // powers of two
    }
    for (long i = 0; i < count; ++i) bases.push_back(random() % 0x7FF0000000000000ull);
    char text[900];
    for (const std::uint64_t bits : bases) {
        const long double low = from_bits(bits);
        const long double high =
            bits + 1 == 0x7FF0000000000000ull ? 0x1p1024L : (long double)from_bits(bits + 1);
        const long double middle = low + (high - low) / 2;
        const char* const end =
            std::to_chars(text, text + sizeof text, middle, std::chars_format::scientific, 780).ptr;
        std::string exact(static_cast<const char*>(text), end);
        const std::size_t e = exact.find('e');
        std::string mantissa = exact.substr(0, e);
        const std::string exponent = exact.substr(e);
        while (mantissa.back() == '0') mantissa.pop_back();
        if (mantissa.back() == '.') mantissa.pop_back();
        expect_parse(set, mantissa + exponent);  // the tie itself
        expect_parse(set, "-" + mantissa + exponent);
        expect_parse(set, mantissa + std::string(1 + random() % 30, '0') + "1" + exponent);  // above
        // Below: the expansion cut after a random number of digits (17 and up).
        const std::size_t cut = std::min(mantissa.size(), std::size_t(18 + random() % 40));
        if (cut < mantissa.size()) expect_parse(set, mantissa.substr(0, cut) + exponent);
        // Below by one unit in the last written digit, then many nines.
        std::string under = mantissa;
        std::size_t i = under.size() - 1;
        while (under[i] == '0' || under[i] == '.') {
            if (under[i] == '0') under[i] = '9';
            --i;
        }
        under[i] = char(under[i] - 1);
        if (under[0] != '0') expect_parse(set, under + std::string(random() % 20, '9') + exponent);
    }
}

void parser_on_long_literals(long count) {
    Set set{"parse of 17- to 800-digit literals"};
    std::mt19937_64 random(11);
    for (long i = 0; i < count; ++i) {
        const std::size_t n = 17 + std::size_t(random() % 784);
        const long exponent = long(random() % 660) - 340;
        expect_parse(set, literal_of(random, random_digits(random, n), exponent));
    }
    // Digit runs of a double's exact value continued by zeros or by a nonzero digit.
    for (long i = 0; i < count / 10; ++i) {
        const double d = from_bits(random() % 0x7FF0000000000000ull);
        char text[900];
        const char* const end =
            std::to_chars(text, text + sizeof text, d, std::chars_format::scientific, 760).ptr;
        std::string exact(static_cast<const char*>(text), end);
        const std::size_t e = exact.find('e');
        expect_parse(set, exact);
        expect_parse(set, exact.substr(0, e) + "1" + exact.substr(e));
    }
}

void parser_on_extreme_exponents(long count) {
    Set set{"parse with exponents near the ends of the range"};
    std::mt19937_64 random(12);
    for (long i = 0; i < count; ++i) {
        const std::size_t n = 1 + std::size_t(random() % 25);
        // Leading digit places from 10^-345 to 10^310: underflow, subnormals, overflow.
        const long exponent = random() % 2 ? long(random() % 40) - 345 : long(random() % 30) + 290;
        expect_parse(set, literal_of(random, random_digits(random, n), exponent));
    }
    // Significands of 19 and 20 digits, which fill or overflow 64 bits, at every power.
    for (long i = 0; i < count; ++i) {
        const std::size_t n = 19 + std::size_t(random() % 2);
        expect_parse(set, literal_of(random, random_digits(random, n), long(random() % 680) - 350));
    }
}

// The fixed-point forms of the log formulas over the range the printer uses, against
// long double evaluation (apart from q = 0, no q in range comes within 8 * 10^-5 of an
// integer, far beyond the rounding error of long double).
void log_formulas() {
    bool ok = true;
    for (int q = -1100; q <= 1100; ++q) {
        ok &= floor_log10_two_power(q) == int(std::floor(q * std::log10(2.0L)));
        ok &= floor_log10_three_quarters_two_power(q) ==
              int(std::floor(std::log10(0.75L) + q * std::log10(2.0L)));
    }
    check(ok, "floor(q log10 2) and floor(log10(3/4 2^q)) in fixed point");
}

}  // namespace

int main() {
    const long count = random_count();
    log_formulas();
    printer_on_random_bits(count);
    printer_on_boundaries();
    parser_on_printed_doubles(count / 4);
    parser_on_halfway_points(count / 100);
    parser_on_long_literals(count / 200);
    parser_on_extreme_exponents(count / 10);
    return zelk_test::finish();
}
