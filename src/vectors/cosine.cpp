#include "vectors/cosine.hpp"

#include "vectors/kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>

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
#elif defined(__aarch64__)
// FPCR: zero is round to nearest (RMode), no flush-to-zero (FZ, FZ16, FIZ), NaN operands
// propagated (DN, AH clear) and no exception traps.
struct DefaultFloatMode {
    std::uint64_t saved = read_fpcr();
    DefaultFloatMode() noexcept { write_fpcr(0); }
    ~DefaultFloatMode() { write_fpcr(saved); }
    DefaultFloatMode(const DefaultFloatMode&) = delete;
    DefaultFloatMode& operator=(const DefaultFloatMode&) = delete;

    static std::uint64_t read_fpcr() noexcept {
        std::uint64_t value;
        asm volatile("mrs %0, fpcr" : "=r"(value) : : "memory");
        return value;
    }
    static void write_fpcr(std::uint64_t value) noexcept {
        asm volatile("msr fpcr, %0" : : "r"(value) : "memory");
    }
};
#else
// No control register this build knows how to set: the platform's default mode is used.
struct DefaultFloatMode {
    DefaultFloatMode() noexcept {}
};
#endif

// The sum of squares of the query is the same for every row; it is computed once.
float sum_of_squares(std::span<const float> x) {
    float sum = 0.0f;
    for (float v : x) sum = sum + v * v;
    return sum;
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

RowKernel kernel_of(ScorePath path) {
    switch (path) {
        case ScorePath::avx2: return score_rows_avx2;
        case ScorePath::avx512: return score_rows_avx512;
        case ScorePath::portable: break;
    }
    return score_rows_portable;
}

// Rows are scored a block at a time, so that the addresses of a block's rows and its scores
// stay in a few kilobytes, allocated once per call (not on the stack, which a host thread
// may have made small).
constexpr std::size_t block_rows = 1024;

struct Block {
    const float* rows[block_rows];
    std::uint16_t at[block_rows];
    float got[block_rows];
    float scores[block_rows];
};

// What every row's score needs from the query, taken once under the default control word.
struct Scorer {
    std::span<const float> query;
    float query_norm;  // sqrt of the query's sum of squares
    bool all_zero;     // the query is empty or its sum of squares is zero: every row scores +0.0
    RowKernel kernel;
};

Scorer make_scorer(ScorePath path, std::span<const float> query) {
    const float xx = sum_of_squares(query);
    return {query, std::sqrt(xx), query.empty() || xx == 0.0f, kernel_of(path)};
}

// Scores rows [first, first + count) of the matrix, count at most block_rows.
void score_block(const Scorer& scorer, const Matrix& matrix, std::size_t first, std::size_t count,
                 float* scores, Block& block) {
    const std::size_t n = scorer.query.size();
    if (scorer.all_zero || (matrix.uniform() && matrix.cols != n)) {
        std::fill(scores, scores + count, 0.0f);
        return;
    }
    const float** rows = block.rows;
    if (matrix.uniform()) {
        for (std::size_t i = 0; i < count; ++i) rows[i] = matrix.data + (first + i) * matrix.stride;
        scorer.kernel(scorer.query.data(), n, scorer.query_norm, rows, count, scores);
        return;
    }
    // Ragged rows: only those of the query's length go through the kernel.
    std::uint16_t* at = block.at;
    std::size_t comparable = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::span<const float> row = matrix.row(first + i);
        scores[i] = 0.0f;
        if (row.size() != n) continue;
        rows[comparable] = row.data();
        at[comparable++] = std::uint16_t(i);
    }
    if (comparable == 0) return;
    float* got = block.got;
    scorer.kernel(scorer.query.data(), n, scorer.query_norm, rows, comparable, got);
    for (std::size_t j = 0; j < comparable; ++j) scores[at[j]] = got[j];
}

// The best `keep` rows (0 < keep < rows) in a bounded heap whose top is the worst row kept.
// Rows come in ascending index order, so a new row displaces the worst one only if its
// score is greater, or it is a number and the worst one is NaN; equal scores never do.
std::vector<ScoredRow> select_best(const Scorer& scorer, const Matrix& matrix, std::size_t keep) {
    std::vector<ScoredRow> heap;
    heap.reserve(keep);
    float worst = 0.0f;
    bool worst_nan = false;
    const auto block = std::make_unique_for_overwrite<Block>();
    const float* scores = block->scores;
    for (std::size_t first = 0; first < matrix.rows; first += block_rows) {
        const std::size_t count = std::min(block_rows, matrix.rows - first);
        score_block(scorer, matrix, first, count, block->scores, *block);
        for (std::size_t j = 0; j < count; ++j) {
            const float score = scores[j];
            if (heap.size() == keep) {
                if (!(score > worst || (worst_nan && !std::isnan(score)))) continue;
                std::pop_heap(heap.begin(), heap.end(), ranks_before);
                heap.back() = {first + j, score};
            } else {
                heap.push_back({first + j, score});
            }
            std::push_heap(heap.begin(), heap.end(), ranks_before);
            worst = heap.front().score;
            worst_nan = std::isnan(worst);
        }
    }
    std::sort_heap(heap.begin(), heap.end(), ranks_before);
    return heap;
}

}  // namespace

