// Link hashing and chain verification over the streaming SHA-256.
#include "actors/chain.hpp"

#include <algorithm>

namespace zelk::actors {

HashText hex_digest(const Digest& digest) {
    constexpr char digits[] = "0123456789abcdef";
    HashText text;
    for (std::size_t i = 0; i < digest.size(); ++i) {
        text[2 * i] = digits[digest[i] >> 4];
        text[2 * i + 1] = digits[digest[i] & 15];
    }
    return text;
}

HashText link_hash(CompressFn compress, std::string_view prev_hash, std::string_view payload) {
    Sha256 hash = sha256_start(compress);
    sha256_feed(hash, prev_hash);
    sha256_feed(hash, std::string_view("\x1f", 1));
    sha256_feed(hash, payload);
    return hex_digest(sha256_finish(hash));
}

HashText hash_event(std::string_view prev_hash, std::string_view payload) {
    return link_hash(pick_compress(), prev_hash, payload);
}

std::optional<std::size_t> verify_chain(CompressFn compress, std::string_view genesis,
                                        std::span<const Entry> entries) {
    // Only the current expected hash is kept: the genesis text first, then the last
    // computed link (which equals the stored hash that was just accepted).
    HashText expected{};
    std::string_view prev = genesis;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const HashText computed = link_hash(compress, prev, entries[i].first);
        if (entries[i].second != as_view(computed)) return i;
        expected = computed;
        prev = as_view(expected);
    }
    return std::nullopt;
}

std::optional<std::size_t> verify_chain(std::string_view genesis, std::span<const Entry> entries) {
    return verify_chain(pick_compress(), genesis, entries);
}

}  // namespace zelk::actors
