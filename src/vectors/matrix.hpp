// The rows of a matrix as the scoring reads them, without owning them.
#pragma once

#include <cstddef>
#include <span>

namespace zelk::vectors {

// Either uniform: `rows` rows of `cols` floats each, row i starting at data + i * stride
// (stride counted in floats, at least cols), as a C-contiguous or row-strided 2-D array
// lays them out; or ragged: row i spans data[offsets[i] .. offsets[i + 1]), rows back to
// back, each of its own length (`offsets` has rows + 1 entries starting with 0).
struct Matrix {
    const float* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;                  // uniform rows only
    std::size_t stride = 0;                // uniform rows only
    std::span<const std::size_t> offsets;  // ragged rows only; empty when uniform

    bool uniform() const noexcept { return offsets.empty(); }
    std::span<const float> row(std::size_t i) const noexcept {
        if (uniform()) return {data + i * stride, cols};
        return {data + offsets[i], offsets[i + 1] - offsets[i]};
    }
};

inline Matrix uniform_matrix(const float* data, std::size_t rows, std::size_t cols,
                             std::size_t stride) noexcept {
    return Matrix{data, rows, cols, stride, {}};
}

inline Matrix ragged_matrix(std::span<const float> values, std::span<const std::size_t> offsets) noexcept {
    const std::size_t rows = offsets.empty() ? 0 : offsets.size() - 1;
    return Matrix{values.data(), rows, 0, 0, rows == 0 ? std::span<const std::size_t>{} : offsets};
}

}  // namespace zelk::vectors
