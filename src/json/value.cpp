// Value helpers and the arena's slow path.
#include "json/value.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace zelk::json {

const Value* find_member(const Value& object, std::string_view name) noexcept {
    if (object.kind != Kind::object) return nullptr;
    const auto members = members_of(object);
    const auto it = std::lower_bound(members.begin(), members.end(), name,
                                     [](const Member& m, std::string_view n) { return name_less(m.name, n); });
    return it != members.end() && it->name == name ? &it->value : nullptr;
}

bool same_value(const Value& a, const Value& b) noexcept {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case Kind::null: return true;
        case Kind::boolean: return a.boolean == b.boolean;
        case Kind::uint: return a.uint == b.uint;
        case Kind::sint: return a.sint == b.sint;
        case Kind::real: return std::bit_cast<std::uint64_t>(a.real) == std::bit_cast<std::uint64_t>(b.real);
        case Kind::string: return text_of(a) == text_of(b);
        case Kind::array:
            return std::equal(a.items, a.items + a.size, b.items, b.items + b.size, same_value);
        case Kind::object:
            return std::equal(a.members, a.members + a.size, b.members, b.members + b.size,
                              [](const Member& x, const Member& y) {
                                  return x.name == y.name && same_value(x.value, y.value);
                              });
    }
    return false;
}

namespace {

std::byte* new_block(Arena& arena, std::size_t bytes) {
    // Make room first, so that the push below cannot throw and leak the block.
    if (arena.blocks.size() == arena.blocks.capacity()) arena.blocks.reserve(2 * arena.blocks.size() + 8);
    std::byte* block = new std::byte[bytes];
    arena.blocks.emplace_back(block);
    return block;
}

}  // namespace

void* allocate_block(Arena& arena, std::size_t bytes, std::size_t align) {
    // A request larger than a quarter block gets a block of its own, so the current
    // block keeps serving small requests.
    if (bytes > arena.block_size / 4) {
        if (bytes > SIZE_MAX - align) throw std::bad_alloc();
        std::byte* p = new_block(arena, bytes + align);
        return p + (align - reinterpret_cast<std::uintptr_t>(p) % align) % align;
    }
    arena.next = new_block(arena, arena.block_size);
    arena.left = arena.block_size;
    if (arena.block_size < (std::size_t(1) << 24)) arena.block_size *= 2;
    return allocate(arena, bytes, align);
}

std::string_view store_text(Arena& arena, std::string_view text) {
    if (text.empty()) return {};
    auto* p = static_cast<char*>(allocate(arena, text.size(), 1));
    std::memcpy(p, text.data(), text.size());
    return {p, text.size()};
}

}  // namespace zelk::json
