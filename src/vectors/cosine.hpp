// Cosine similarity in 32-bit floating point with a fixed order of operations, and the
// top-k rows of a matrix by that similarity.
#pragma once

#include "vectors/matrix.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zelk::vectors {

struct ScoredRow {
    std::uint64_t index;
    float score;
};

// The ways of scoring rows: one row at a time in plain C++, or one row per lane of an AVX2
// (8 lanes) or AVX-512 (16 lanes) register, each lane summing in element order. Every path
// gives the same bits as the portable one.
enum class ScorePath { portable, avx2, avx512 };

// Whether this CPU runs `path` (the portable path always).
bool path_available(ScorePath path);

// The fastest available path, from what the compiler runtime read from cpuid at load.
ScorePath fastest_path();

// Scores rows [first, first + count) of the matrix into scores[0 .. count): +0.0 for a row
// whose length differs from the query's or when the query is empty, else the cosine of the
// query (x) and the row (y). `path` must be available.
void score_rows(ScorePath path, std::span<const float> query, const Matrix& matrix, std::size_t first,
                std::size_t count, float* scores);

// The cosine of two vectors of the same length n >= 1: three sums from +0.0 taken in
// element order, each product rounded to 32 bits before it is added; +0.0 when either
// sum of squares is zero; otherwise dot / (sqrt(xx) * sqrt(yy)), each step rounded.
float cosine(std::span<const float> x, std::span<const float> y);

// +0.0 for vectors that cannot be compared (empty, or of different lengths).
float cosine_similarity(std::span<const float> a, std::span<const float> b);

// Every row scored against the query, best first: higher scores first, equal scores in
// ascending index order, NaN scores after all others in ascending index order. At most
// `k` rows are returned.
// When k is below the number of rows, the best k are kept in a bounded heap as the rows are
// scored, so no score list of the whole matrix is built.
std::vector<ScoredRow> top_k(std::span<const float> query, const Matrix& matrix, std::uint64_t k);
std::vector<ScoredRow> top_k(ScorePath path, std::span<const float> query, const Matrix& matrix,
                             std::uint64_t k);

}  // namespace zelk::vectors
