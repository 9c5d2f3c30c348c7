// The compact printer: no whitespace, members in byte order of their names, numbers and
// strings in their one canonical form. Printing cannot fail.
#pragma once

#include "json/value.hpp"

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace zelk::json {

// Who frees a buffer's block: the buffer, or (for a block lent by the caller, see `lend`)
// nobody.
struct BlockRelease {
    bool owned = true;
    void operator()(char* block) const noexcept {
        if (owned) delete[] block;
    }
};

// One growing output buffer. Writers reserve room for a token, write it through a plain
// pointer and commit the new end; the bytes beyond `size` are never initialised.
struct Buffer {
    std::unique_ptr<char[], BlockRelease> data;
    std::size_t size = 0;
    std::size_t capacity = 0;
};

// Makes the empty `buffer` write into the caller's block of `capacity` bytes. Should it
// need more room, it moves to a block of its own and leaves the lent one as it was then.
inline void lend(Buffer& buffer, char* block, std::size_t capacity) noexcept {
    buffer.data = std::unique_ptr<char[], BlockRelease>(block, BlockRelease{false});
    buffer.size = 0;
    buffer.capacity = capacity;
}

// Out-of-line slow path of `reserve`.
char* grow(Buffer& buffer, std::size_t room);

// A pointer to the end of the buffer with room for `room` more bytes.
inline char* reserve(Buffer& buffer, std::size_t room) {
    if (buffer.capacity - buffer.size < room) return grow(buffer, room);
    return buffer.data.get() + buffer.size;
}

// Marks everything up to `end` (inside the reserved room) as written.
inline void commit(Buffer& buffer, char* end) noexcept { buffer.size = std::size_t(end - buffer.data.get()); }

inline void append(Buffer& buffer, std::string_view bytes) {
    char* w = reserve(buffer, bytes.size());
    if (!bytes.empty()) std::memcpy(w, bytes.data(), bytes.size());
    commit(buffer, w + bytes.size());
}

inline void put(Buffer& buffer, char c) {
    char* w = reserve(buffer, 1);
    *w = c;
    commit(buffer, w + 1);
}

inline std::string_view view(const Buffer& buffer) noexcept { return {buffer.data.get(), buffer.size}; }

// Appends the compact form of `value`.
void print_value(Buffer& out, const Value& value);

// Appends a string in its printed form: quoted, with the escapes of the compact form.
void print_string(Buffer& out, std::string_view text);

// The compact form of `value` as a string.
std::string to_text(const Value& value);

// Room a number needs at most in `write_double`, `write_uint` or `write_sint`.
inline constexpr std::size_t number_room = 32;

// Writes a double in its printed form ("null" when not finite) and returns the new end.
char* write_double(char* out, double value) noexcept;
char* write_uint(char* out, std::uint64_t value) noexcept;

// Writes the decimal d1.d2...dn x 10^x (digits without leading or trailing zeros, n from
// 1 to 17) in the layout of printed doubles, without its sign; returns the new end.
char* write_decimal(char* out, const char* digits, int n, int x) noexcept;
char* write_sint(char* out, std::int64_t value) noexcept;

}  // namespace zelk::json

namespace zelk::json {

// What a routine answering with JSON text gives back: the text, or the message of the
// ValueError its caller raises.
struct Outcome {
    Buffer text;
    std::string error;  // empty on success

    bool ok() const noexcept { return error.empty(); }
};

}  // namespace zelk::json
