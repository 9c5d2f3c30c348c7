// The JSON parser. Every step reads forward with at most one byte of look-ahead; items
// and members of open containers collect on two scratch stacks and move into the arena
// when their container closes, so the only allocations are the arena's blocks and the
// stacks' occasional growth.
#include "json/parse.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <system_error>

namespace zelk::json {

namespace {

inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

inline int hex_digit(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Four hexadecimal digits at `at` (the caller has checked that they exist), or -1.
inline long hex_unit(const char* at) noexcept {
    long unit = 0;
    for (int i = 0; i < 4; ++i) {
        const int d = hex_digit(at[i]);
        if (d < 0) return -1;
        unit = unit * 16 + d;
    }
    return unit;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    char buf[4];
    std::size_t n;
    if (cp < 0x80) {
        buf[0] = char(cp);
        n = 1;
    } else if (cp < 0x800) {
        buf[0] = char(0xC0 | (cp >> 6));
        buf[1] = char(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        buf[0] = char(0xE0 | (cp >> 12));
        buf[1] = char(0x80 | ((cp >> 6) & 0x3F));
        buf[2] = char(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        buf[0] = char(0xF0 | (cp >> 18));
        buf[1] = char(0x80 | ((cp >> 12) & 0x3F));
        buf[2] = char(0x80 | ((cp >> 6) & 0x3F));
        buf[3] = char(0x80 | (cp & 0x3F));
        n = 4;
    }
    out.append(buf, n);
}

// After the backslash and the "u" of a code unit escape: reads the unit (and its trailing
// surrogate) and appends the code point.
bool parse_unicode_escape(Parser& p) {
    if (p.end - p.cur < 4) return fail_eof(p, ErrorKind::eof_string);
    const long first = hex_unit(p.cur);
    p.cur += 4;
    if (first < 0) return fail(p, ErrorKind::invalid_escape, offset_of(p, p.cur));
    if (first >= 0xDC00 && first <= 0xDFFF) {
        return fail(p, ErrorKind::lone_leading_surrogate, offset_of(p, p.cur));
    }
    std::uint32_t cp = std::uint32_t(first);
    if (first >= 0xD800 && first <= 0xDBFF) {
        for (const char expected : {'\\', 'u'}) {
            if (p.cur == p.end) return fail_eof(p, ErrorKind::eof_string);
            if (*p.cur++ != expected) {
                return fail(p, ErrorKind::unexpected_end_of_hex_escape, offset_of(p, p.cur));
            }
        }
        if (p.end - p.cur < 4) return fail_eof(p, ErrorKind::eof_string);
        const long second = hex_unit(p.cur);
        p.cur += 4;
        if (second < 0) return fail(p, ErrorKind::invalid_escape, offset_of(p, p.cur));
        if (second < 0xDC00 || second > 0xDFFF) {
            return fail(p, ErrorKind::lone_leading_surrogate, offset_of(p, p.cur));
        }
        cp = 0x10000 + ((std::uint32_t(first) - 0xD800) << 10) + (std::uint32_t(second) - 0xDC00);
    }
    append_utf8(p.unescaped, cp);
    return true;
}

// After a backslash: one escape.
bool parse_escape(Parser& p) {
    if (p.cur == p.end) return fail_eof(p, ErrorKind::eof_string);
    const char c = *p.cur++;
    char decoded;
    switch (c) {
        case '"': decoded = '"'; break;
        case '\\': decoded = '\\'; break;
        case '/': decoded = '/'; break;
        case 'b': decoded = '\b'; break;
        case 'f': decoded = '\f'; break;
        case 'n': decoded = '\n'; break;
        case 'r': decoded = '\r'; break;
        case 't': decoded = '\t'; break;
        case 'u': return parse_unicode_escape(p);
        default: return fail(p, ErrorKind::invalid_escape, offset_of(p, p.cur));
    }
    p.unescaped.push_back(decoded);
    return true;
}

bool parse_literal(Parser& p, std::string_view rest, Value value, Value& out) {
    ++p.cur;  // the first letter, already matched by the caller
    for (const char expected : rest) {
        if (p.cur == p.end) return fail_eof(p, ErrorKind::eof_value);
        if (*p.cur != expected) return fail_at(p, ErrorKind::expected_ident, p.cur);
        ++p.cur;
    }
    out = value;
    return true;
}

// Powers of ten that doubles hold exactly.
constexpr double exact_powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Whether a decimal literal (JSON number syntax) has its leading significant digit at a
// positive power of ten. Used only for literals std::from_chars finds out of range, which
// lie either above 1e308 or below 1e-323, so the sign of that power tells overflow
// (positive) from underflow.
bool is_large_literal(std::string_view literal) noexcept {
    std::size_t i = literal.front() == '-' ? 1 : 0;
    std::int64_t power = 0;  // power of ten of the leading nonzero digit, before the exponent
    bool found = false;
    std::int64_t integer_digits = 0;
    for (; i < literal.size() && is_digit(literal[i]); ++i) {
        if (!found && literal[i] != '0') {
            found = true;
            power = -integer_digits;
        }
        ++integer_digits;
    }
    if (found) power += integer_digits - 1;
    if (i < literal.size() && literal[i] == '.') {
        std::int64_t position = 0;
        for (++i; i < literal.size() && is_digit(literal[i]); ++i) {
            ++position;
            if (!found && literal[i] != '0') {
                found = true;
                power = -position;
            }
        }
    }
    std::int64_t exponent = 0;
    if (i < literal.size()) {  // "e" or "E"
        ++i;
        bool negative = false;
        if (literal[i] == '+' || literal[i] == '-') negative = literal[i++] == '-';
        for (; i < literal.size(); ++i) {
            exponent = std::min<std::int64_t>(exponent * 10 + (literal[i] - '0'), std::int64_t(1) << 40);
        }
        if (negative) exponent = -exponent;
    }
    return power + exponent > 0;
}

// The nearest double to the literal in [start, p.cur), ties to even, every digit counted.
bool convert_literal(Parser& p, const char* start, bool negative, Value& out) {
    double d = 0;
    const auto [ptr, ec] = std::from_chars(start, p.cur, d);
    if (ptr != p.cur) throw std::logic_error("number literal not fully converted");
    if (ec == std::errc::result_out_of_range) {
        if (is_large_literal({start, std::size_t(p.cur - start)})) {
            return fail(p, ErrorKind::number_out_of_range, offset_of(p, p.cur));
        }
        d = negative ? -0.0 : 0.0;
    } else if (ec != std::errc()) {
        throw std::logic_error("number literal rejected by the converter");
    }
    out = make_real(d);
    return true;
}

// p.cur is at "-" or a digit.
bool parse_number(Parser& p, Value& out) {
    const char* const start = p.cur;
    const bool negative = *p.cur == '-';
    if (negative) ++p.cur;
    if (p.cur == p.end) return fail_eof(p, ErrorKind::eof_value);
    if (!is_digit(*p.cur)) return fail_at(p, ErrorKind::invalid_number, p.cur);

    // Significand S of the leading digits that fit in 64 bits; `dropped` tells whether
    // any digit did not fit, in which case the full literal goes to the exact converter.
    std::uint64_t s = 0;
    bool dropped = false;
    int taken = 0;  // digits in S; any 19 digits fit, the 20th only below 2^64
    const auto take_digit = [&](char c) {
        const unsigned d = unsigned(c - '0');
        if (!dropped && (taken < 19 || s < 1844674407370955161ull || (s == 1844674407370955161ull && d <= 5))) {
            s = s * 10 + d;
            ++taken;
            return true;
        }
        dropped = true;
        return false;
    };

    if (*p.cur == '0') {
        ++p.cur;
        if (p.cur != p.end && is_digit(*p.cur)) return fail_at(p, ErrorKind::invalid_number, p.cur);
    } else {
        while (p.cur != p.end && is_digit(*p.cur)) take_digit(*p.cur++);
    }

    const bool has_fraction = p.cur != p.end && *p.cur == '.';
    std::int64_t fraction_digits = 0;  // fraction digits taken into S
    if (has_fraction) {
        ++p.cur;
        if (p.cur == p.end) return fail_eof(p, ErrorKind::eof_value);
        if (!is_digit(*p.cur)) return fail_at(p, ErrorKind::invalid_number, p.cur);
        while (p.cur != p.end && is_digit(*p.cur)) {
            if (take_digit(*p.cur)) ++fraction_digits;
            ++p.cur;
        }
    }

    const bool has_exponent = p.cur != p.end && (*p.cur == 'e' || *p.cur == 'E');
    std::int32_t exponent = 0;
    if (has_exponent) {
        ++p.cur;
        bool exponent_negative = false;
        if (p.cur != p.end && (*p.cur == '+' || *p.cur == '-')) exponent_negative = *p.cur++ == '-';
        if (p.cur == p.end) return fail_eof(p, ErrorKind::eof_value);
        if (!is_digit(*p.cur)) return fail_at(p, ErrorKind::invalid_number, p.cur);
        while (p.cur != p.end && is_digit(*p.cur)) {
            const int d = *p.cur++ - '0';
            if (exponent > (std::numeric_limits<std::int32_t>::max() - d) / 10) {
                // The exponent does not fit in 32 bits: zero when the significand is zero
                // or the exponent negative, otherwise far beyond the largest double.
                if (s != 0 && !exponent_negative) {
                    return fail(p, ErrorKind::number_out_of_range, offset_of(p, p.cur));
                }
                while (p.cur != p.end && is_digit(*p.cur)) ++p.cur;
                out = make_real(negative ? -0.0 : 0.0);
                return true;
            }
            exponent = exponent * 10 + d;
        }
        if (exponent_negative) exponent = -exponent;
    }

    if (!has_fraction && !has_exponent && !dropped) {
        if (!negative) {
            out = make_uint(s);
        } else if (s == 0) {
            out = make_real(-0.0);
        } else if (s <= std::uint64_t(1) << 63) {
            out = make_sint(static_cast<std::int64_t>(0 - s));
        } else {
            out = make_real(-static_cast<double>(s));  // the conversion rounds to nearest
        }
        return true;
    }

    // Exact significand and a small power of ten: one correctly rounded operation.
    const std::int64_t power = std::int64_t(exponent) - fraction_digits;
    if (!dropped && s <= (std::uint64_t(1) << 53) && power >= -22 && power <= 22) {
        double d = static_cast<double>(s);
        d = power < 0 ? d / exact_powers[-power] : d * exact_powers[power];
        out = make_real(negative ? -d : d);
        return true;
    }
    return convert_literal(p, start, negative, out);
}

bool parse_array(Parser& p, Value& out) {
    const std::size_t mark = p.items.size();
    const bool ok = read_array(p, [&] {
        Value item;
        if (!parse_value(p, item)) return false;
        p.items.push_back(item);
        return true;
    });
    if (!ok) return false;
    const std::size_t count = p.items.size() - mark;
    Value* items = allocate_array<Value>(*p.arena, count);
    if (count != 0) std::memcpy(items, p.items.data() + mark, count * sizeof(Value));
    p.items.resize(mark);
    out = make_array(items, count);
    return true;
}

bool parse_object(Parser& p, Value& out) {
    const std::size_t mark = p.members.size();
    const bool ok = read_object(p, [&](std::string_view name) {
        Value value;
        if (!parse_value(p, value)) return false;
        p.members.push_back(Member{name, value});
        return true;
    });
    if (!ok) return false;
    const std::size_t count = sort_members(p.members.data() + mark, p.members.size() - mark);
    Member* members = allocate_array<Member>(*p.arena, count);
    if (count != 0) std::memcpy(members, p.members.data() + mark, count * sizeof(Member));
    p.members.resize(mark);
    out = make_object(members, count);
    return true;
}

}  // namespace

std::string_view describe(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::eof_list: return "EOF while parsing a list";
        case ErrorKind::eof_object: return "EOF while parsing an object";
        case ErrorKind::eof_string: return "EOF while parsing a string";
        case ErrorKind::eof_value: return "EOF while parsing a value";
        case ErrorKind::expected_colon: return "expected `:`";
        case ErrorKind::expected_comma_or_bracket: return "expected `,` or `]`";
        case ErrorKind::expected_comma_or_brace: return "expected `,` or `}`";
        case ErrorKind::expected_ident: return "expected ident";
        case ErrorKind::expected_value: return "expected value";
        case ErrorKind::invalid_escape: return "invalid escape";
        case ErrorKind::invalid_number: return "invalid number";
        case ErrorKind::number_out_of_range: return "number out of range";
        case ErrorKind::invalid_unicode_code_point: return "invalid unicode code point";
        case ErrorKind::control_character:
            return "control character (\\u0000-\\u001F) found while parsing a string";
        case ErrorKind::key_must_be_a_string: return "key must be a string";
        case ErrorKind::lone_leading_surrogate: return "lone leading surrogate in hex escape";
        case ErrorKind::trailing_comma: return "trailing comma";
        case ErrorKind::trailing_characters: return "trailing characters";
        case ErrorKind::unexpected_end_of_hex_escape: return "unexpected end of hex escape";
        case ErrorKind::recursion_limit_exceeded: return "recursion limit exceeded";
    }
    return "invalid JSON";
}

Position locate(std::string_view input, std::size_t offset) noexcept {
    const std::string_view before = input.substr(0, offset);
    Position position;
    position.line = 1 + std::size_t(std::count(before.begin(), before.end(), '\n'));
    const std::size_t last_feed = before.rfind('\n');
    position.column = last_feed == std::string_view::npos ? before.size() : before.size() - last_feed - 1;
    return position;
}

std::string position_suffix(std::string_view input, std::size_t offset) {
    const Position position = locate(input, offset);
    return " at line " + std::to_string(position.line) + " column " + std::to_string(position.column);
}

std::string error_message(std::string_view input, const ParseError& error) {
    return std::string(describe(error.kind)) + position_suffix(input, error.offset);
}

Parser start_parser(std::string_view input, bool check_utf8, Arena& arena) {
    Parser p;
    p.begin = input.data();
    p.cur = input.data();
    p.end = input.data() + input.size();
    p.check_utf8 = check_utf8;
    p.arena = &arena;
    return p;
}

bool read_string(Parser& p, std::string_view& content, bool& escaped) {
    ++p.cur;  // the opening quote
    const char* run = p.cur;
    escaped = false;
    for (;;) {
        p.cur = scan_string(p.cur, p.end);
        if (p.cur == p.end) return fail_eof(p, ErrorKind::eof_string);
        const char c = *p.cur;
        if (c == '"') break;
        if (c != '\\') return fail_at(p, ErrorKind::control_character, p.cur);
        if (!escaped) {
            p.unescaped.clear();
            escaped = true;
        }
        p.unescaped.append(run, p.cur);
        ++p.cur;
        if (!parse_escape(p)) return false;
        run = p.cur;
    }
    if (escaped) {
        p.unescaped.append(run, p.cur);
        content = p.unescaped;
    } else {
        content = {run, std::size_t(p.cur - run)};
    }
    ++p.cur;  // the closing quote
    if (p.check_utf8 && !is_valid_utf8(content)) {
        return fail(p, ErrorKind::invalid_unicode_code_point, offset_of(p, p.cur));
    }
    return true;
}

bool parse_string(Parser& p, std::string_view& out) {
    bool escaped;
    if (!read_string(p, out, escaped)) return false;
    if (escaped) out = store_text(*p.arena, out);
    return true;
}

bool parse_value(Parser& p, Value& out) {
    if (p.cur == p.end) return fail_eof(p, ErrorKind::eof_value);
    switch (*p.cur) {
        case '"': {
            std::string_view text;
            if (!parse_string(p, text)) return false;
            out = make_string(text);
            return true;
        }
        case '-':
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9':
            return parse_number(p, out);
        case '{': return parse_object(p, out);
        case '[': return parse_array(p, out);
        case 'n': return parse_literal(p, "ull", make_null(), out);
        case 't': return parse_literal(p, "rue", make_bool(true), out);
        case 'f': return parse_literal(p, "alse", make_bool(false), out);
        default: return fail_at(p, ErrorKind::expected_value, p.cur);
    }
}

bool finish(Parser& p) {
    skip_whitespace(p);
    if (p.cur != p.end) return fail_at(p, ErrorKind::trailing_characters, p.cur);
    return true;
}

namespace {

Parsed parse_document(std::string_view input, bool check_utf8, Arena& arena) {
    // A fresh arena's first block takes about as many bytes as the values of a typical
    // document of this size need; untouched pages of it cost nothing.
    if (arena.blocks.empty()) {
        const std::size_t wanted = std::min(input.size(), std::size_t(1) << 25) * 2;
        arena.block_size = std::max<std::size_t>(4096, std::bit_ceil(wanted));
    }
    Parser p = start_parser(input, check_utf8, arena);
    Parsed result;
    skip_whitespace(p);
    result.ok = parse_value(p, result.value) && finish(p);
    if (!result.ok) {
        result.value = make_null();
        result.error = p.error;
    }
    return result;
}

}  // namespace

Parsed parse_text(std::string_view input, Arena& arena) { return parse_document(input, false, arena); }

Parsed parse_bytes(std::string_view input, Arena& arena) { return parse_document(input, true, arena); }

}  // namespace zelk::json
