// Link hashing and chain verification.
#include "actors/chain.hpp"

#include "json/scan.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace zelk::actors {

namespace {

HashText hex_state(const HashState& state) {
    HashText text;
    hex_digits(state, text.data());
    return text;
}

// A link message (prev hash, 0x1F, payload) whose padded blocks are asked for by position,
// so that the links of a group are fed to the lanes without a cursor per link: a block
// lying wholly inside prev or payload is given straight from its bytes, any other one is
// assembled in the caller's scratch block.
struct Link {
    std::string_view prev;
    std::string_view payload;
    std::size_t length;  // bytes of the message
    std::size_t blocks;  // padded blocks: the message, the 0x80 byte and the 8 length bytes
};

Link make_link(std::string_view prev, std::string_view payload) {
    const std::size_t length = prev.size() + 1 + payload.size();
    return {prev, payload, length, (length + 8) / 64 + 1};
}

const std::uint8_t* link_block(const Link& link, std::size_t index, std::uint8_t* scratch) {
    const std::size_t begin = 64 * index, end = begin + 64;
    const std::size_t separator = link.prev.size();  // position of the 0x1F byte
    if (end <= separator) return reinterpret_cast<const std::uint8_t*>(link.prev.data() + begin);
    if (begin > separator && end <= link.length) {
        return reinterpret_cast<const std::uint8_t*>(link.payload.data() + (begin - separator - 1));
    }
    std::size_t fill = 0;
    if (begin < separator) {
        fill = separator - begin;
        json::copy_short(reinterpret_cast<char*>(scratch), link.prev.data() + begin, fill);
    }
    if (begin <= separator) scratch[fill++] = 0x1f;
    const std::size_t from = std::max(begin, separator + 1), to = std::min(end, link.length);
    if (from < to) {
        json::copy_short(reinterpret_cast<char*>(scratch + fill),
                         link.payload.data() + (from - separator - 1), to - from);
        fill += to - from;
    }
    pad_block(scratch, fill, begin <= link.length && link.length < end, index + 1 == link.blocks,
              link.length);
    return scratch;
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

namespace {

Sha256Stream link_start(CompressFn compress, std::string_view prev_hash) {
    Sha256Stream link = stream_start(compress);
    stream_feed(link, prev_hash);
    stream_feed(link, std::string_view("\x1f", 1));
    return link;
}

}  // namespace

HashText link_hash(CompressFn compress, std::string_view prev_hash, std::string_view payload) {
    Sha256Stream link = link_start(compress, prev_hash);
    stream_feed(link, payload);
    return link_finish(link);
}

HashText hash_event(std::string_view prev_hash, std::string_view payload) {
    return link_hash(pick_path().compress, prev_hash, payload);
}

Sha256Stream link_start(std::string_view prev_hash) { return link_start(pick_path().compress, prev_hash); }

HashText link_finish(Sha256Stream& link) { return hex_state(stream_finish(link)); }

std::optional<std::size_t> verify_chain(Sha256Path path, std::string_view genesis,
                                        std::span<const Entry> entries) {
    // Up to the first mismatch, the expected previous hash of entry i is byte for byte the
    // stored hash of entry i - 1. So the links are independent and are hashed a group at a
    // time, interleaved, then judged in order; past a mismatch at most the rest of its
    // group is hashed in vain, and nothing but the group's states is kept.
    const auto prev_of = [&](std::size_t i) { return i == 0 ? genesis : entries[i - 1].second; };
    alignas(16) std::uint8_t scratch[max_lanes][64];
    for (std::size_t first = 0; first < entries.size(); first += max_lanes) {
        const std::size_t count = std::min(max_lanes, entries.size() - first);
        std::array<HashState, max_lanes> states;
        std::array<Link, max_lanes> links;
        std::size_t most = 0;
        for (std::size_t k = 0; k < count; ++k) {
            states[k] = initial_state;
            links[k] = make_link(prev_of(first + k), entries[first + k].first);
            most = std::max(most, links[k].blocks);
        }
        // The entries' texts live in separate host objects, scattered in memory: ask for
        // those of the group after next while this one is hashed, the first and the last
        // byte of each (a 64-digit hash behind an object header spans two cache lines).
        const std::size_t ahead = first + 2 * max_lanes;
        for (std::size_t k = ahead; k < std::min(ahead + max_lanes, entries.size()); ++k) {
            for (const std::string_view text : {entries[k].first, entries[k].second}) {
                __builtin_prefetch(text.data());
                __builtin_prefetch(text.data() + text.size() - (text.empty() ? 0 : 1));
            }
        }
        // Block j of every link that has one, one kernel call per position.
        for (std::size_t j = 0; j < most; ++j) {
            HashState* lane_states[max_lanes];
            const std::uint8_t* lane_blocks[max_lanes];
            std::size_t lanes = 0;
            for (std::size_t k = 0; k < count; ++k) {
                if (j >= links[k].blocks) continue;
                lane_blocks[lanes] = link_block(links[k], j, scratch[k]);
                lane_states[lanes++] = &states[k];
            }
            path.compress_lanes(lane_states, lane_blocks, lanes);
        }
        for (std::size_t k = 0; k < count; ++k) {
            if (!path.hex_matches(states[k], entries[first + k].second)) return first + k;
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> verify_chain(std::string_view genesis, std::span<const Entry> entries) {
    return verify_chain(pick_path(), genesis, entries);
}

}  // namespace zelk::actors
