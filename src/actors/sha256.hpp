// SHA-256 (FIPS 180-4): a message fed as a stream of pieces, and two compression paths, one in plain C++ and
// one with the x86 SHA extensions; `pick_path` chooses between them by cpuid.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace zelk::actors {

using Digest = std::array<std::uint8_t, 32>;
using HashState = std::array<std::uint32_t, 8>;

// How far ahead of the block being compressed a run of blocks is fetched into cache.
inline constexpr std::size_t prefetch_distance = 2048;

// Runs the compression function over `count` consecutive 64-byte blocks.
using CompressFn = void (*)(HashState& state, const std::uint8_t* blocks, std::size_t count);

void compress_portable(HashState& state, const std::uint8_t* blocks, std::size_t count);

// The SHA-extensions functions (this one and the lanes one below) are only to be called when
// `cpu_has_sha_extensions()` is true; off x86 they forward to the portable ones.
void compress_sha_extensions(HashState& state, const std::uint8_t* blocks, std::size_t count);

// One block for each of `lanes` (1 to max_lanes) independent hash states. The
// SHA-extensions version interleaves the lanes' rounds: on one stream the round
// instruction mostly waits for its previous result. Eight lanes keep that instruction
// busy where four still leave it idle about a tenth of the time.
inline constexpr std::size_t max_lanes = 8;
using CompressLanesFn = void (*)(HashState* const* states, const std::uint8_t* const* blocks,
                                 std::size_t lanes);

void compress_lanes_portable(HashState* const* states, const std::uint8_t* const* blocks, std::size_t lanes);
void compress_lanes_sha_extensions(HashState* const* states, const std::uint8_t* const* blocks,
                                   std::size_t lanes);

// Whether `text` is byte for byte the 64 lowercase hexadecimal digits of the digest held
// in `state`. The SHA-extensions version compares 16 digits at a time with SSSE3 shuffles.
using HexMatchFn = bool (*)(const HashState& state, std::string_view text);

bool hex_matches_portable(const HashState& state, std::string_view text);
bool hex_matches_sha_extensions(const HashState& state, std::string_view text);

// A compression path: its one-stream and many-lane functions, and its digest check.
struct Sha256Path {
    CompressFn compress;
    CompressLanesFn compress_lanes;
    HexMatchFn hex_matches;
};

inline constexpr Sha256Path portable_path{compress_portable, compress_lanes_portable, hex_matches_portable};
inline constexpr Sha256Path sha_extensions_path{compress_sha_extensions, compress_lanes_sha_extensions,
                                                hex_matches_sha_extensions};

// Whether the CPU reports the SHA extensions and the SSSE3 / SSE4.1 shuffles the fast path uses.
bool cpu_has_sha_extensions();

// The fastest path this CPU runs, read from what the runtime learnt from cpuid at load.
Sha256Path pick_path();

// The 64 round constants of FIPS 180-4, aligned for 16-byte vector loads.
alignas(16) inline constexpr std::array<std::uint32_t, 64> round_constants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline constexpr HashState initial_state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// The padding of a message of `length` bytes, applied to one of its blocks, whose first
// `fill` bytes are the message's: if the message ends here (`ends`), the 0x80 byte follows
// them; the rest becomes zeros, and the last block (`last`) carries the length in bits as a
// 64-bit big-endian number in its final 8 bytes.
inline void pad_block(std::uint8_t* block, std::size_t fill, bool ends, bool last,
                      std::uint64_t length) noexcept {
    if (ends) block[fill++] = 0x80;
    std::memset(block + fill, 0, 64 - fill);
    if (!last) return;
    const std::uint64_t bits = length * 8;
    for (std::size_t i = 0; i < 8; ++i) block[63 - i] = std::uint8_t(bits >> (8 * i));
}

// A message fed in pieces of any size as they arrive: whole blocks are compressed straight
// from the piece, the rest waits in `block`.
struct Sha256Stream {
    HashState state;
    CompressFn compress;
    std::uint64_t length;  // bytes fed so far
    std::size_t fill;      // bytes waiting in `block`
    alignas(16) std::array<std::uint8_t, 64> block;
};

Sha256Stream stream_start(CompressFn compress);
void stream_feed(Sha256Stream& stream, std::string_view piece);
// Pads the message and returns the final state.
HashState stream_finish(Sha256Stream& stream);

Digest digest_bytes(const HashState& state);

// The 64 lowercase hexadecimal digits of the digest held in `state`, written to `out`.
void hex_digits(const HashState& state, char* out);

Digest sha256(std::string_view bytes, CompressFn compress);

}  // namespace zelk::actors
