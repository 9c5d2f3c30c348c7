// JSON values: a small trivially copyable record per value, children stored in an arena.
//
// A value never owns memory of its own. Strings point either into the text they were
// parsed from (when the text held no escapes) or into the arena; arrays and objects point
// at blocks in the arena. Whoever parses therefore keeps the input text and the arena alive
// for as long as the values are used. Blocks are never freed one by one: the arena releases
// everything at once, which is what makes parsing free of per-value heap traffic.
//
// Values are immutable once built. Copying a value is shallow, and because nothing is
// edited in place, sharing a subtree behaves exactly like a deep copy. (The append
// reducer may extend an array block it allocated itself; it keeps that fact on its side.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

namespace zelk::json {

enum class Kind : std::uint8_t {
    null,
    boolean,
    uint,  // unsigned 64-bit integer: every integer from 0 up
    sint,  // signed 64-bit integer: negative integers only
    real,  // finite double
    string,
    array,
    object,
};

struct Member;

struct Value {
    Kind kind = Kind::null;
    std::size_t size = 0;  // bytes of a string, items of an array, members of an object
    union {
        std::uint64_t uint = 0;
        std::int64_t sint;
        double real;
        bool boolean;
        const char* chars;
        Value* items;
        Member* members;
    };
};

// Byte order of names: unsigned bytes, a proper prefix first. Most names differ in their
// first byte, which is compared here before the library comparison is called.
inline bool name_less(std::string_view a, std::string_view b) noexcept {
    if (!a.empty() && !b.empty() && a[0] != b[0]) {
        return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]);
    }
    return a < b;
}

// Object members are kept sorted by name in byte order (`name_less`), names unique.
struct Member {
    std::string_view name;
    Value value;
};

// ---------------------------------------------------------------- construction

inline Value make_null() noexcept { return Value{}; }

inline Value make_bool(bool b) noexcept {
    Value v;
    v.kind = Kind::boolean;
    v.boolean = b;
    return v;
}

inline Value make_uint(std::uint64_t u) noexcept {
    Value v;
    v.kind = Kind::uint;
    v.uint = u;
    return v;
}

// `i` must be negative: non-negative integers are always held unsigned.
inline Value make_sint(std::int64_t i) noexcept {
    Value v;
    v.kind = Kind::sint;
    v.sint = i;
    return v;
}

inline Value make_real(double d) noexcept {
    Value v;
    v.kind = Kind::real;
    v.real = d;
    return v;
}

inline Value make_string(std::string_view s) noexcept {
    Value v;
    v.kind = Kind::string;
    v.chars = s.data();
    v.size = s.size();
    return v;
}

inline Value make_array(Value* items, std::size_t size) noexcept {
    Value v;
    v.kind = Kind::array;
    v.items = items;
    v.size = size;
    return v;
}

// `members` must already be sorted by name and free of repeated names.
inline Value make_object(Member* members, std::size_t size) noexcept {
    Value v;
    v.kind = Kind::object;
    v.members = members;
    v.size = size;
    return v;
}

// ---------------------------------------------------------------- access

inline std::string_view text_of(const Value& v) noexcept { return {v.chars, v.size}; }
inline std::span<const Value> items_of(const Value& v) noexcept { return {v.items, v.size}; }
inline std::span<const Member> members_of(const Value& v) noexcept { return {v.members, v.size}; }

// ---------------------------------------------------------------- arena

// A bump allocator: blocks of growing size, released together when the arena goes.
struct Arena {
    std::vector<std::unique_ptr<std::byte[]>> blocks;
    std::byte* next = nullptr;
    std::size_t left = 0;
    std::size_t block_size = 4096;
};

// Out-of-line slow path of `allocate`.
void* allocate_block(Arena& arena, std::size_t bytes, std::size_t align);

inline void* allocate(Arena& arena, std::size_t bytes, std::size_t align) {
    const std::size_t pad = (align - reinterpret_cast<std::uintptr_t>(arena.next) % align) % align;
    if (arena.left < pad || arena.left - pad < bytes) return allocate_block(arena, bytes, align);
    std::byte* p = arena.next + pad;
    arena.next = p + bytes;
    arena.left -= pad + bytes;
    return p;
}

// Room for `count` objects of a trivially copyable type, left uninitialised.
template <class T>
T* allocate_array(Arena& arena, std::size_t count) {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
    if (count == 0) return nullptr;
    if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocate(arena, count * sizeof(T), alignof(T)));
}

// A copy of `text` in the arena.
std::string_view store_text(Arena& arena, std::string_view text);

}  // namespace zelk::json
