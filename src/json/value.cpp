// The arena's slow path and text copies.
#include "json/value.hpp"

#include <cstring>

namespace zelk::json {

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
