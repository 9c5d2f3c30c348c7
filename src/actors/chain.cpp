// Link hashing and chain verification.
#include "actors/chain.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace zelk::actors {

namespace {

// The links to their end, one block of every link that has one left per step.
void absorb_lanes(Sha256Path path, std::span<HashState> states, std::span<MessageBlocks> links) {
    for (;;) {
        HashState* lane_states[max_lanes];
        const std::uint8_t* lane_blocks[max_lanes];
        std::size_t lanes = 0;
        for (std::size_t k = 0; k < links.size(); ++k) {
            if (next_blocks(links[k], lane_blocks[lanes], 1) == 1) lane_states[lanes++] = &states[k];
        }
        if (lanes == 0) return;
        path.compress_lanes(lane_states, lane_blocks, lanes);
    }
}

// Eight hex digits of a state word at once: the nibbles spread to one per byte, each byte
// n becomes '0' + n, plus 39 more for n > 9 ('a' - '0' - 10), and the bytes are put in
// the order that leaves the most significant digit first in memory.
std::uint64_t hex_word(std::uint32_t word) {
    std::uint64_t v = word;
    v = (v | v << 16) & 0x0000ffff0000ffffULL;
    v = (v | v << 8) & 0x00ff00ff00ff00ffULL;
    v = (v | v << 4) & 0x0f0f0f0f0f0f0f0fULL;  // nibble i (from the low end) in byte i
    const std::uint64_t letters = ((v + 0x0606060606060606ULL) >> 4) & 0x0101010101010101ULL;
    v += 0x3030303030303030ULL + letters * 39;
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
}

HashText hex_state(const HashState& state) {
    HashText text;
    for (std::size_t i = 0; i < state.size(); ++i) {
        const std::uint64_t digits = hex_word(state[i]);
        std::memcpy(text.data() + 8 * i, &digits, 8);
    }
    return text;
}

}  // namespace

HashText hex_digest(const Digest& digest) {
    HashState words;
    for (std::size_t i = 0; i < words.size(); ++i) {
        words[i] = std::uint32_t(digest[4 * i]) << 24 | std::uint32_t(digest[4 * i + 1]) << 16 |
                   std::uint32_t(digest[4 * i + 2]) << 8 | digest[4 * i + 3];
    }
    return hex_state(words);
}

MessageBlocks link_blocks(std::string_view prev_hash, std::string_view payload) {
    return message_blocks({prev_hash, std::string_view("\x1f", 1), payload});
}

HashText link_hash(CompressFn compress, std::string_view prev_hash, std::string_view payload) {
    HashState state = initial_state;
    MessageBlocks link = link_blocks(prev_hash, payload);
    absorb(state, compress, link);
    return hex_state(state);
}

HashText hash_event(std::string_view prev_hash, std::string_view payload) {
    return link_hash(pick_path().compress, prev_hash, payload);
}

std::optional<std::size_t> verify_chain(Sha256Path path, std::string_view genesis,
                                        std::span<const Entry> entries) {
    // Up to the first mismatch, the expected previous hash of entry i is byte for byte the
    // stored hash of entry i - 1. So the links are independent and are hashed a group at a
    // time, interleaved, then judged in order; past a mismatch at most the rest of its
    // group is hashed in vain, and nothing but the group's states is kept.
    const auto prev_of = [&](std::size_t i) { return i == 0 ? genesis : entries[i - 1].second; };
    for (std::size_t first = 0; first < entries.size(); first += max_lanes) {
        const std::size_t count = std::min(max_lanes, entries.size() - first);
        std::array<HashState, max_lanes> states;
        std::array<MessageBlocks, max_lanes> links;
        for (std::size_t k = 0; k < count; ++k) {
            states[k] = initial_state;
            links[k] = link_blocks(prev_of(first + k), entries[first + k].first);
        }
        // The entries' texts live in separate host objects, scattered in memory: ask for
        // the next group's while this one is hashed.
        for (std::size_t k = first + max_lanes; k < std::min(first + 2 * max_lanes, entries.size()); ++k) {
            __builtin_prefetch(entries[k].first.data());
            __builtin_prefetch(entries[k].second.data());
        }
        absorb_lanes(path, std::span(states).first(count), std::span(links).first(count));
        for (std::size_t k = 0; k < count; ++k) {
            if (entries[first + k].second != as_view(hex_state(states[k]))) return first + k;
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> verify_chain(std::string_view genesis, std::span<const Entry> entries) {
    return verify_chain(pick_path(), genesis, entries);
}

}  // namespace zelk::actors
