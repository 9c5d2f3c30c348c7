// SHA-256 on both compression paths: the FIPS 180-4 example messages, the two paths
// against each other on random messages, streaming in random pieces against one-shot
// hashing, and the chain link against the hash of the joined pieces.
#include "actors/chain.hpp"
#include "actors/sha256.hpp"
#include "check.hpp"

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
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
}

std::string random_bytes(std::mt19937_64& rng, std::size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) c = char(rng());
    return s;
}

// Feeds `message` in random pieces, including empty ones.
Digest hash_in_pieces(std::mt19937_64& rng, std::string_view message, CompressFn compress) {
    Sha256 h = sha256_start(compress);
    while (!message.empty()) {
        const std::size_t take = std::min<std::size_t>(message.size(), rng() % 150);
        sha256_feed(h, message.substr(0, take));
        message.remove_prefix(take);
    }
    return sha256_finish(h);
}

void check_path(const char* name, CompressFn compress) {
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
}

}  // namespace

int main() {
    check_path("portable", compress_portable);

    // The link is the hash of the three pieces joined, for every split of the first
    // few block boundaries (separator at byte 55, 63, 64, ...).
    std::mt19937_64 rng(7);
    bool links_ok = true;
    for (std::size_t prev_len = 0; prev_len <= 130; ++prev_len) {
        for (std::size_t payload_len : {0, 1, 54, 55, 56, 63, 64, 65, 128, 200}) {
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
        check(pick_compress() == compress_portable, "portable path picked without extensions");
        return zelk_test::finish();
    }
    check(pick_compress() == compress_sha_extensions, "extensions path picked when present");
    check_path("sha-extensions", compress_sha_extensions);
    bool same = true;
    for (int round = 0; round < 2000; ++round) {
        const std::string m = random_bytes(rng, rng() % 2000);
        same &= sha256(m, compress_portable) == sha256(m, compress_sha_extensions);
    }
    check(same, "both paths agree on random messages");
    return zelk_test::finish();
}
