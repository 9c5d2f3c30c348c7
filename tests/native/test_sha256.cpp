// SHA-256 on both compression paths: the FIPS 180-4 example messages, the two paths
// against each other on random messages, messages in random pieces against one piece,
// the chain link against the hash of the joined pieces, chain verification and the check
// of a digest against hex text.
#include "actors/chain.hpp"
#include "actors/sha256.hpp"
#include "check.hpp"

#include <cctype>
#include <random>
#include <string>

using namespace zelk::actors;
using zelk_test::check;

namespace {

std::string hex(const Digest& d) { return std::string(as_view(hex_digest(d))); }

struct Vector {
    std::string message;
    const char* digest;
};

std::vector<Vector> fips_vectors() {
    return {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
}

std::string random_bytes(std::mt19937_64& rng, std::size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) c = char(rng());
    return s;
}

// Hashes `message` cut into three pieces at random points (pieces may be empty).
Digest hash_in_pieces(std::mt19937_64& rng, std::string_view message, CompressFn compress) {
    std::size_t cut1 = rng() % (message.size() + 1), cut2 = rng() % (message.size() + 1);
    if (cut1 > cut2) std::swap(cut1, cut2);
    Sha256Stream stream = stream_start(compress);
    for (const std::string_view piece :
         {message.substr(0, cut1), message.substr(cut1, cut2 - cut1), message.substr(cut2)}) {
        stream_feed(stream, piece);
    }
    return digest_bytes(stream_finish(stream));
}

// A chain of `n` entries, then each link broken in turn by its payload or its hash.
bool verify_finds_every_break(std::mt19937_64& rng, Sha256Path path, std::size_t n) {
    const std::string genesis = random_bytes(rng, rng() % 100);
    std::vector<std::string> payloads, hashes;
    std::string prev = genesis;
    for (std::size_t i = 0; i < n; ++i) {
        payloads.push_back(random_bytes(rng, rng() % 200));
        prev = std::string(as_view(link_hash(compress_portable, prev, payloads.back())));
        hashes.push_back(prev);
    }
    const auto verify = [&] {
        std::vector<Entry> entries;
        for (std::size_t i = 0; i < n; ++i) entries.emplace_back(payloads[i], hashes[i]);
        return verify_chain(path, genesis, entries);
    };
    bool ok = !verify().has_value();
    for (std::size_t i = 0; i < n; ++i) {
        payloads[i] += 'x';
        ok &= verify() == i;
        payloads[i].pop_back();
        hashes[i][rng() % 64] ^= 1;
        ok &= verify() == i;
        hashes[i] =
            std::string(as_view(link_hash(compress_portable, i ? hashes[i - 1] : genesis, payloads[i])));
    }
    return ok;
}

void check_path(const char* name, Sha256Path path) {
    const CompressFn compress = path.compress;
    for (const auto& v : fips_vectors()) {
        check(hex(sha256(v.message, compress)) == v.digest,
              std::string(name) + ": FIPS vector of length " + std::to_string(v.message.size()));
    }
    std::mt19937_64 rng(20240611);
    for (int round = 0; round < 300; ++round) {
        const std::string m = random_bytes(rng, rng() % 700);
        check(hash_in_pieces(rng, m, compress) == sha256(m, compress),
              std::string(name) + ": pieces vs one-shot, length " + std::to_string(m.size()));
    }
    bool lanes_ok = true;
    for (int round = 0; round < 200; ++round) {
        const std::size_t lanes = 1 + std::size_t(round) % max_lanes;
        const std::string blocks = random_bytes(rng, 64 * max_lanes);
        std::array<HashState, max_lanes> states, expected;
        HashState* state_of[max_lanes];
        const std::uint8_t* block_of[max_lanes];
        for (std::size_t l = 0; l < lanes; ++l) {
            states[l] = initial_state;
            states[l][rng() % 8] ^= std::uint32_t(rng());
            expected[l] = states[l];
            state_of[l] = &states[l];
            block_of[l] = reinterpret_cast<const std::uint8_t*>(blocks.data() + 64 * l);
            path.compress(expected[l], block_of[l], 1);
        }
        path.compress_lanes(state_of, block_of, lanes);
        for (std::size_t l = 0; l < lanes; ++l) lanes_ok &= states[l] == expected[l];
    }
    check(lanes_ok, std::string(name) + ": blocks in lanes equal blocks one by one");
    bool verify_ok = true;
    for (std::size_t n = 0; n < 11; ++n) verify_ok &= verify_finds_every_break(rng, path, n);
    check(verify_ok, std::string(name) + ": verify_chain finds every broken link");

    // One link for every split of its first few block boundaries between prev hash,
    // separator and payload: verify_chain assembles exactly the straddling blocks.
    bool splits_ok = true;
    for (std::size_t prev_len = 0; prev_len <= 130; ++prev_len) {
        for (std::size_t payload_len : {0u, 1u, 54u, 55u, 56u, 62u, 63u, 64u, 65u, 127u, 128u, 200u}) {
            const std::string prev = random_bytes(rng, prev_len);
            const std::string payload = random_bytes(rng, payload_len);
            std::string stored(as_view(hex_digest(sha256(prev + '\x1f' + payload, compress_portable))));
            splits_ok &= !verify_chain(path, prev, std::vector<Entry>{{payload, stored}}).has_value();
            stored[rng() % 64] ^= 1;
            splits_ok &= verify_chain(path, prev, std::vector<Entry>{{payload, stored}}) == 0;
        }
    }
    check(splits_ok, std::string(name) + ": verify_chain on links split at every block boundary");

    // The digest check: exact digits only, not a prefix, a longer text, capitals or one
    // changed byte.
    bool hex_ok = true;
    for (int round = 0; round < 300; ++round) {
        HashState state;
        for (auto& word : state) word = std::uint32_t(rng());
        std::string text(64, '\0');
        hex_digits(state, text.data());
        hex_ok &= path.hex_matches(state, text);
        hex_ok &= !path.hex_matches(state, std::string_view(text).substr(0, 63));
        hex_ok &= !path.hex_matches(state, text + '0');
        std::string changed = text;
        changed[rng() % 64] ^= char(1 << (rng() % 8));
        hex_ok &= !path.hex_matches(state, changed);
        std::string capitals = text;
        for (auto& c : capitals) c = char(std::toupper(static_cast<unsigned char>(c)));
        hex_ok &= path.hex_matches(state, capitals) == (capitals == text);
    }
    check(hex_ok, std::string(name) + ": digest check against hex text");
}

}  // namespace

