// The AVX-512 scoring kernel: sixteen rows at a time, one row per lane, laid out as the AVX2
// kernel does with four 128-bit quarters instead of two halves. Compiled for AVX-512F through
// function target attributes only; the caller picks this path only after cpuid has reported
// AVX-512F.
//
// Four columns of rows 0-3 go to the first quarters of four registers, of rows 4-7 to the
// second, 8-11 to the third and 12-15 to the fourth; unpack and shuffle, which work within
// each quarter, then give for each column the register whose lane j is that element of
// row j. Each lane does exactly what the portable code does for its row, in element order.
#include "vectors/kernels.hpp"

#include <algorithm>

#if defined(__x86_64__) || defined(__i386__)
#include "vectors/score_wide.hpp"

#include <immintrin.h>
#endif

// Some compilers' AVX-512 intrinsics start their results from an undefined register value,
// which the uninitialised-use warnings report at every inlined call.
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace zelk::vectors {

#if defined(__x86_64__) || defined(__i386__)

namespace {

// Columns c .. c+3 of sixteen rows: col[t] lane j is rows[j][c + t].
struct Columns {
    __m512 col[4];
};

[[gnu::target("avx512f"), gnu::always_inline]] inline Columns transpose(__m512 a, __m512 b, __m512 c,
                                                                        __m512 d) {
    // a = rows 0 | 4 | 8 | 12, b = rows 1 | 5 | 9 | 13, c = rows 2 | 6 | 10 | 14, d = 3 | 7 | 11 | 15
    const __m512 t0 = _mm512_unpacklo_ps(a, b);  // a0 b0 a1 b1 in each quarter
    const __m512 t1 = _mm512_unpackhi_ps(a, b);  // a2 b2 a3 b3
    const __m512 t2 = _mm512_unpacklo_ps(c, d);  // c0 d0 c1 d1
    const __m512 t3 = _mm512_unpackhi_ps(c, d);  // c2 d2 c3 d3
    return {{_mm512_shuffle_ps(t0, t2, 0x44), _mm512_shuffle_ps(t0, t2, 0xEE),
             _mm512_shuffle_ps(t1, t3, 0x44), _mm512_shuffle_ps(t1, t3, 0xEE)}};
}

[[gnu::target("avx512f"), gnu::always_inline]] inline __m512 quad(__m128 q0, __m128 q1, __m128 q2,
                                                                  __m128 q3) {
    __m512 v = _mm512_castps128_ps512(q0);
    v = _mm512_insertf32x4(v, q1, 1);
    v = _mm512_insertf32x4(v, q2, 2);
    return _mm512_insertf32x4(v, q3, 3);
}

[[gnu::target("avx512f"), gnu::always_inline]] inline __m512 quad_at(const float* const* r, std::size_t first,
                                                                     std::size_t c) {
    return quad(_mm_loadu_ps(r[first] + c), _mm_loadu_ps(r[first + 4] + c), _mm_loadu_ps(r[first + 8] + c),
                _mm_loadu_ps(r[first + 12] + c));
}

[[gnu::target("avx512f"), gnu::always_inline]] inline Columns load_columns(const float* const* r,
                                                                           std::size_t c) {
    return transpose(quad_at(r, 0, c), quad_at(r, 1, c), quad_at(r, 2, c), quad_at(r, 3, c));
}

// The last `mask`-selected columns (fewer than four) without reading past them.
[[gnu::target("avx512f"), gnu::always_inline]] inline __m512 quad_at_masked(const float* const* r,
                                                                            std::size_t first, std::size_t c,
                                                                            __m128i mask) {
    return quad(_mm_maskload_ps(r[first] + c, mask), _mm_maskload_ps(r[first + 4] + c, mask),
                _mm_maskload_ps(r[first + 8] + c, mask), _mm_maskload_ps(r[first + 12] + c, mask));
}

[[gnu::target("avx512f"), gnu::always_inline]] inline Columns load_columns_masked(const float* const* r,
                                                                                  std::size_t c,
                                                                                  __m128i mask) {
    return transpose(quad_at_masked(r, 0, c, mask), quad_at_masked(r, 1, c, mask),
                     quad_at_masked(r, 2, c, mask), quad_at_masked(r, 3, c, mask));
}

struct Sums {
    __m512 dot;
    __m512 yy;
};

[[gnu::target("avx512f"), gnu::always_inline]] inline void add_column(Sums& s, __m512 q, __m512 r) {
    s.dot = _mm512_add_ps(s.dot, _mm512_mul_ps(q, r));
    s.yy = _mm512_add_ps(s.yy, _mm512_mul_ps(r, r));
}

// +0.0 where yy is zero, else dot / (query_norm * sqrt(yy)), a NaN as `nan_score`.
[[gnu::target("avx512f"), gnu::always_inline]] inline void finish(const Sums& s, __m512 query_norm,
                                                                  float* out) {
    const __mmask16 zero = _mm512_cmp_ps_mask(s.yy, _mm512_setzero_ps(), _CMP_EQ_OQ);
    const __m512 norms = _mm512_mul_ps(query_norm, _mm512_sqrt_ps(s.yy));
    const __m512 score = _mm512_maskz_mov_ps(__mmask16(~zero), _mm512_div_ps(s.dot, norms));
    const __mmask16 nan = _mm512_cmp_ps_mask(score, score, _CMP_UNORD_Q);
    _mm512_storeu_ps(out, _mm512_mask_mov_ps(score, nan, _mm512_set1_ps(nan_score)));
}

// Scores the 16 * G rows of `rows` into out[0 .. 16 * G). When `ahead` is given, its first
// 16 * G rows (those of the next call) are prefetched along the way.
template <std::size_t G>
[[gnu::target("avx512f")]]
void score_groups(const float* q, std::size_t n, float query_norm, const float* const* rows, float* out,
                  const float* const* ahead) {
    Sums sums[G];
    for (std::size_t g = 0; g < G; ++g) sums[g] = {_mm512_setzero_ps(), _mm512_setzero_ps()};
    std::size_t c = 0;
    for (; c + 4 <= n; c += 4) {
        const __m512 q0 = _mm512_set1_ps(q[c]), q1 = _mm512_set1_ps(q[c + 1]);
        const __m512 q2 = _mm512_set1_ps(q[c + 2]), q3 = _mm512_set1_ps(q[c + 3]);
        if (ahead != nullptr) prefetch_quarter(ahead, 16 * G, c);
        // Unrolled, so that every group's sums stay in registers.
#pragma GCC unroll 8
        for (std::size_t g = 0; g < G; ++g) {
            const Columns cols = load_columns(rows + 16 * g, c);
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
            const Columns cols = load_columns_masked(rows + 16 * g, c, mask);
            add_column(sums[g], _mm512_set1_ps(q[c]), cols.col[0]);
            if (left > 1) add_column(sums[g], _mm512_set1_ps(q[c + 1]), cols.col[1]);
            if (left > 2) add_column(sums[g], _mm512_set1_ps(q[c + 2]), cols.col[2]);
        }
    }
    const __m512 norm = _mm512_set1_ps(query_norm);
    for (std::size_t g = 0; g < G; ++g) finish(sums[g], norm, out + 16 * g);
}

}  // namespace

[[gnu::target("avx512f")]]
void score_rows_avx512(const float* query, std::size_t n, float query_norm, const float* const* rows,
                       std::size_t count, float* scores) {
    score_in_groups<16>(score_groups<4>, score_groups<1>, query, n, query_norm, rows, count, scores);
}

#else

void score_rows_avx512(const float* query, std::size_t n, float query_norm, const float* const* rows,
                       std::size_t count, float* scores) {
    score_rows_portable(query, n, query_norm, rows, count, scores);
}

#endif

}  // namespace zelk::vectors
