// The pieces the wide scoring kernels (AVX2, AVX-512) share: how rows are cut into groups
// for a kernel of `lanes` rows per register, the mask of the last columns, and the
// prefetch of the next group's rows. They use only baseline x86-64 instructions, so they
// inline into either kernel's target functions. x86 only.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cstddef>

namespace zelk::vectors {

// Scores rows[0 .. 4 * lanes) or rows[0 .. lanes) into out (four groups of lanes rows, or
// one); when `ahead` is given, the rows of the next call are prefetched along the way.
using GroupKernel = void (*)(const float* q, std::size_t n, float query_norm, const float* const* rows,
                             float* out, const float* const* ahead);

// Scores `count` rows: four groups at a time (prefetching the next four), then one group
// at a time, and the last rows in a group padded with copies of the last row, whose scores
// are dropped.
template <std::size_t lanes>
inline void score_in_groups(GroupKernel four, GroupKernel one, const float* query, std::size_t n,
                            float query_norm, const float* const* rows, std::size_t count, float* scores) {
    std::size_t i = 0;
    for (; i + 4 * lanes <= count; i += 4 * lanes) {
        const float* const* next = i + 8 * lanes <= count ? rows + i + 4 * lanes : nullptr;
        four(query, n, query_norm, rows + i, scores + i, next);
    }
    for (; i + lanes <= count; i += lanes) one(query, n, query_norm, rows + i, scores + i, nullptr);
    if (i < count) {
        const float* group[lanes];
        float out[lanes];
        for (std::size_t j = 0; j < lanes; ++j) group[j] = rows[std::min(i + j, count - 1)];
        one(query, n, query_norm, group, out, nullptr);
        std::copy(out, out + (count - i), scores + i);
    }
}

// At columns c .. c+3 of `rows_ahead` rows: a quarter of their cache lines, a different
// quarter in each of four consecutive steps (the hardware prefetcher does not follow so
// many rows read a few columns at a time).
inline void prefetch_quarter(const float* const* ahead, std::size_t rows_ahead, std::size_t c) {
    const std::size_t part = (c / 4) % 4, per_part = rows_ahead / 4;
    for (std::size_t j = 0; j < per_part; ++j) {
        const float* line = ahead[part * per_part + j] + (c & ~std::size_t(15));
        _mm_prefetch(reinterpret_cast<const char*>(line), _MM_HINT_T0);
    }
}

// The mask that loads the last `left` (1 to 3) of four columns without reading past them.
inline __m128i tail_mask(std::size_t left) {
    return _mm_setr_epi32(-1, left > 1 ? -1 : 0, left > 2 ? -1 : 0, 0);
}

}  // namespace zelk::vectors
