// SHA-256 (FIPS 180-4) as a streaming record: a hash state, a partial block and a byte
// count, advanced by free functions. Two compression functions do the work, one in plain
// C++ and one with the x86 SHA extensions; `pick_compress` chooses between them by cpuid.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zelk::actors {

using Digest = std::array<std::uint8_t, 32>;
using HashState = std::array<std::uint32_t, 8>;

// Runs the compression function over `count` consecutive 64-byte blocks.
using CompressFn = void (*)(HashState& state, const std::uint8_t* blocks, std::size_t count);

void compress_portable(HashState& state, const std::uint8_t* blocks, std::size_t count);

// Only to be called when `cpu_has_sha_extensions()` is true. Off x86 it forwards to the
// portable function (and is never picked).
void compress_sha_extensions(HashState& state, const std::uint8_t* blocks, std::size_t count);

// Asks cpuid for the SHA extensions and the SSSE3 / SSE4.1 shuffles the fast path uses.
bool cpu_has_sha_extensions();

// The fastest compression function this CPU runs; one cpuid query per call.
CompressFn pick_compress();

struct Sha256 {
    CompressFn compress;
    HashState state;
    std::array<std::uint8_t, 64> pending;  // bytes of the block not yet compressed
    std::size_t pending_len;
    std::uint64_t length;                  // bytes fed so far
};

Sha256 sha256_start(CompressFn compress);

// Feeds bytes; whole blocks are compressed straight from `bytes`, only a partial block
// at either end is copied into `pending`.
void sha256_feed(Sha256& hash, std::string_view bytes);

// Pads, compresses the last block(s) and returns the digest. `hash` is spent afterwards.
Digest sha256_finish(Sha256& hash);

// One-shot convenience over the three functions above.
Digest sha256(std::string_view bytes, CompressFn compress);

}  // namespace zelk::actors
