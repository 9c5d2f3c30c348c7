// Cosine similarity in 32-bit floating point with a fixed order of operations, and the
// top-k rows of a matrix by that similarity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zelk::vectors {

// Rows stored back to back: row i spans values[offsets[i] .. offsets[i + 1]).
struct Matrix {
    std::span<const float> values;
    std::span<const std::size_t> offsets;  // one more entry than rows, starting with 0

    std::size_t rows() const noexcept { return offsets.empty() ? 0 : offsets.size() - 1; }
    std::span<const float> row(std::size_t i) const noexcept {
        return values.subspan(offsets[i], offsets[i + 1] - offsets[i]);
    }
};

struct ScoredRow {
    std::uint64_t index;
    float score;
};

// The cosine of two vectors of the same length n >= 1: three sums from +0.0 taken in
// element order, each product rounded to 32 bits before it is added; +0.0 when either
// sum of squares is zero; otherwise dot / (sqrt(xx) * sqrt(yy)), each step rounded.
float cosine(std::span<const float> x, std::span<const float> y);

// +0.0 for vectors that cannot be compared (empty, or of different lengths).
float cosine_similarity(std::span<const float> a, std::span<const float> b);

// Every row scored against the query, best first: higher scores first, equal scores in
// ascending index order, NaN scores after all others in ascending index order. At most
// `k` rows are returned.
std::vector<ScoredRow> top_k(std::span<const float> query, const Matrix& matrix, std::uint64_t k);

}  // namespace zelk::vectors
