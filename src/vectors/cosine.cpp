#include "vectors/cosine.hpp"

#include <algorithm>
#include <cmath>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace zelk::vectors {

namespace {

// The arithmetic must be plain IEEE single precision: round to nearest even and subnormals
// kept. Another library in the process may have switched on flush-to-zero or changed the
// rounding mode, so the default control state is set for the computation and restored.
#if defined(__SSE__)
struct DefaultFloatMode {
    unsigned saved = _mm_getcsr();
    DefaultFloatMode() noexcept { _mm_setcsr(0x1F80); }  // all exceptions masked, nearest, no FTZ/DAZ
    ~DefaultFloatMode() { _mm_setcsr(saved); }
    DefaultFloatMode(const DefaultFloatMode&) = delete;
    DefaultFloatMode& operator=(const DefaultFloatMode&) = delete;
};
#else
struct DefaultFloatMode {};
#endif

// The sum of squares of the query is the same for every row; it is computed once.
float sum_of_squares(std::span<const float> x) {
    float sum = 0.0f;
    for (float v : x) sum = sum + v * v;
    return sum;
}

float cosine_with(std::span<const float> x, float xx, std::span<const float> y) {
    float dot = 0.0f;
    float yy = 0.0f;
    for (std::size_t i = 0; i < x.size(); ++i) {
        dot = dot + x[i] * y[i];
        yy = yy + y[i] * y[i];
    }
    if (xx == 0.0f || yy == 0.0f) return 0.0f;
    const float norms = std::sqrt(xx) * std::sqrt(yy);
    return dot / norms;
}

// A total order: higher score first, NaN last, then ascending index. Because it is total,
// any sorting or selection algorithm gives the same result as a stable sort by score.
bool ranks_before(const ScoredRow& a, const ScoredRow& b) {
    const bool a_nan = std::isnan(a.score);
    const bool b_nan = std::isnan(b.score);
    if (a_nan != b_nan) return b_nan;
    if (!a_nan && a.score != b.score) return a.score > b.score;
    return a.index < b.index;
}

}  // namespace

float cosine(std::span<const float> x, std::span<const float> y) {
    DefaultFloatMode mode;
    return cosine_with(x, sum_of_squares(x), y);
}

float cosine_similarity(std::span<const float> a, std::span<const float> b) {
    if (a.empty() || a.size() != b.size()) return 0.0f;
    return cosine(a, b);
}

std::vector<ScoredRow> top_k(std::span<const float> query, const Matrix& matrix, std::uint64_t k) {
    const std::size_t rows = matrix.rows;
    std::vector<ScoredRow> scored;
    scored.reserve(rows);
    {
        DefaultFloatMode mode;
        const float qq = sum_of_squares(query);
        for (std::size_t i = 0; i < rows; ++i) {
            const std::span<const float> row = matrix.row(i);
            const bool comparable = !query.empty() && row.size() == query.size();
            scored.push_back({i, comparable ? cosine_with(query, qq, row) : 0.0f});
        }
    }
    const std::size_t keep = std::size_t(std::min<std::uint64_t>(k, rows));
    if (keep < rows) {
        std::partial_sort(scored.begin(), scored.begin() + std::ptrdiff_t(keep), scored.end(),
                          ranks_before);
        scored.resize(keep);
    } else {
        std::sort(scored.begin(), scored.end(), ranks_before);
    }
    return scored;
}

}  // namespace zelk::vectors
