// SHA-256 compression with the x86 SHA extensions. Compiled for those instructions through
// a function target attribute only, so the rest of the library stays baseline x86-64; the
// caller picks this path only after cpuid has reported the extensions.
#include "actors/sha256.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace zelk::actors {

#if defined(__x86_64__) || defined(__i386__)

namespace {

// The SHA round instruction keeps the eight working variables as two vectors, ABEF and
// CDGH (A and C in the top 32-bit element), and does two rounds per call. Message words
// are scheduled four at a time: msg1 adds sigma0, the alignr supplies W[t-7], msg2 adds
// sigma1 of the newest words. A lane is one hash stream in that form.
struct Lane {
    __m128i abef;
    __m128i cdgh;
};

__attribute__((target("sha,sse4.1,ssse3"))) inline Lane load_lane(const HashState& state) {
    const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
    const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    return {_mm_alignr_epi8(cdab, efgh, 8), _mm_blend_epi16(efgh, cdab, 0xF0)};
}

__attribute__((target("sha,sse4.1,ssse3"))) inline void store_lane(HashState& state, Lane lane) {
    const __m128i feba = _mm_shuffle_epi32(lane.abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(lane.cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), _mm_alignr_epi8(dchg, feba, 8));
}

// One block for each of N independent lanes, the rounds of the lanes interleaved so that
// the round instruction of one lane runs while another's result is still in flight.
template <std::size_t N>
__attribute__((target("sha,sse4.1,ssse3"))) inline void rounds(Lane (&lanes)[N],
                                                               const std::uint8_t* const (&blocks)[N]) {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    Lane start[N];
    __m128i w[N][4];
    for (std::size_t l = 0; l < N; ++l) start[l] = lanes[l];
#pragma GCC unroll 16
    for (std::size_t g = 0; g < 16; ++g) {
        const __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(round_constants.data() + 4 * g));
#pragma GCC unroll 8
        for (std::size_t l = 0; l < N; ++l) {
            if (g < 4) {
                const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks[l] + 16 * g));
                w[l][g] = _mm_shuffle_epi8(raw, byte_swap);
            } else {
                const __m128i partial =
                    _mm_add_epi32(_mm_sha256msg1_epu32(w[l][(g - 4) & 3], w[l][(g - 3) & 3]),
                                  _mm_alignr_epi8(w[l][(g - 1) & 3], w[l][(g - 2) & 3], 4));
                w[l][g & 3] = _mm_sha256msg2_epu32(partial, w[l][(g - 1) & 3]);
            }
            const __m128i wk = _mm_add_epi32(w[l][g & 3], k);
            // The first call leaves ABEF after two rounds in `cdgh`; that is the CDGH of
            // the second call, which brings `abef` to four rounds, so the roles end as
            // they began.
            lanes[l].cdgh = _mm_sha256rnds2_epu32(lanes[l].cdgh, lanes[l].abef, wk);
            lanes[l].abef = _mm_sha256rnds2_epu32(lanes[l].abef, lanes[l].cdgh, _mm_shuffle_epi32(wk, 0x0E));
        }
    }
    for (std::size_t l = 0; l < N; ++l) {
        lanes[l].abef = _mm_add_epi32(lanes[l].abef, start[l].abef);
        lanes[l].cdgh = _mm_add_epi32(lanes[l].cdgh, start[l].cdgh);
    }
}

template <std::size_t N>
__attribute__((target("sha,sse4.1,ssse3"))) void compress_n_lanes(HashState* const* states,
                                                                  const std::uint8_t* const* blocks) {
    Lane lanes[N];
    const std::uint8_t* lane_blocks[N];
    for (std::size_t l = 0; l < N; ++l) {
        lanes[l] = load_lane(*states[l]);
        lane_blocks[l] = blocks[l];
    }
    rounds<N>(lanes, lane_blocks);
    for (std::size_t l = 0; l < N; ++l) store_lane(*states[l], lanes[l]);
}

}  // namespace

__attribute__((target("sha,sse4.1,ssse3"))) void compress_sha_extensions(HashState& state,
                                                                         const std::uint8_t* blocks,
                                                                         std::size_t count) {
    Lane lane[1] = {load_lane(state)};
    for (; count > 0; --count, blocks += 64) {
        // A long run is read once from memory: ask for the line 2 KB ahead, far enough to
        // cover the memory latency at the rate the rounds consume bytes (the last lines
        // of the run were asked for by the blocks before them).
        if (count > prefetch_distance / 64) __builtin_prefetch(blocks + prefetch_distance);
        const std::uint8_t* const block[1] = {blocks};
        rounds<1>(lane, block);
    }
    store_lane(state, lane[0]);
}

// 16 digits at a time: the digest bytes in order (each state word byte-swapped), their
// high and low nibbles interleaved, and each nibble looked up in a 16-byte digit table.
__attribute__((target("sse4.1,ssse3"))) bool hex_matches_sha_extensions(const HashState& state,
                                                                        std::string_view text) {
    if (text.size() != 64) return false;
    const __m128i word_bytes = _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    const __m128i digits =
        _mm_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f');
    const __m128i nibble = _mm_set1_epi8(0x0f);
    __m128i same = _mm_set1_epi8(-1);
    for (int half = 0; half < 2; ++half) {
        const __m128i bytes = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(state.data() + 4 * half)), word_bytes);
        const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), nibble);
        const __m128i low = _mm_and_si128(bytes, nibble);
        const __m128i first = _mm_shuffle_epi8(digits, _mm_unpacklo_epi8(high, low));
        const __m128i second = _mm_shuffle_epi8(digits, _mm_unpackhi_epi8(high, low));
        const char* at = text.data() + 32 * half;
        same =
            _mm_and_si128(same, _mm_cmpeq_epi8(first, _mm_loadu_si128(reinterpret_cast<const __m128i*>(at))));
        same = _mm_and_si128(
            same, _mm_cmpeq_epi8(second, _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 16))));
    }
    return _mm_movemask_epi8(same) == 0xffff;
}

void compress_lanes_sha_extensions(HashState* const* states, const std::uint8_t* const* blocks,
                                   std::size_t lanes) {
    switch (lanes) {
        case 1: return compress_n_lanes<1>(states, blocks);
        case 2: return compress_n_lanes<2>(states, blocks);
        case 3: return compress_n_lanes<3>(states, blocks);
        case 4: return compress_n_lanes<4>(states, blocks);
        case 5: return compress_n_lanes<5>(states, blocks);
        case 6: return compress_n_lanes<6>(states, blocks);
        case 7: return compress_n_lanes<7>(states, blocks);
        default: return compress_n_lanes<8>(states, blocks);
    }
}

#else

void compress_sha_extensions(HashState& state, const std::uint8_t* blocks, std::size_t count) {
    compress_portable(state, blocks, count);
}

void compress_lanes_sha_extensions(HashState* const* states, const std::uint8_t* const* blocks,
                                   std::size_t lanes) {
    compress_lanes_portable(states, blocks, lanes);
}

bool hex_matches_sha_extensions(const HashState& state, std::string_view text) {
    return hex_matches_portable(state, text);
}

#endif

}  // namespace zelk::actors
