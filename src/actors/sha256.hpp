// SHA-256 (FIPS 180-4): messages in pieces cut into padded blocks, and two compression
// paths, one in plain C++ and one with the x86 SHA extensions; `pick_path` chooses
// between them by cpuid.
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

void compress_lanes_portable(HashState* const* states, const std::uint8_t* const* blocks,
                             std::size_t lanes);
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

inline constexpr HashState initial_state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// The padded blocks of a message given as up to three pieces, handed out in order without
// joining the pieces: a block lying wholly inside one piece is given straight from its
// bytes; only a block that straddles pieces or holds the padding is assembled in `block`.
struct MessageBlocks {
    std::array<std::string_view, 3> pieces;
    std::size_t piece;     // the piece being handed out
    std::size_t at;        // bytes of that piece already handed out
    std::uint64_t length;  // bytes of all pieces
    enum class Tail { message, padding, done } tail;
    alignas(16) std::array<std::uint8_t, 64> block;
};

MessageBlocks message_blocks(std::array<std::string_view, 3> pieces);

// Up to `most` consecutive blocks at `blocks`; returns how many, 0 once all were given.
std::size_t next_blocks(MessageBlocks& message, const std::uint8_t*& blocks, std::size_t most);

// Compresses every remaining block of `message` into `state`.
void absorb(HashState& state, CompressFn compress, MessageBlocks& message);

Digest digest_bytes(const HashState& state);

// The 64 lowercase hexadecimal digits of the digest held in `state`, written to `out`.
void hex_digits(const HashState& state, char* out);

Digest sha256(std::string_view bytes, CompressFn compress);

}  // namespace zelk::actors
