// SHA-256 and the audit chain: the SHA-extensions path against the portable one (where the
// CPU has them) and both against a plain reference that joins the link's pieces and hashes
// them in one piece. The input gives a message cut into three pieces, then a chain whose
// stored hashes are right, or altered in one digit, in case, or in length.
#include "actors/sha256.hpp"
#include "actors/chain.hpp"
#include "fuzz.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using zelk_fuzz::require;
namespace actors = zelk::actors;

std::string reference_link(std::string_view prev, std::string_view payload) {
    std::string joined(prev);
    joined.push_back('\x1f');
    joined.append(payload);
    return std::string(
        actors::as_view(actors::hex_digest(actors::sha256(joined, actors::compress_portable))));
}

std::optional<std::size_t> reference_verify(std::string_view genesis,
                                            const std::vector<actors::Entry>& entries) {
    std::string prev(genesis);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (reference_link(prev, entries[i].first) != entries[i].second) return i;
        prev = std::string(entries[i].second);
    }
    return std::nullopt;
}

std::string altered(std::string hash, std::uint8_t how, std::uint8_t where) {
    switch (how % 8) {
        case 0: hash[where % 64] = hash[where % 64] == '0' ? '1' : '0'; break;
        case 1: hash[where % 64] = char(hash[where % 64] ^ 0x20); break;  // case or punctuation
        case 2: hash.pop_back(); break;
        case 3: hash.push_back('0'); break;
        default: break;  // left intact most of the time, so chains run long
    }
    return hash;
}

void compare_paths(const actors::Sha256Path& path, std::string_view message, std::string_view a,
                   std::string_view b, std::string_view c) {
    const actors::Digest whole = actors::sha256(message, actors::compress_portable);
    require(actors::sha256(message, path.compress) == whole, "one-piece digests agree");
    actors::Sha256Stream stream = actors::stream_start(path.compress);
    for (const std::string_view piece : {a, b, c}) actors::stream_feed(stream, piece);
    const actors::HashState state = actors::stream_finish(stream);
    require(actors::digest_bytes(state) == whole, "digest in pieces is the digest of the joined message");
    const std::string hex(actors::as_view(actors::hex_digest(whole)));
    require(path.hex_matches(state, hex), "a digest matches its own hex text");
    require(path.hex_matches(state, message) == (message == hex), "hex check is byte equality");

    // Every lane count over blocks taken from the message, against one block at a time.
    std::string padded(message);
    padded.resize(actors::max_lanes * 64, '\x5a');
    actors::HashState expected[actors::max_lanes], lanes[actors::max_lanes];
    actors::HashState* lane_states[actors::max_lanes];
    const std::uint8_t* lane_blocks[actors::max_lanes];
    for (std::size_t count = 1; count <= actors::max_lanes; ++count) {
        for (std::size_t l = 0; l < count; ++l) {
            lanes[l] = expected[l] = actors::initial_state;
            lanes[l][l % 8] ^= std::uint32_t(message.size());
            expected[l] = lanes[l];
            lane_blocks[l] =
                reinterpret_cast<const std::uint8_t*>(padded.data()) + 64 * ((l * 3) % actors::max_lanes);
            lane_states[l] = &lanes[l];
            actors::compress_portable(expected[l], lane_blocks[l], 1);
        }
        path.compress_lanes(lane_states, lane_blocks, count);
        for (std::size_t l = 0; l < count; ++l)
            require(lanes[l] == expected[l], "lanes agree with one stream");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zelk_fuzz::Bytes in{data, size};
    const std::size_t cut1 = take_byte(in), cut2 = take_byte(in);
    const std::string_view a = take_text(in, cut1), b = take_text(in, cut2), c = take_text(in, take_byte(in));
    const std::string message = std::string(a) + std::string(b) + std::string(c);

    compare_paths(actors::portable_path, message, a, b, c);
    if (actors::cpu_has_sha_extensions()) compare_paths(actors::sha_extensions_path, message, a, b, c);

    // A chain: each entry's payload from the input, its stored hash the true link hash,
    // perhaps altered; later entries chain from what was stored.
    const std::string_view genesis = take_text(in, take_byte(in) % 80);
    std::vector<std::string> payloads, hashes;
    std::string prev(genesis);
    while (!exhausted(in) && payloads.size() < 40) {
        const std::uint8_t how = take_byte(in), where = take_byte(in);
        payloads.emplace_back(take_text(in, take_byte(in) % 150));
        hashes.push_back(altered(reference_link(prev, payloads.back()), how, where));
        prev = hashes.back();
        require(std::string_view(actors::as_view(actors::hash_event(genesis, payloads.back()))) ==
                    reference_link(genesis, payloads.back()),
                "hash_event is the link hash");
    }
    std::vector<actors::Entry> entries;
    for (std::size_t i = 0; i < payloads.size(); ++i) entries.emplace_back(payloads[i], hashes[i]);
    const std::optional<std::size_t> expected = reference_verify(genesis, entries);
    require(actors::verify_chain(actors::portable_path, genesis, entries) == expected,
            "portable chain check");
    require(actors::verify_chain(genesis, entries) == expected, "chosen-path chain check");
    if (actors::cpu_has_sha_extensions()) {
        require(actors::verify_chain(actors::sha_extensions_path, genesis, entries) == expected,
                "SHA-extensions chain check");
    }
    return 0;
}
