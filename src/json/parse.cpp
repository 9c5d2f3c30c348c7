// The JSON parser. Every step reads forward with at most one byte of look-ahead; items
// and members of open containers collect on two scratch stacks and move into the arena
// when their container closes, so the only allocations are the arena's blocks and the
// stacks' occasional growth.
#include "json/parse.hpp"

#include "json/number_parse.hpp"
#include "json/print.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>

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

// The value of eight digit characters read as one little-endian word, or -1 when any of
// them is not a digit. Pairs of digits are combined in each byte, then pairs of pairs by
// two multiplications that place the partial sums in the upper half of the word.
inline std::int64_t eight_digit_value(const char* at) noexcept {
    std::uint64_t v;
    std::memcpy(&v, at, 8);
    // A digit is 0x30..0x39: high nibble 3, and adding 6 leaves it there.
    if ((v & 0xF0F0F0F0F0F0F0F0ull) != 0x3030303030303030ull ||
        ((v + 0x0606060606060606ull) & 0xF0F0F0F0F0F0F0F0ull) != 0x3030303030303030ull) {
        return -1;
    }
    v -= 0x3030303030303030ull;
    v = v * 10 + (v >> 8);  // bytes 0, 2, 4, 6: the two-digit values d0d1, d2d3, d4d5, d6d7
    const std::uint64_t outer = (v & 0x000000FF000000FFull) * (100 + (std::uint64_t(1000000) << 32));
    const std::uint64_t inner = ((v >> 16) & 0x000000FF000000FFull) * (1 + (std::uint64_t(10000) << 32));
    return std::int64_t((outer + inner) >> 32);
}

// p.cur is at "-" or a digit.
bool parse_number(Parser& p, Value& out) {
    const char* const start = p.cur;
    const bool negative = *p.cur == '-';
    if (negative) ++p.cur;
    if (p.cur == p.end) return fail_eof(p, ErrorKind::eof_value);
    if (!is_digit(*p.cur)) return fail_at(p, ErrorKind::invalid_number, p.cur);

    // Significand S of the leading digits that fit in 64 bits and its power of ten: every
    // integer digit that does not fit raises the power, fraction digits that do lower it.
    std::uint64_t s = 0;
    bool dropped = false;    // a digit did not fit
    bool truncated = false;  // a nonzero digit did not fit
    std::int64_t power = 0;
    int taken = 0;  // digits in S; any 19 digits fit, the 20th only below 2^64
    const auto take_digit = [&](char c) {
        const unsigned d = unsigned(c - '0');
        if (!dropped &&
            (taken < 19 || s < 1844674407370955161ull || (s == 1844674407370955161ull && d <= 5))) {
            s = s * 10 + d;
            ++taken;
            return true;
        }
        dropped = true;
        truncated |= d != 0;
        return false;
    };
    // Runs of eight digits while S has room for them all (S below 10^11 before), exactly as
    // eight calls of take_digit would take them; `step` is the power's change per run.
    const auto take_eights = [&](std::int64_t step) {
        if constexpr (std::endian::native == std::endian::little) {
            while (p.end - p.cur >= 8 && taken <= 11) {
                const std::int64_t eight = eight_digit_value(p.cur);
                if (eight < 0) break;
                s = s * 100000000 + std::uint64_t(eight);
                taken += 8;
                power += step;
                p.cur += 8;
            }
        }
    };

    if (*p.cur == '0') {
        ++p.cur;
        if (p.cur != p.end && is_digit(*p.cur)) return fail_at(p, ErrorKind::invalid_number, p.cur);
    } else {
        take_eights(0);
        while (p.cur != p.end && is_digit(*p.cur)) {
            if (!take_digit(*p.cur)) ++power;
            ++p.cur;
        }
    }
    const char* const integer_end = p.cur;

    const bool has_fraction = p.cur != p.end && *p.cur == '.';
    const char* fraction_start = p.cur;
    if (has_fraction) {
        fraction_start = ++p.cur;
        if (p.cur == p.end) return fail_eof(p, ErrorKind::eof_value);
        if (!is_digit(*p.cur)) return fail_at(p, ErrorKind::invalid_number, p.cur);
        take_eights(-8);
        while (p.cur != p.end && is_digit(*p.cur)) {
            if (take_digit(*p.cur)) --power;
            ++p.cur;
        }
    }
    const char* const fraction_end = has_fraction ? p.cur : fraction_start;  // empty without one

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

    const DecimalDigits digits{
        {start + (negative ? 1 : 0), std::size_t(integer_end - start - (negative ? 1 : 0))},
        {fraction_start, std::size_t(fraction_end - fraction_start)},
        exponent};
    const double d = nearest_double(s, power + exponent, truncated, digits);
    if (d == std::numeric_limits<double>::infinity()) {
        return fail(p, ErrorKind::number_out_of_range, offset_of(p, p.cur));
    }
    out = make_real(negative ? -d : d);
    return true;
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
        case ErrorKind::invalid_type: return "invalid type";
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

namespace {

// A string as an invalid-type message shows it: in double quotes, with quotes, backslashes
// and the usual control characters escaped by a backslash, and every other control
// character (C0, DEL and the C1 range U+0080 to U+009F) as \u{h} in lowercase hex.
void describe_string(std::string& out, std::string_view s) {
    out += "string \"";
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        unsigned control = 0x100;  // a control character to show as \u{h}, if below 0x100
        switch (c) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case '\0': out += "\\0"; continue;
            default:
                if (c < 0x20 || c == 0x7F) {
                    control = c;
                } else if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
                           static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
                    control = static_cast<unsigned char>(s[++i]);  // U+0080 to U+009F
                }
        }
        if (control > 0xFF) {
            out += char(c);
            continue;
        }
        out += "\\u{";
        if (control >= 0x10) out += "0123456789abcdef"[control >> 4];
        out += "0123456789abcdef"[control & 15];
        out += '}';
    }
    out += '"';
}

// What an invalid-type message calls the value found.
void describe_found(std::string& out, const Value& v) {
    switch (v.kind) {
        case Kind::null: out += "null"; break;
        case Kind::boolean: out += v.boolean ? "boolean `true`" : "boolean `false`"; break;
        case Kind::uint:
        case Kind::sint:
        case Kind::real:
            out += v.kind == Kind::real ? "floating point `" : "integer `";
            out += to_text(v);
            out += '`';
            break;
        case Kind::string: describe_string(out, text_of(v)); break;
        case Kind::array: out += "sequence"; break;
        case Kind::object: out += "map"; break;
    }
}

}  // namespace

std::string error_message(std::string_view input, const ParseError& error) {
    std::string message(describe(error.kind));
    if (error.kind == ErrorKind::invalid_type) {
        message += ": ";
        describe_found(message, error.found);
        message += ", expected ";
        message += error.expected;
    }
    return message + position_suffix(input, error.offset);
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
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9': return parse_number(p, out);
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
