// The audit chain: the hash of an entry covers the previous entry's hash text, a 0x1F
// separator byte and the entry's payload, so a changed, removed or moved entry no longer
// matches the hash stored at its position.
#pragma once

#include "actors/sha256.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

namespace zelk::actors {

// 64 lowercase hexadecimal digits of a SHA-256 digest.
using HashText = std::array<char, 64>;

// (payload, stored hash text)
using Entry = std::pair<std::string_view, std::string_view>;

inline std::string_view as_view(const HashText& text) { return {text.data(), text.size()}; }

HashText hex_digest(const Digest& digest);

// The hash of the link input: prev hash, the separator byte 0x1F, payload.
HashText link_hash(CompressFn compress, std::string_view prev_hash, std::string_view payload);

// link_hash on the fastest path of this CPU.
HashText hash_event(std::string_view prev_hash, std::string_view payload);

// The same link hash with the payload fed in pieces: start with the previous hash, feed
// the payload's pieces in order, finish.
Sha256Stream link_start(std::string_view prev_hash);
HashText link_finish(Sha256Stream& link);

// Walks the entries from `genesis`; the position of the first entry whose stored hash is
// not byte for byte the link hash of (expected previous hash, payload), or nothing when
// every link holds.
std::optional<std::size_t> verify_chain(std::string_view genesis, std::span<const Entry> entries);
std::optional<std::size_t> verify_chain(Sha256Path path, std::string_view genesis,
                                        std::span<const Entry> entries);

}  // namespace zelk::actors
