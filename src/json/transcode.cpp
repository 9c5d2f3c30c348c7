// Parse and print in one pass.
#include "json/transcode.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace zelk::json {

namespace {

// A printed member: its name and where its text (name, colon, value) starts and ends in
// the output.
struct PrintedMember {
    std::string_view name;
    std::size_t start = 0;
    std::size_t end = 0;
};

struct Transcoder {
    Parser parser;
    Buffer& out;
    std::vector<PrintedMember> members;  // members of the open objects, innermost last
    std::string moved;                   // scratch copy of an object body being reordered
};

bool transcode_value(Transcoder& t);

// Appends the n input bytes at `from`. Short runs, the usual kind, are copied as two
// 8-byte words when the input and the output both have that much room (so neither the
// input's end nor the capacity of a buffer sized to the exact output is passed).
inline void copy_input(Transcoder& t, const char* from, std::size_t n) {
    if (n <= 16 && t.parser.end - from >= 16 && t.out.capacity - t.out.size >= 16) {
        char* const w = t.out.data.get() + t.out.size;
        std::memcpy(w, from, 8);
        std::memcpy(w + 8, from + 8, 8);
        commit(t.out, w + n);
        return;
    }
    char* const w = reserve(t.out, n);
    std::memcpy(w, from, n);
    commit(t.out, w + n);
}

inline void copy_token(Transcoder& t, const char* start) {
    copy_input(t, start, std::size_t(t.parser.cur - start));
}

// Prints the double `value` read from `literal`. A literal with at most 15 significant
// digits whose value is a normal double holds exactly the shortest digits of that double:
// decimals of up to 15 digits map to distinct normal doubles, so none shorter or equally
// short reads back as the same one. Those digits are laid out directly; any other literal
// goes through the shortest-digit generator.
void print_real(Buffer& out, std::string_view literal, double value) {
    char* w = reserve(out, number_room);
    // Longer literals (sign aside) have 15 significant digits or fewer only when they
    // carry an exponent or runs of zeros; unless the fraction starts with zeros they go
    // straight to the generator, which handles every literal.
    const std::string_view body = literal.substr(literal[0] == '-' ? 1 : 0);
    const bool short_literal = body.size() <= 17 || body.starts_with("0.0");
    if (short_literal && (value < 0 ? -value : value) >= 0x1p-1022) {
        char digits[15];
        int n = 0;
        std::int64_t x = -1;     // power of ten of the first significant digit, before "e"
        std::int64_t zeros = 0;  // zeros after the last nonzero significant digit
        bool point = false;
        std::size_t i = literal[0] == '-' ? 1 : 0;
        for (; i < literal.size() && literal[i] != 'e' && literal[i] != 'E'; ++i) {
            const char c = literal[i];
            if (c == '.') {
                point = true;
            } else if (n == 0 && c == '0') {
                if (point) --x;  // a leading zero of the fraction
            } else {
                if (!point) ++x;
                if (c == '0') {
                    ++zeros;
                } else {
                    if (n + zeros >= 15) break;
                    for (; zeros > 0; --zeros) digits[n++] = '0';
                    digits[n++] = c;
                }
            }
        }
        std::int64_t exponent = 0;
        bool fits = i == literal.size() || literal[i] == 'e' || literal[i] == 'E';
        if (fits && i < literal.size()) {
            std::size_t k = i + 1;
            const bool negative = literal[k] == '-';
            if (literal[k] == '+' || literal[k] == '-') ++k;
            for (; k < literal.size() && fits; ++k) {
                exponent = exponent * 10 + (literal[k] - '0');
                fits = exponent < (std::int64_t(1) << 40);
            }
            if (negative) exponent = -exponent;
        }
        if (fits && x + exponent >= -400 && x + exponent <= 400) {
            if (value < 0) *w++ = '-';
            commit(out, write_decimal(w, digits, n, int(x + exponent)));
            return;
        }
    }
    commit(out, write_double(w, value));
}

// The end of the integer literal at `cur` when it surely reads as an integer that prints
// as written: an optional "-" and then "0" (without the "-") or up to 18 digits that do
// not start with "0" (19 without the "-"), followed by the end of the input or a byte that
// cannot continue a number. Otherwise null, and the number parser decides.
inline const char* plain_integer_end(const char* cur, const char* end) noexcept {
    const bool negative = *cur == '-';
    const char* const digits = cur + (negative ? 1 : 0);
    const char* q = digits;
    if (q != end && *q == '0' && !negative) {
        ++q;
    } else {
        if (q == end || *q < '1' || *q > '9') return nullptr;
        // The digit run, eight bytes at a time: a byte is a digit when its high nibble is 3
        // and adding 6 keeps it so (a carry out of a non-digit byte only reaches bytes
        // after the first non-digit).
        constexpr std::uint64_t high_nibbles = 0xF0F0F0F0F0F0F0F0ull;
        constexpr std::uint64_t threes = 0x3030303030303030ull;
        constexpr std::uint64_t lows = 0x7F7F7F7F7F7F7F7Full;
        while (std::endian::native == std::endian::little && end - q >= 8) {
            std::uint64_t word;
            std::memcpy(&word, q, 8);
            const std::uint64_t off =
                ((word & high_nibbles) ^ threes) | (((word + 0x0606060606060606ull) & high_nibbles) ^ threes);
            const std::uint64_t non_digits = (((off & lows) + lows) | off) & ~lows;
            if (non_digits != 0) {
                q += std::countr_zero(non_digits) / 8;
                break;
            }
            q += 8;
        }
        while (q != end && *q >= '0' && *q <= '9') ++q;
        if (q - digits > (negative ? 18 : 19)) return nullptr;
    }
    if (q != end && ((*q >= '0' && *q <= '9') || *q == '.' || *q == 'e' || *q == 'E')) return nullptr;
    return q;
}

inline bool starts_number(char c) noexcept { return c == '-' || (c >= '0' && c <= '9'); }

bool transcode_array(Transcoder& t) {
    put(t.out, '[');
    bool first = true;
    const bool ok = read_array(t.parser, [&] {
        if (!first) put(t.out, ',');
        first = false;
        Parser& p = t.parser;
        if (p.cur != p.end && starts_number(*p.cur)) {
            // Integers separated by bare commas print as written: such a run is copied in
            // one piece, and the array reader goes on after its last integer.
            if (const char* run_end = plain_integer_end(p.cur, p.end)) {
                while (p.end - run_end >= 2 && *run_end == ',' && starts_number(run_end[1])) {
                    const char* const next = plain_integer_end(run_end + 1, p.end);
                    if (next == nullptr) break;
                    run_end = next;
                }
                const char* const start = p.cur;
                p.cur = run_end;
                copy_token(t, start);
                return true;
            }
        }
        return transcode_value(t);
    });
    if (!ok) return false;
    put(t.out, ']');
    return true;
}

// Puts the members printed since `mark` in name order, keeping the last of repeated names.
void order_members(Transcoder& t, std::size_t mark) {
    PrintedMember* first = t.members.data() + mark;
    const std::size_t count = t.members.size() - mark;
    std::size_t i = 1;
    while (i < count && name_less(first[i - 1].name, first[i].name)) ++i;
    if (i >= count) return;                   // already in order, as in every canonical text
    const std::size_t body = first[0].start;  // just after the opening brace
    for (i = 0; i < count; ++i) first[i].end = i + 1 < count ? first[i + 1].start - 1 : t.out.size;
    const std::size_t kept = sort_by_name(first, count);
    // Members that kept their place (each starts just after its predecessor's comma)
    // stay where they were printed; only the text from the first moved one is rewritten.
    std::size_t from = body;
    std::size_t same = 0;
    while (same < kept && first[same].start == from) from = first[same++].end + 1;
    if (same == kept) {  // only repeated names after the last kept member were dropped
        t.out.size = same == 0 ? body : first[same - 1].end;
        return;
    }
    t.moved.assign(t.out.data.get() + from, t.out.size - from);
    t.out.size = from;
    for (i = same; i < kept; ++i) {
        if (i != same) put(t.out, ',');
        append(t.out, std::string_view(t.moved).substr(first[i].start - from, first[i].end - first[i].start));
    }
}

bool transcode_object(Transcoder& t) {
    put(t.out, '{');
    const std::size_t mark = t.members.size();
    const bool ok = read_object(t.parser, [&](std::string_view name) {
        if (t.members.size() != mark) put(t.out, ',');
        t.members.push_back(PrintedMember{name, t.out.size, 0});
        if (name.data() > t.parser.begin && name.data() < t.parser.end) {
            // A view of the input: the name had no escapes and prints as written.
            copy_input(t, name.data() - 1, name.size() + 2);
        } else {
            print_string(t.out, name);
        }
        put(t.out, ':');
        return transcode_value(t);
    });
    if (!ok) return false;
    if (t.members.size() != mark) order_members(t, mark);
    t.members.resize(mark);
    put(t.out, '}');
    return true;
}

bool transcode_value(Transcoder& t) {
    Parser& p = t.parser;
    if (p.cur == p.end) return fail_eof(p, ErrorKind::eof_value);
    const char* const start = p.cur;
    switch (*p.cur) {
        case '[': return transcode_array(t);
        case '{': return transcode_object(t);
        case '"': {
            std::string_view content;
            bool escaped;
            if (!read_string(p, content, escaped)) return false;
            // Without escapes the text between the quotes holds no byte the printer
            // escapes, so the string prints exactly as it was written.
            if (escaped) {
                print_string(t.out, content);
            } else {
                copy_token(t, start);
            }
            return true;
        }
        default: break;
    }
    if (starts_number(*p.cur)) {
        if (const char* const integer_end = plain_integer_end(p.cur, p.end)) {
            p.cur = integer_end;
            copy_token(t, start);
            return true;
        }
    }
    Value scalar;
    if (!parse_value(p, scalar)) return false;
    if (scalar.kind == Kind::real) {
        print_real(t.out, {start, std::size_t(p.cur - start)}, scalar.real);
    } else {
        // Literals and integers (no leading zeros, "-" only before a nonzero magnitude)
        // print exactly as written.
        copy_token(t, start);
    }
    return true;
}

}  // namespace

bool parse_and_print(std::string_view input, bool check_utf8, Buffer& out, ParseError& error) {
    Arena arena;  // holds member names that had escapes
    Transcoder t{start_parser(input, check_utf8, arena), out, {}, {}};
    skip_whitespace(t.parser);
    if (transcode_value(t) && finish(t.parser)) return true;
    error = t.parser.error;
    return false;
}

}  // namespace zelk::json
