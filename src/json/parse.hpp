// The JSON parser: one forward pass over the input, values into an arena.
//
// Two entry points share everything but one rule: `parse_text` takes input that is
// already known to be UTF-8 (a Python str), `parse_bytes` takes arbitrary bytes and checks
// that the content of every string is well-formed UTF-8.
//
// The building blocks (the `Parser` record, `parse_value`, `parse_string`, the container
// readers) are public so that a caller reading JSON into a shape of its own gets exactly
// the same syntax, nesting budget, error kinds and positions as a full parse.
#pragma once

#include "json/scan.hpp"
#include "json/utf8.hpp"
#include "json/value.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zelk::json {

enum class ErrorKind : std::uint8_t {
    eof_list,
    eof_object,
    eof_string,
    eof_value,
    expected_colon,
    expected_comma_or_bracket,
    expected_comma_or_brace,
    expected_ident,
    expected_value,
    invalid_escape,
    invalid_number,
    number_out_of_range,
    invalid_unicode_code_point,
    control_character,
    key_must_be_a_string,
    lone_leading_surrogate,
    trailing_comma,
    trailing_characters,
    unexpected_end_of_hex_escape,
    recursion_limit_exceeded,
    invalid_type,  // a reader of a fixed shape found a value of another kind
};

// The fixed description of an error kind, e.g. "expected value".
std::string_view describe(ErrorKind kind) noexcept;

// A parse error: its kind and the byte offset it is reported at (0 <= offset <= input size).
// An `invalid_type` error also holds the value found (a scalar as read, valid as long as
// the input and the arena are; an array or an object by its kind alone) and a description
// of what was expected instead, such as "a map".
struct ParseError {
    ErrorKind kind = ErrorKind::eof_value;
    std::size_t offset = 0;
    Value found;
    std::string_view expected;
};

// Line (from 1) and column (bytes after the last line feed) of an offset.
struct Position {
    std::size_t line = 1;
    std::size_t column = 0;
};
Position locate(std::string_view input, std::size_t offset) noexcept;

// " at line L column C" for an offset into `input`.
std::string position_suffix(std::string_view input, std::size_t offset);

// The full message: the description (for `invalid_type`, with what was found and what
// was expected) followed by the position suffix.
std::string error_message(std::string_view input, const ParseError& error);

// At most this many arrays and objects minus one can be open at once.
inline constexpr int depth_budget = 128;

struct Parser {
    const char* begin = nullptr;
    const char* cur = nullptr;
    const char* end = nullptr;
    bool check_utf8 = false;
    int budget = depth_budget;
    Arena* arena = nullptr;
    std::vector<Value> items;     // scratch stack of the open arrays' items
    std::vector<Member> members;  // scratch stack of the open objects' members
    std::string unescaped;        // scratch for a string with escapes
    ParseError error;             // the first error, once a step has returned false
};

Parser start_parser(std::string_view input, bool check_utf8, Arena& arena);

inline bool is_whitespace(char c) noexcept {
    return static_cast<unsigned char>(c) <= ' ' && (c == ' ' || c == '\n' || c == '\r' || c == '\t');
}

// Compact text has no whitespace and indented text mostly a single blank (after a colon)
// or a line feed and an indent: the first two bytes are looked at in line.
inline void skip_whitespace(Parser& p) noexcept {
    if (p.cur == p.end || !is_whitespace(*p.cur)) return;
    if (++p.cur == p.end || !is_whitespace(*p.cur)) return;
    p.cur = skip_blanks(p.cur + 1, p.end);
}

inline std::size_t offset_of(const Parser& p, const char* at) noexcept { return std::size_t(at - p.begin); }

// Records an error at `offset` and returns false, so a step can `return fail(...)`.
inline bool fail(Parser& p, ErrorKind kind, std::size_t offset) noexcept {
    p.error = {kind, offset, {}, {}};
    return false;
}

// An error reported at the byte `at`: its position is the offset just after that byte.
inline bool fail_at(Parser& p, ErrorKind kind, const char* at) noexcept {
    return fail(p, kind, offset_of(p, at) + 1);
}

inline bool fail_eof(Parser& p, ErrorKind kind) noexcept { return fail(p, kind, offset_of(p, p.end)); }

// Records that `found`, read up to p.cur, is not what a reader of a fixed shape expected.
inline bool fail_type(Parser& p, const Value& found, std::string_view expected) noexcept {
    p.error = {ErrorKind::invalid_type, offset_of(p, p.cur), found, expected};
    return false;
}

// Reads one value starting exactly at p.cur (whitespace already skipped).
bool parse_value(Parser& p, Value& out);

// Reads one string starting at its opening quote; the result is a view of the input or of
// the arena.
bool parse_string(Parser& p, std::string_view& out);

// The same without storing: the content is a view of the input when the string held no
// escapes (`escaped` false), else of p.unescaped, valid until the next string is read.
bool read_string(Parser& p, std::string_view& content, bool& escaped);