void score_rows_portable(const float* query, std::size_t n, float query_norm, const float* const* rows,
                         std::size_t count, float* scores) {
    for (std::size_t r = 0; r < count; ++r) {
        const float* y = rows[r];
        float dot = 0.0f;
        float yy = 0.0f;
        for (std::size_t i = 0; i < n; ++i) {
            dot = dot + query[i] * y[i];
            yy = yy + y[i] * y[i];
        }
        scores[r] = yy == 0.0f ? 0.0f : settle_nan(dot / (query_norm * std::sqrt(yy)));
    }
}

bool path_available(ScorePath path) {
    switch (path) {
        case ScorePath::portable: return true;
#if defined(__x86_64__) || defined(__i386__)
        // The compiler's runtime read cpuid (and whether the system saves the wide
        // registers) once when the library loaded.
        case ScorePath::avx2: return __builtin_cpu_supports("avx2");
        case ScorePath::avx512: return __builtin_cpu_supports("avx512f");
#else
        case ScorePath::avx2:
        case ScorePath::avx512: return false;
#endif
    }
    return false;
}

ScorePath fastest_path() {
    if (path_available(ScorePath::avx512)) return ScorePath::avx512;
    if (path_available(ScorePath::avx2)) return ScorePath::avx2;
    return ScorePath::portable;
}

void score_rows(ScorePath path, std::span<const float> query, const Matrix& matrix, std::size_t first,
                std::size_t count, float* scores) {
    DefaultFloatMode mode;
    const Scorer scorer = make_scorer(path, query);
    const auto block = std::make_unique_for_overwrite<Block>();
    for (std::size_t done = 0; done < count; done += block_rows) {
        const std::size_t size = std::min(block_rows, count - done);
        score_block(scorer, matrix, first + done, size, scores + done, *block);
    }
}

// The three sums run side by side in one pass: each is its own chain of additions in
// element order, so the result is that of three separate passes.
float cosine(std::span<const float> x, std::span<const float> y) {
    DefaultFloatMode mode;
    float dot = 0.0f;
    float xx = 0.0f;
    float yy = 0.0f;
    for (std::size_t i = 0; i < x.size(); ++i) {
        dot = dot + x[i] * y[i];
        xx = xx + x[i] * x[i];
        yy = yy + y[i] * y[i];
    }
    if (xx == 0.0f || yy == 0.0f) return 0.0f;
    const float norms = std::sqrt(xx) * std::sqrt(yy);
    return settle_nan(dot / norms);
}

float cosine_similarity(std::span<const float> a, std::span<const float> b) {
    if (a.empty() || a.size() != b.size()) return 0.0f;
    return cosine(a, b);
}

std::vector<ScoredRow> top_k(ScorePath path, std::span<const float> query, const Matrix& matrix,
                             std::uint64_t k) {
    const std::size_t rows = matrix.rows;
    const std::size_t keep = std::size_t(std::min<std::uint64_t>(k, rows));
    std::vector<ScoredRow> best;
    if (keep == 0) return best;
    DefaultFloatMode mode;
    const Scorer scorer = make_scorer(path, query);
    if (scorer.all_zero) {
        // Every score is +0.0: the first rows in index order.
        best.reserve(keep);
        for (std::size_t i = 0; i < keep; ++i) best.push_back({i, 0.0f});
        return best;
    }
    if (keep < rows) return select_best(scorer, matrix, keep);
    best.resize(rows);
    const auto block = std::make_unique_for_overwrite<Block>();
    for (std::size_t first = 0; first < rows; first += block_rows) {
        const std::size_t count = std::min(block_rows, rows - first);
        score_block(scorer, matrix, first, count, block->scores, *block);
        for (std::size_t j = 0; j < count; ++j) best[first + j] = {first + j, block->scores[j]};
    }
    std::sort(best.begin(), best.end(), ranks_before);
    return best;
}

std::vector<ScoredRow> top_k(std::span<const float> query, const Matrix& matrix, std::uint64_t k) {
    return top_k(fastest_path(), query, matrix, k);
}

}  // namespace zelk::vectors
