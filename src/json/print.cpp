// The compact printer.
#include "json/print.hpp"

#include "json/number_print.hpp"
#include "json/scan.hpp"

#include <bit>
#include <cmath>
#include <cstring>

namespace zelk::json {

namespace {

constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the escape of the byte `c` (a quote, a backslash or a control byte); returns the
// new end.
char* write_escape(char* w, unsigned char c) noexcept {
    *w++ = '\\';
    switch (c) {
        case '"': *w++ = '"'; break;
        case '\\': *w++ = '\\'; break;
        case '\b': *w++ = 'b'; break;
        case '\t': *w++ = 't'; break;
        case '\n': *w++ = 'n'; break;
        case '\f': *w++ = 'f'; break;
        case '\r': *w++ = 'r'; break;
        default:
            std::memcpy(w, "u00", 3);
            w[3] = "0123456789abcdef"[c >> 4];
            w[4] = "0123456789abcdef"[c & 15];
            w += 5;
    }
    return w;
}

}  // namespace

void print_string(Buffer& out, std::string_view text) {
    const char* s = text.data();
    const char* const end = s + text.size();
    // Room for the quotes and the plain runs (copied a vector at a time, never written
    // past the room of the bytes still to come); each escape reserves its own extra room.
    char* w = reserve(out, text.size() + 2);
    *w++ = '"';
    for (;;) {
        w = copy_plain(w, s, end);
        if (s == end) break;
        // An escape: up to five bytes more than the one byte counted, and the closing quote.
        commit(out, w);
        w = reserve(out, std::size_t(end - s) + 6);
        w = write_escape(w, static_cast<unsigned char>(*s++));
    }
    *w++ = '"';
    commit(out, w);
}

namespace {

void print_in(Buffer& out, const Value& v) {
    switch (v.kind) {
        case Kind::null: append(out, "null"); return;
        case Kind::boolean:
            append(out, v.boolean ? std::string_view("true") : std::string_view("false"));
            return;
        case Kind::uint: commit(out, write_uint(reserve(out, number_room), v.uint)); return;
        case Kind::sint: commit(out, write_sint(reserve(out, number_room), v.sint)); return;
        case Kind::real: commit(out, write_double(reserve(out, number_room), v.real)); return;
        case Kind::string: print_string(out, text_of(v)); return;
        case Kind::array:
            put(out, '[');
            for (std::size_t i = 0; i < v.size; ++i) {
                if (i != 0) put(out, ',');
                print_in(out, v.items[i]);
            }
            put(out, ']');
            return;
        case Kind::object:
            put(out, '{');
            for (std::size_t i = 0; i < v.size; ++i) {
                if (i != 0) put(out, ',');
                print_string(out, v.members[i].name);
                put(out, ':');
                print_in(out, v.members[i].value);
            }
            put(out, '}');
            return;
    }
}

}  // namespace

char* grow(Buffer& buffer, std::size_t room) {
    std::size_t capacity = buffer.capacity < 256 ? 256 : buffer.capacity * 2;
    if (capacity - buffer.size < room) capacity = buffer.size + room;
    std::unique_ptr<char[], BlockRelease> data(new char[capacity]);
    if (buffer.size != 0) std::memcpy(data.get(), buffer.data.get(), buffer.size);
    buffer.data = std::move(data);
    buffer.capacity = capacity;
    return buffer.data.get() + buffer.size;
}

void print_value(Buffer& out, const Value& value) { print_in(out, value); }

std::string to_text(const Value& value) {
    Buffer out;
    print_value(out, value);
    return std::string(view(out));
}

char* write_uint(char* out, std::uint64_t value) noexcept {
    char buf[20];
    char* p = buf + 20;
    while (value >= 100) {
        const auto pair = unsigned(value % 100) * 2;
        value /= 100;
        p -= 2;
        p[0] = digit_pairs[pair];
        p[1] = digit_pairs[pair + 1];
    }
    if (value >= 10) {
        p -= 2;
        p[0] = digit_pairs[value * 2];
        p[1] = digit_pairs[value * 2 + 1];
    } else {
        *--p = char('0' + value);
    }
    const std::size_t n = std::size_t(buf + 20 - p);
    std::memcpy(out, p, n);
    return out + n;
}

char* write_sint(char* out, std::int64_t value) noexcept {
    if (value >= 0) return write_uint(out, std::uint64_t(value));
    *out++ = '-';
    return write_uint(out, 0 - std::uint64_t(value));
}

char* write_decimal(char* out, const char* digits, int n, int x) noexcept {
    if (x < -5 || x > 15) {
        *out++ = digits[0];
        if (n > 1) {
            *out++ = '.';
            copy_short(out, digits + 1, std::size_t(n - 1));
            out += n - 1;
        }
        *out++ = 'e';
        *out++ = x < 0 ? '-' : '+';
        const unsigned magnitude = unsigned(x < 0 ? -x : x);
        if (magnitude >= 1000) return write_uint(out, magnitude);
        if (magnitude >= 100) {
            std::memcpy(out, digit_pairs + 2 * (magnitude / 10), 2);
            out[2] = char('0' + magnitude % 10);
            return out + 3;
        }
        if (magnitude >= 10) {
            std::memcpy(out, digit_pairs + 2 * magnitude, 2);
            return out + 2;
        }
        *out = char('0' + magnitude);
        return out + 1;
    }
    if (x < 0) {
        *out++ = '0';
        *out++ = '.';
        for (int i = 0; i < -x - 1; ++i) *out++ = '0';
        copy_short(out, digits, std::size_t(n));
        return out + n;
    }
    if (x < n - 1) {
        copy_short(out, digits, std::size_t(x + 1));
        out += x + 1;
        *out++ = '.';
        copy_short(out, digits + x + 1, std::size_t(n - x - 1));
        return out + (n - x - 1);
    }
    copy_short(out, digits, std::size_t(n));
    out += n;
    for (int i = 0; i < x - n + 1; ++i) *out++ = '0';
    *out++ = '.';
    *out++ = '0';
    return out;
}

char* write_double(char* out, double value) noexcept {
    if (!std::isfinite(value)) {
        std::memcpy(out, "null", 4);
        return out + 4;
    }
    if (std::signbit(value)) {
        *out++ = '-';
        value = -value;
    }
    if (value == 0) {
        std::memcpy(out, "0.0", 3);
        return out + 3;
    }
    // Shortest round-trip digits d1.d2...dn and the decimal exponent X of d1.
    const ShortestDecimal d = shortest_decimal(value);
    char digits[24];
    const int n = write_digits(digits, d.digits);
    return write_decimal(out, digits, n, d.exponent + n - 1);
}

}  // namespace zelk::json
