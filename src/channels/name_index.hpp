// An index from names to positions in an array the caller keeps, for the channel and
// reducer tables of a superstep. Names come from whatever the nodes wrote, so they may be
// chosen to collide: the index hashes with SipHash-1-3 under a key drawn per call, which no
// caller can see, so no set of names can be prepared to pile up in one probe run.
//
// Open addressing with linear probing over a power-of-two table kept at most half full.
// A slot holds the position plus one (0 marks an empty slot) and the upper 32 bits of the
// name's hash, so a probe compares the bytes of a name only when those bits agree.
#pragma once

#include "scheduler/name_hash.hpp"

#include <cstddef>
#include <cstdint>
#include <new>
#include <string_view>
#include <vector>

namespace zelk::channels {

struct IndexSlot {
    std::uint32_t tag = 0;
    std::uint32_t position = 0;  // position + 1; 0 when the slot is empty
};

struct NameIndex {
    scheduler::HashKey key{};
    std::vector<IndexSlot> slots;
    std::size_t count = 0;
    // Probe statistics, for tests: the sum over inserted names of the slots stepped over
    // before the free one, and the longest such run.
    std::size_t probe_total = 0;
    std::size_t probe_longest = 0;
};

inline constexpr std::size_t not_found = SIZE_MAX;

inline std::uint64_t hash_name(const NameIndex& index, std::string_view name) {
    return scheduler::name_hash(index.key, name);
}

// An empty index under `key` with room for `expected` names before it grows.
inline NameIndex make_index(scheduler::HashKey key, std::size_t expected) {
    NameIndex index;
    index.key = key;
    std::size_t size = 16;
    while (size / 2 < expected) {
        if (size > SIZE_MAX / 4 / sizeof(IndexSlot)) throw std::bad_alloc();
        size *= 2;
    }
    index.slots.resize(size);
    return index;
}

namespace detail {

// Puts `position` (known absent) into its slot; returns the number of slots stepped over.
inline std::size_t place(std::vector<IndexSlot>& slots, std::uint64_t hash, std::size_t position) {
    const std::size_t mask = slots.size() - 1;
    std::size_t i = std::size_t(hash) & mask;
    std::size_t steps = 0;
    while (slots[i].position != 0) {
        i = (i + 1) & mask;
        ++steps;
    }
    slots[i] = IndexSlot{std::uint32_t(hash >> 32), std::uint32_t(position + 1)};
    return steps;
}

}  // namespace detail

// The position of `name` (whose hash under the index's key is `hash`), or not_found.
// `name_at(position)` gives the name stored at a position.
template <class NameAt>
std::size_t find_name(const NameIndex& index, std::uint64_t hash, std::string_view name, NameAt&& name_at) {
    const std::size_t mask = index.slots.size() - 1;
    const auto tag = std::uint32_t(hash >> 32);
    for (std::size_t i = std::size_t(hash) & mask;; i = (i + 1) & mask) {
        const IndexSlot slot = index.slots[i];
        if (slot.position == 0) return not_found;
        if (slot.tag == tag && name_at(slot.position - 1) == name) return slot.position - 1;
    }
}

// Records that `name` (absent from the index, hash `hash`) is at `position`; `rehash(p)`
// gives the hash of the name at an earlier position when the table grows.
template <class HashAt>
void add_name(NameIndex& index, std::uint64_t hash, std::size_t position, HashAt&& hash_at) {
    if (position >= UINT32_MAX - 1) throw std::bad_alloc();
    if ((index.count + 1) * 2 > index.slots.size()) {
        std::vector<IndexSlot> bigger(index.slots.size() * 2);
        for (const IndexSlot slot : index.slots) {
            if (slot.position != 0) detail::place(bigger, hash_at(slot.position - 1), slot.position - 1);
        }
        index.slots.swap(bigger);
    }
    const std::size_t steps = detail::place(index.slots, hash, position);
    index.probe_total += steps;
    if (steps > index.probe_longest) index.probe_longest = steps;
    ++index.count;
}

}  // namespace zelk::channels
