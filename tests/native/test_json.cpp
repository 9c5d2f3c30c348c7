// The JSON core at volume: print/parse round trips of random doubles, the parser's fast
// number path against the exact converter, and what only the native entry points show
// (text parse skipping the UTF-8 check, the stable path of member sorting).
#include "check.hpp"
#include "json/parse.hpp"
#include "json/print.hpp"
#include "json/transcode.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>

using namespace zelk::json;
using zelk_test::check;

namespace {

std::string outcome_of(std::string_view input, bool bytes) {
    Arena arena;
    const Parsed parsed = bytes ? parse_bytes(input, arena) : parse_text(input, arena);
    return parsed.ok ? to_text(parsed.value) : error_message(input, parsed.error);
}

std::string printed_double(double d) {
    char buf[number_room];
    return std::string(buf, write_double(buf, d));
}

// Every finite double prints as text that reads back as the same double, and the
// number of significant digits is never above 17.
void round_trip_random_doubles() {
    std::mt19937_64 random(20240611);
    int failures = 0;
    for (int i = 0; i < 1'000'000 && failures < 5; ++i) {
        const double d = std::bit_cast<double>(random());
        if (!std::isfinite(d)) continue;
        const std::string text = printed_double(d);
        Arena arena;
        const Parsed parsed = parse_text(text, arena);
        const bool same = parsed.ok && parsed.value.kind == Kind::real &&
                          std::bit_cast<std::uint64_t>(parsed.value.real) == std::bit_cast<std::uint64_t>(d);
        if (!check(same, "double round trip: " + text)) ++failures;
    }
}

// Literals of up to 19 digits with small exponents take the parser's own fast path; it
// must agree bit for bit with the exact converter.
void fast_path_agrees_with_exact_conversion() {
    std::mt19937_64 random(7);
    int failures = 0;
    for (int i = 0; i < 300'000 && failures < 5; ++i) {
        const std::uint64_t significand = random() >> (random() % 64);
        const int exponent = int(random() % 61) - 30;
        const int point = int(random() % 21);
        std::string digits = std::to_string(significand);
        std::string literal = (i % 2 ? "-" : "");
        if (point > 0 && std::size_t(point) < digits.size()) {
            const std::size_t whole = digits.size() - std::size_t(point);
            literal += digits.substr(0, whole) + "." + digits.substr(whole);
        } else {
            literal += digits + ".0";
        }
        literal += "e" + std::to_string(exponent);
        double expected = 0;
        std::from_chars(literal.data(), literal.data() + literal.size(), expected);
        Arena arena;
        const Parsed parsed = parse_text(literal, arena);
        const bool same = parsed.ok && std::bit_cast<std::uint64_t>(parsed.value.real) ==
                                           std::bit_cast<std::uint64_t>(expected);
        if (!check(same, "exact conversion of " + literal)) ++failures;
    }
}

void conversion_edges() {
    const struct {
        const char* literal;
        const char* printed;
    } cases[] = {
        {"2.4703282292062327e-324", "0.0"},  // just below half the least subnormal
        {"2.4703282292062328e-324", "5e-324"},
        {"-2.4703282292062327e-324", "-0.0"},
        {"1.7976931348623158e308", "1.7976931348623157e+308"},  // rounds down to the largest
        {"1.7976931348623159e308", "number out of range at line 1 column 22"},
        {"-1.7976931348623159e308", "number out of range at line 1 column 23"},
        {"9007199254740993", "9007199254740993"},
        {"9007199254740993.0", "9007199254740992.0"},  // ties to even
        {"9007199254740995.0", "9007199254740996.0"},
        {"0.30000000000000004", "0.30000000000000004"},
        {"123456789012345678901234567890", "1.2345678901234568e+29"},
        {"-18446744073709551616", "-1.8446744073709552e+19"},
        {"1e-2147483648", "0.0"},  // the exponent overflows its 32-bit accumulator
        {"0.0e2147483648", "0.0"},
        {"1e2147483647", "number out of range at line 1 column 12"},
        {"1e-2147483647", "0.0"},
    };
    for (const auto& c : cases) {
        check(outcome_of(c.literal, false) == c.printed, std::string("conversion of ") + c.literal);
    }
    // Every digit counts: a long literal just above a halfway point rounds up.
    const std::string halfway_up = "9007199254740993." + std::string(800, '0') + "1";
    check(outcome_of(halfway_up, false) == "9007199254740994.0", "800 zeros then a 1 after a halfway point");
    const std::string many_digits = "0." + std::string(400, '0') + "1e400";
    check(outcome_of(many_digits, false) == "0.1", "leading fraction zeros offset by the exponent");
}

void text_and_byte_entry_points() {
    const struct {
        std::string input;
        const char* text;
        const char* bytes;
    } cases[] = {
        {"\"\xff\"", "\"\xff\"", "invalid unicode code point at line 1 column 3"},
        {"\"\xc0\x80\"", "\"\xc0\x80\"", "invalid unicode code point at line 1 column 4"},  // overlong
        {"\"\xed\xa0\x80\"", "\"\xed\xa0\x80\"",
         "invalid unicode code point at line 1 column 5"},  // surrogate
        {"\"\xf4\x90\x80\x80\"", "\"\xf4\x90\x80\x80\"", "invalid unicode code point at line 1 column 6"},
        {"\"\xe2\x82\"", "\"\xe2\x82\"", "invalid unicode code point at line 1 column 4"},  // truncated
        {"[\"ok\",\"x\\n\xc3\"]", "[\"ok\",\"x\\n\xc3\"]", "invalid unicode code point at line 1 column 12"},
        {"\"\xf0\x9f\x98\x80\xc3\xa9\"", "\"\xf0\x9f\x98\x80\xc3\xa9\"", "\"\xf0\x9f\x98\x80\xc3\xa9\""},
        {"\xff", "expected value at line 1 column 1", "expected value at line 1 column 1"},
    };
    for (const auto& c : cases) {
        check(outcome_of(c.input, false) == c.text, "text parse of " + c.input);
        check(outcome_of(c.input, true) == c.bytes, "byte parse of " + c.input);
    }
}

std::string transcoded(std::string_view input, bool bytes);

// Large objects out of order go through the stable sort; the last of repeated names wins.
void large_objects_keep_the_last_member() {
    std::string text = "{";
    for (int round = 0; round < 3; ++round) {
        for (int k = 39; k >= 0; --k)
            text += "\"k" + std::to_string(k) + "\":" + std::to_string(round * 100 + k) + ",";
    }
    text.back() = '}';
    std::string expected = "{";
    std::vector<std::string> names;
    for (int k = 0; k < 40; ++k) names.push_back("k" + std::to_string(k));
    std::sort(names.begin(), names.end());
    for (const auto& name : names)
        expected += "\"" + name + "\":" + std::to_string(200 + std::stoi(name.substr(1))) + ",";
    expected.back() = '}';
    check(outcome_of(text, false) == expected, "40 names three times, reversed");

    // A long ascending run, then names out of order that repeat some of it: only the tail
    // is sorted, and merging it keeps the later member of each repeated name.
    const auto name = [](int k) {
        return "\"k" + std::string(k < 10 ? "0" : "") + std::to_string(k) + "\":";
    };
    text = "{";
    for (int k = 0; k < 60; ++k) text += name(k) + "0,";
    for (int k = 30; k >= 10; k -= 2) text += name(k) + "1,";
    text += name(70) + "2}";
    expected = "{";
    for (int k = 0; k < 60; ++k) expected += name(k) + (k >= 10 && k <= 30 && k % 2 == 0 ? "1," : "0,");
    expected += name(70) + "2}";
    check(outcome_of(text, false) == expected && transcoded(text, false) == expected,
          "ascending run, then repeats");
}

void byte_order_of_names() {
    check(outcome_of(R"({"z":1,"é":2,"aa":3,"a":4,"B":5,"":6})", false) ==
              R"({"":6,"B":5,"a":4,"aa":3,"z":1,"é":2})",
          "names sort by unsigned bytes, prefix first");
}

std::string transcoded(std::string_view input, bool bytes) {
    Buffer out;
    ParseError error;
    return parse_and_print(input, bytes, out, error) ? std::string(view(out)) : error_message(input, error);
}

// The one-pass codec path prints exactly what the value tree prints, for number literals
// of every shape (its own digit layout for short literals included) and for objects with
// members out of order and repeated.
void one_pass_agrees_with_the_tree() {
    std::mt19937_64 random(3);
    const auto digits = [&](int count) {
        std::string d;
        for (int k = 0; k < count; ++k) d += char('0' + random() % 10);
        return d;
    };
    int failures = 0;
    for (int i = 0; i < 200'000 && failures < 5; ++i) {
        std::string literal = random() % 2 ? "-" : "";
        literal += random() % 5 == 0 ? "0" : std::to_string(1 + random() % 9) + digits(int(random() % 18));
        if (random() % 2)
            literal += "." + std::string(random() % 4 == 0 ? random() % 30 : 0, '0') +
                       digits(1 + int(random() % 19));
        if (random() % 2) {
            const unsigned spans[] = {5, 25, 330, 400};
            literal += std::string(random() % 2 ? "e" : "E") +
                       (random() % 2   ? "-"
                        : random() % 2 ? "+"
                                       : "") +
                       std::to_string(random() % spans[random() % 4]);
        }
        if (!check(transcoded(literal, false) == outcome_of(literal, false), "one pass on " + literal))
            ++failures;
    }
    const char* documents[] = {
        R"({"b":{"d":1,"c":[{"z":0,"y":1e2}]},"a":"\u00e9\n","b":{"x":"last"}})",
        R"([{"k":1,"k":2,"k":3},{"\u0062":1,"a":2,"b":3},{}])",
        R"({"a\"":1,"a":2,"a\\":3,"":{"":{"":-0}}})",
        R"( { "q" : [ 1.50 , 2E1 , 1e-7 , 123456789012345678 ] , "p" : null } )",
    };
    // Integer literals around the shortcut that copies them: signs, zeros, every digit
    // count near the 64-bit limits, at the end of the input and inside arrays.
    for (const char* literal : {"0",
                                "-0",
                                "01",
                                "-01",
                                "00",
                                "-",
                                "-a",
                                "7",
                                "-7",
                                "0e1",
                                "0.5",
                                "1E2",
                                "9-",
                                "999999999999999999",
                                "-999999999999999999",
                                "9999999999999999999",
                                "-9999999999999999999",
                                "9223372036854775807",
                                "-9223372036854775808",
                                "-9223372036854775809",
                                "18446744073709551615",
                                "18446744073709551616",
                                "123456789012345678901234567890",
                                "-123456789012345678901"}) {
        for (const std::string& document :
             {std::string(literal), "[" + std::string(literal) + "]", "[" + std::string(literal) + ",0]",
              "[" + std::string(literal) + " ]"}) {
            check(transcoded(document, false) == outcome_of(document, false), "one pass on " + document);
        }
    }
    // Runs of integers copied in one piece, and what ends or breaks a run.
    for (const char* document :
         {"[1,2,-3,0,4]", "[1,2,]", "[1,2 ,3]", "[1, 2,3]", "[1,-,2]", "[1,01]", "[1,2.5,3]", "[1,-0,2]",
          "[1,2", "[1,", "[1,2e3,4]", "[0,0,0]", "[1,2]x", "[9223372036854775807,-9223372036854775809]",
          "[18446744073709551615,18446744073709551616,1]", "[1,true,2]", "[[1,2],[3,4]]"}) {
        check(transcoded(document, false) == outcome_of(document, false),
              std::string("one pass on ") + document);
    }
    for (const char* document : documents) {
        check(transcoded(document, false) == outcome_of(document, false),
              std::string("one pass on ") + document);
        check(transcoded(document, true) == outcome_of(document, true),
              std::string("one pass on bytes ") + document);
    }
}

}  // namespace

int main() {
    one_pass_agrees_with_the_tree();
    round_trip_random_doubles();
    fast_path_agrees_with_exact_conversion();
    conversion_edges();
    text_and_byte_entry_points();
    large_objects_keep_the_last_member();
    byte_order_of_names();
    return zelk_test::finish();
}
