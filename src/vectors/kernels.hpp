// The row-scoring kernels behind `score_rows`, one per path. Each scores `count` rows of
// n floats (n >= 1), given by the address of their first element, against a query of n
// floats whose sum of squares xx is not zero and whose rounded square root is `query_norm`:
// scores[i] is +0.0 when row i's sum of squares is zero, else dot / (query_norm * sqrt(yy)),
// with dot and yy summed in element order from +0.0 and every product rounded first.
// A NaN score is always the one quiet NaN `nan_score`: which of two NaN operands an
// operation passes on depends on operand order, which a compiler may swap for a commutative
// operation, so a propagated payload would differ between paths and builds.
// The caller sets the control word (nearest, no flush-to-zero) around the call.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace zelk::vectors {

inline constexpr std::uint32_t nan_score_bits = 0x7FC00000;
inline constexpr float nan_score = std::bit_cast<float>(nan_score_bits);

inline float settle_nan(float score) { return std::isnan(score) ? nan_score : score; }

using RowKernel = void (*)(const float* query, std::size_t n, float query_norm, const float* const* rows,
                           std::size_t count, float* scores);

void score_rows_portable(const float* query, std::size_t n, float query_norm, const float* const* rows,
                         std::size_t count, float* scores);

// Only to be called when the CPU has AVX2 (respectively AVX-512F); off x86 they forward
// to the portable kernel.
void score_rows_avx2(const float* query, std::size_t n, float query_norm, const float* const* rows,
                     std::size_t count, float* scores);
void score_rows_avx512(const float* query, std::size_t n, float query_norm, const float* const* rows,
                       std::size_t count, float* scores);

}  // namespace zelk::vectors