int main() {
    check_path("portable", portable_path);

    // The link is the hash of the three pieces joined, for every split of the first
    // few block boundaries (separator at byte 55, 63, 64, ...).
    std::mt19937_64 rng(7);
    bool links_ok = true;
    for (std::size_t prev_len = 0; prev_len <= 130; ++prev_len) {
        for (std::size_t payload_len : {0u, 1u, 54u, 55u, 56u, 63u, 64u, 65u, 128u, 200u}) {
            const std::string prev = random_bytes(rng, prev_len);
            const std::string payload = random_bytes(rng, payload_len);
            const std::string joined = prev + '\x1f' + payload;
            links_ok &= as_view(link_hash(compress_portable, prev, payload)) ==
                        as_view(hex_digest(sha256(joined, compress_portable)));
        }
    }
    check(links_ok, "link hash equals the hash of the joined pieces");

    if (!cpu_has_sha_extensions()) {
        zelk_test::skip("SHA-256 extensions path: this CPU lacks the x86 SHA extensions");
        check(pick_path().compress == compress_portable, "portable path picked without extensions");
        return zelk_test::finish();
    }
    check(pick_path().compress == compress_sha_extensions, "extensions path picked when present");
    check_path("sha-extensions", sha_extensions_path);
    bool same = true;
    for (int round = 0; round < 2000; ++round) {
        const std::string m = random_bytes(rng, rng() % 2000);
        same &= sha256(m, compress_portable) == sha256(m, compress_sha_extensions);
    }
    check(same, "both paths agree on random messages");
    return zelk_test::finish();
}
