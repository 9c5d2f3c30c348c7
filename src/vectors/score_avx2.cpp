// The AVX2 scoring kernel: eight rows at a time, one row per lane. Compiled for AVX2 through
// function target attributes only, so the rest of the library stays baseline x86-64; the
// caller picks this path only after cpuid has reported AVX2.
//
// Element c of eight rows is brought into one register by a 4x4 transpose in each 128-bit
// half: four columns of rows 0-3 go to the low halves and of rows 4-7 to the high halves,
// then unpack and shuffle give, for each of the four columns, the register whose lane j is
// element c of row j. Each lane then does exactly what the portable code does for its row:
// dot = dot + q[c] * r[c]; yy = yy + r[c] * r[c], in order c = 0 .. n-1. Four groups of
// eight rows go through the columns together, so eight independent add chains hide the
// latency of each addition.
#include "vectors/kernels.hpp"

#include <algorithm>

#if defined(__x86_64__) || defined(__i386__)
#include "vectors/score_wide.hpp"

#include <immintrin.h>
#endif

namespace zelk::vectors {

#if defined(__x86_64__) || defined(__i386__)

namespace {

// Columns c .. c+3 of eight rows: col[t] lane j is rows[j][c + t].
struct Columns {
    __m256 col[4];
};

[[gnu::target("avx2"), gnu::always_inline]] inline Columns transpose(__m256 a, __m256 b, __m256 c, __m256 d) {
    // a = row 0 | row 4, b = row 1 | row 5, c = row 2 | row 6, d = row 3 | row 7
    const __m256 t0 = _mm256_unpacklo_ps(a, b);  // a0 b0 a1 b1
    const __m256 t1 = _mm256_unpackhi_ps(a, b);  // a2 b2 a3 b3
    const __m256 t2 = _mm256_unpacklo_ps(c, d);  // c0 d0 c1 d1
    const __m256 t3 = _mm256_unpackhi_ps(c, d);  // c2 d2 c3 d3
    return {{_mm256_shuffle_ps(t0, t2, 0x44), _mm256_shuffle_ps(t0, t2, 0xEE),
             _mm256_shuffle_ps(t1, t3, 0x44), _mm256_shuffle_ps(t1, t3, 0xEE)}};
}

[[gnu::target("avx2"), gnu::always_inline]] inline __m256 pair(const float* low, const float* high) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(low)), _mm_loadu_ps(high), 1);
}

[[gnu::target("avx2"), gnu::always_inline]] inline Columns load_columns(const float* const* r,
                                                                        std::size_t c) {
    return transpose(pair(r[0] + c, r[4] + c), pair(r[1] + c, r[5] + c), pair(r[2] + c, r[6] + c),
                     pair(r[3] + c, r[7] + c));
}

// The last `mask`-selected columns (fewer than four) without reading past them.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256 pair_masked(const float* low, const float* high,
                                                                      __m128i mask) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_maskload_ps(low, mask)),
                                _mm_maskload_ps(high, mask), 1);
}

[[gnu::target("avx2"), gnu::always_inline]] inline Columns load_columns_masked(const float* const* r,
                                                                               std::size_t c, __m128i mask) {
    return transpose(pair_masked(r[0] + c, r[4] + c, mask), pair_masked(r[1] + c, r[5] + c, mask),
                     pair_masked(r[2] + c, r[6] + c, mask), pair_masked(r[3] + c, r[7] + c, mask));
}

struct Sums {
    __m256 dot;
    __m256 yy;
};

[[gnu::target("avx2"), gnu::always_inline]] inline void add_column(Sums& s, __m256 q, __m256 r) {
    s.dot = _mm256_add_ps(s.dot, _mm256_mul_ps(q, r));
    s.yy = _mm256_add_ps(s.yy, _mm256_mul_ps(r, r));
}

// +0.0 where yy is zero, else dot / (query_norm * sqrt(yy)), a NaN as `nan_score`.
[[gnu::target("avx2"), gnu::always_inline]] inline void finish(const Sums& s, __m256 query_norm, float* out) {
    const __m256 zero = _mm256_cmp_ps(s.yy, _mm256_setzero_ps(), _CMP_EQ_OQ);
    const __m256 norms = _mm256_mul_ps(query_norm, _mm256_sqrt_ps(s.yy));
    const __m256 score = _mm256_andnot_ps(zero, _mm256_div_ps(s.dot, norms));
    const __m256 nan = _mm256_castsi256_ps(_mm256_set1_epi32(int(nan_score_bits)));
    _mm256_storeu_ps(out, _mm256_blendv_ps(score, nan, _mm256_cmp_ps(score, score, _CMP_UNORD_Q)));
}

// Scores the 8 * G rows of `rows` into out[0 .. 8 * G). When `ahead` is given, its first
// 8 * G rows (those of the next call) are prefetched along the way: the hardware prefetcher
// does not follow so many rows read a few columns at a time.
template <std::size_t G>
[[gnu::target("avx2")]]
void score_groups(const float* q, std::size_t n, float query_norm, const float* const* rows, float* out,
                  const float* const* ahead) {
    Sums sums[G];
    for (std::size_t g = 0; g < G; ++g) sums[g] = {_mm256_setzero_ps(), _mm256_setzero_ps()};
    std::size_t c = 0;
    for (; c + 4 <= n; c += 4) {
        const __m256 q0 = _mm256_broadcast_ss(q + c), q1 = _mm256_broadcast_ss(q + c + 1);
        const __m256 q2 = _mm256_broadcast_ss(q + c + 2), q3 = _mm256_broadcast_ss(q + c + 3);
        if (ahead != nullptr) prefetch_quarter(ahead, 8 * G, c);
        // Unrolled, so that every group's sums stay in registers.
#pragma GCC unroll 8
        for (std::size_t g = 0; g < G; ++g) {
            const Columns cols = load_columns(rows + 8 * g, c);
            add_column(sums[g], q0, cols.col[0]);
            add_column(sums[g], q1, cols.col[1]);
            add_column(sums[g], q2, cols.col[2]);
            add_column(sums[g], q3, cols.col[3]);
        }
    }
    if (const std::size_t left = n - c; left > 0) {
        const __m128i mask = tail_mask(left);
#pragma GCC unroll 8
        for (std::size_t g = 0; g < G; ++g) {
            const Columns cols = load_columns_masked(rows + 8 * g, c, mask);
            add_column(sums[g], _mm256_broadcast_ss(q + c), cols.col[0]);
            if (left > 1) add_column(sums[g], _mm256_broadcast_ss(q + c + 1), cols.col[1]);
            if (left > 2) add_column(sums[g], _mm256_broadcast_ss(q + c + 2), cols.col[2]);
        }
    }
    const __m256 norm = _mm256_set1_ps(query_norm);
    for (std::size_t g = 0; g < G; ++g) finish(sums[g], norm, out + 8 * g);
}

}  // namespace

[[gnu::target("avx2")]]
void score_rows_avx2(const float* query, std::size_t n, float query_norm, const float* const* rows,
                     std::size_t count, float* scores) {
    score_in_groups<8>(score_groups<4>, score_groups<1>, query, n, query_norm, rows, count, scores);
}

#else

void score_rows_avx2(const float* query, std::size_t n, float query_norm, const float* const* rows,
                     std::size_t count, float* scores) {
    score_rows_portable(query, n, query_norm, rows, count, scores);
}

#endif

}  // namespace zelk::vectors