// After the value: only whitespace may follow.
bool finish(Parser& p);

// Nesting budget, taken before an opening bracket is consumed and given back after its
// closing bracket.
inline bool enter_container(Parser& p) {
    if (--p.budget == 0) return fail_at(p, ErrorKind::recursion_limit_exceeded, p.cur);
    ++p.cur;
    return true;
}

inline void leave_container(Parser& p) noexcept { ++p.budget; }

// Reads an array starting at its "[": checks the nesting budget, handles brackets, commas
// and whitespace, and calls `read_item()` with p.cur at the first byte of each item.
template <class ReadItem>
bool read_array(Parser& p, ReadItem&& read_item) {
    if (!enter_container(p)) return false;
    skip_whitespace(p);
    if (p.cur == p.end) return fail_eof(p, ErrorKind::eof_list);
    if (*p.cur != ']') {
        for (;;) {
            if (!read_item()) return false;
            skip_whitespace(p);
            if (p.cur == p.end) return fail_eof(p, ErrorKind::eof_list);
            if (*p.cur == ']') break;
            if (*p.cur != ',') return fail_at(p, ErrorKind::expected_comma_or_bracket, p.cur);
            ++p.cur;
            skip_whitespace(p);
            if (p.cur != p.end && *p.cur == ']') return fail_at(p, ErrorKind::trailing_comma, p.cur);
        }
    }
    ++p.cur;
    leave_container(p);
    return true;
}

// Reads an object starting at its "{": checks the nesting budget, reads each member name
// and its colon, and calls `read_member(name)` with p.cur at the first byte of the member
// value (whitespace skipped; it may be the end of input).
template <class ReadMember>
bool read_object(Parser& p, ReadMember&& read_member) {
    if (!enter_container(p)) return false;
    skip_whitespace(p);
    if (p.cur == p.end) return fail_eof(p, ErrorKind::eof_object);
    if (*p.cur != '}') {
        if (*p.cur != '"') return fail_at(p, ErrorKind::key_must_be_a_string, p.cur);
        for (;;) {
            std::string_view name;
            if (!parse_string(p, name)) return false;
            skip_whitespace(p);
            if (p.cur == p.end) return fail_eof(p, ErrorKind::eof_object);
            if (*p.cur != ':') return fail_at(p, ErrorKind::expected_colon, p.cur);
            ++p.cur;
            skip_whitespace(p);
            if (!read_member(name)) return false;
            skip_whitespace(p);
            if (p.cur == p.end) return fail_eof(p, ErrorKind::eof_object);
            if (*p.cur == '}') break;
            if (*p.cur != ',') return fail_at(p, ErrorKind::expected_comma_or_brace, p.cur);
            ++p.cur;
            skip_whitespace(p);
            if (p.cur == p.end) return fail_eof(p, ErrorKind::eof_value);
            if (*p.cur == '}') return fail_at(p, ErrorKind::trailing_comma, p.cur);
            if (*p.cur != '"') return fail_at(p, ErrorKind::key_must_be_a_string, p.cur);
        }
    }
    ++p.cur;
    leave_container(p);
    return true;
}

// Sorts the records in [first, first + count) by their `name` and drops all but the last
// of each run of equal names; returns the new count. Records with equal names keep their
// order of appearance before the drop, so the last occurrence in the text wins. Only what
// follows the strictly ascending prefix is sorted; it is then merged into that prefix.
template <class Named>
std::size_t sort_by_name(Named* first, std::size_t count) {
    std::size_t i = 1;
    while (i < count && name_less(first[i - 1].name, first[i].name)) ++i;
    if (i >= count) return count;  // already strictly ascending: the usual case
    const auto by_name = [](const Named& a, const Named& b) { return name_less(a.name, b.name); };
    if (count <= 24) {
        // Insertion sort: stable and without allocation for the small objects that
        // dominate real documents.
        for (; i < count; ++i) {
            const Named m = first[i];
            std::size_t j = i;
            while (j > 0 && name_less(m.name, first[j - 1].name)) {
                first[j] = first[j - 1];
                --j;
            }
            first[j] = m;
        }
    } else {
        // The rest sorted stably, then merged after the prefix's equal names.
        std::stable_sort(first + i, first + count, by_name);
        if (!name_less(first[i - 1].name, first[i].name))
            std::inplace_merge(first, first + i, first + count, by_name);
    }
    std::size_t kept = 0;
    for (std::size_t k = 0; k < count; ++k) {
        if (k + 1 < count && first[k].name == first[k + 1].name) continue;
        first[kept++] = first[k];
    }
    return kept;
}

inline std::size_t sort_members(Member* first, std::size_t count) { return sort_by_name(first, count); }

struct Parsed {
    Value value;
    bool ok = false;
    ParseError error;
};

// One whole document: whitespace, one value, whitespace, nothing else.
Parsed parse_text(std::string_view input, Arena& arena);
Parsed parse_bytes(std::string_view input, Arena& arena);

}  // namespace zelk::json
