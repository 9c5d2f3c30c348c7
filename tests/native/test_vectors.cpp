// The scoring paths against each other: every available path gives the portable path's bits
// (NaN payloads included) on random matrices with zero rows, rows of other lengths, NaN,
// infinities, subnormal and overflowing values, uniform (strided) and ragged; the portable
// path equals the one-pair cosine; top_k on every path equals a stable sort of the scores.
#include "check.hpp"
#include "vectors/cosine.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

using namespace zelk::vectors;
using zelk_test::check;

namespace {

struct PathName {
    ScorePath path;
    const char* name;
};

constexpr PathName fast_paths[] = {{ScorePath::avx2, "avx2"}, {ScorePath::avx512, "avx512"}};

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

float random_float(std::mt19937& rng, int style) {
    static constexpr float edges[] = {0.0f,   -0.0f,  1.0f,   -1.0f,    1e-45f,   -1e-45f,
                                      1e-40f, 3e-39f, 1e-20f, 1e-19f,   1e19f,    1e20f,
                                      3e38f,  -3e38f, 0.5f,   INFINITY, -INFINITY};
    switch (style) {
        case 0: return std::normal_distribution<float>(0.0f, 1.0f)(rng);
        case 1: return edges[rng() % std::size(edges)];
        case 2: return std::bit_cast<float>(std::uint32_t(rng()));  // any pattern, NaNs among them
        default:
            if (rng() % 20 == 0)
                return std::bit_cast<float>(0x7FC00000u | (std::uint32_t(rng()) & 0x803FFFFFu));
            return std::ldexp(std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng),
                              int(rng() % 280) - 150);
    }
}

std::vector<float> random_values(std::mt19937& rng, std::size_t n, int style) {
    std::vector<float> v(n);
    for (auto& x : v) {
        // a few zero rows and runs of zeros
        x = style == 4 ? 0.0f : random_float(rng, style);
    }
    return v;
}

// A uniform matrix of `rows` rows of `cols` floats at `stride` (>= cols), each row of one style.
std::vector<float> random_matrix(std::mt19937& rng, std::size_t rows, std::size_t cols, std::size_t stride) {
    std::vector<float> data(rows * stride + 1, std::bit_cast<float>(0x7FA00001u));  // padding is a NaN
    for (std::size_t r = 0; r < rows; ++r) {
        const std::vector<float> row = random_values(rng, cols, int(rng() % 5));
        std::copy(row.begin(), row.end(), data.begin() + std::ptrdiff_t(r * stride));
    }
    return data;
}

std::vector<float> scores_of(ScorePath path, std::span<const float> query, const Matrix& m) {
    std::vector<float> s(m.rows, 1.0f);
    score_rows(path, query, m, 0, m.rows, s.data());
    return s;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](float x, float y) { return bits(x) == bits(y); });
}

// The specified order by a stable sort: strictly greater first, NaN after every number.
std::vector<ScoredRow> stable_sorted(const std::vector<float>& scores) {
    std::vector<ScoredRow> all;
    for (std::size_t i = 0; i < scores.size(); ++i) all.push_back({i, scores[i]});
    std::stable_sort(all.begin(), all.end(), [](const ScoredRow& a, const ScoredRow& b) {
        if (std::isnan(a.score) || std::isnan(b.score)) return !std::isnan(a.score) && std::isnan(b.score);
        return a.score > b.score;
    });
    return all;
}

bool same_rows(const std::vector<ScoredRow>& got, const std::vector<ScoredRow>& want, std::size_t k) {
    const std::size_t keep = std::min(k, want.size());
    if (got.size() != keep) return false;
    for (std::size_t i = 0; i < keep; ++i)
        if (got[i].index != want[i].index || bits(got[i].score) != bits(want[i].score)) return false;
    return true;
}

void check_matrix(std::mt19937& rng, std::span<const float> query, const Matrix& m, const std::string& what) {
    const std::vector<float> plain = scores_of(ScorePath::portable, query, m);
    // The portable kernel is the one-pair cosine row by row.
    bool pairwise = true;
    for (std::size_t r = 0; r < m.rows; ++r) {
        const float want = m.row(r).size() == query.size() ? cosine_similarity(query, m.row(r)) : 0.0f;
        pairwise &= bits(plain[r]) == bits(want);
    }
    check(pairwise, "portable = cosine " + what);

    const std::vector<ScoredRow> order = stable_sorted(plain);
    const std::size_t ks[] = {0,      1,          3,
                              10,     m.rows / 2, m.rows > 0 ? m.rows - 1 : 0,
                              m.rows, m.rows + 7, std::size_t(rng() % (m.rows + 2))};
    for (const PathName& p : fast_paths) {
        if (!path_available(p.path)) continue;
        check(same_bits(scores_of(p.path, query, m), plain), std::string(p.name) + " scores " + what);
    }
    for (const std::size_t k : ks) {
        check(same_rows(top_k(ScorePath::portable, query, m, k), order, k), "portable top_k " + what);
        for (const PathName& p : fast_paths) {
            if (!path_available(p.path)) continue;
            check(same_rows(top_k(p.path, query, m, k), order, k), std::string(p.name) + " top_k " + what);
        }
    }
}

void uniform_matrices() {
    std::mt19937 rng(20261209);
    const std::size_t lengths[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 64, 127, 128, 131};
    for (const std::size_t n : lengths) {
        for (int round = 0; round < 12; ++round) {
            // small, several kernel batches, and across blocks of rows
            const std::size_t rows = round < 6 ? rng() % 80 : round < 11 ? rng() % 700 : 2000 + rng() % 1200;
            const std::size_t stride = n + (round % 3 == 0 ? rng() % 5 : 0);
            const std::vector<float> data = random_matrix(rng, rows, n, stride);
            const std::vector<float> query = random_values(rng, n, round % 4);
            const Matrix m = uniform_matrix(data.data(), rows, n, stride);
            check_matrix(rng, query, m, "uniform n=" + std::to_string(n) + " rows=" + std::to_string(rows));
            // A query of another length scores every row 0.0.
            const std::vector<float> other = random_values(rng, n + 1, 0);
            check(same_bits(scores_of(fastest_path(), other, m), std::vector<float>(rows, 0.0f)),
                  "other length scores zero");
        }
    }
}

void ragged_matrices() {
    std::mt19937 rng(77);
    for (int round = 0; round < 150; ++round) {
        const std::size_t n = rng() % 20;
        const std::size_t rows = round % 10 == 9 ? 2000 + rng() % 1200 : rng() % 600;
        std::vector<float> values;
        std::vector<std::size_t> offsets{0};
        for (std::size_t r = 0; r < rows; ++r) {
            // most rows of the query's length, the others one or more longer or shorter
            std::size_t len = n;
            if (rng() % 3 == 0) len = std::size_t(std::max<long>(0, long(n) + long(rng() % 7) - 3));
            const std::vector<float> row = random_values(rng, len, int(rng() % 5));
            values.insert(values.end(), row.begin(), row.end());
            offsets.push_back(values.size());
        }
        const std::vector<float> query = random_values(rng, n, int(rng() % 4));
        // The values sit at the very end of their own allocation, so a read past the last row
        // shows under the address sanitizer.
        const std::vector<float> exact(values.begin(), values.end());
        check_matrix(rng, query, ragged_matrix(exact, offsets), "ragged round " + std::to_string(round));
    }
}

// The computation runs under round-to-nearest without flush-to-zero whatever the caller's
// control word, and gives that word back.
void control_word() {
#if defined(__SSE__) || defined(__aarch64__)
    // squares and products below the normal range, an element that is itself subnormal
    const float tiny[] = {1e-20f, 2e-20f, 3e-39f};
    const float row[] = {3e-20f, 1e-20f, 2e-21f};
    const Matrix m = uniform_matrix(row, 1, 3, 3);
    const std::vector<float> want = scores_of(ScorePath::portable, tiny, m);
    check(want[0] != 0.0f, "subnormal inputs give a nonzero score");
#endif
#if defined(__SSE__)
    const unsigned saved = _mm_getcsr();
    const unsigned odd = (saved & ~0x6000u) | 0x8040u | 0x2000u;  // FTZ, DAZ, round down
    for (const ScorePath path : {ScorePath::portable, ScorePath::avx2, ScorePath::avx512}) {
        if (!path_available(path)) continue;
        _mm_setcsr(odd);
        const std::vector<float> got = scores_of(path, tiny, m);
        const std::vector<ScoredRow> best = top_k(path, tiny, m, 1);
        const unsigned after = _mm_getcsr();
        _mm_setcsr(saved);
        check(same_bits(got, want) && bits(best[0].score) == bits(want[0]), "scores under FTZ/DAZ");
        check(after == odd, "control word restored");
    }
#elif defined(__aarch64__)
    // The same under FPCR flush-to-zero (FZ) and rounding toward minus infinity.
    const float want_single = cosine(tiny, row);
    std::uint64_t saved;
    asm volatile("mrs %0, fpcr" : "=r"(saved));
    const std::uint64_t odd =
        (saved & ~(std::uint64_t(3) << 22)) | (std::uint64_t(1) << 24) | (std::uint64_t(2) << 22);
    asm volatile("msr fpcr, %0" : : "r"(odd) : "memory");
    const std::vector<float> got = scores_of(ScorePath::portable, tiny, m);
    const std::vector<ScoredRow> best = top_k(ScorePath::portable, tiny, m, 1);
    const float single = cosine(tiny, row);
    std::uint64_t after;
    asm volatile("mrs %0, fpcr" : "=r"(after) : : "memory");
    asm volatile("msr fpcr, %0" : : "r"(saved) : "memory");
    check(same_bits(got, want) && bits(best[0].score) == bits(want[0]) && bits(single) == bits(want_single),
          "scores under FZ and round-down");
    check(after == odd, "control register restored");
#endif
}

}  // namespace

int main() {
    for (const PathName& p : fast_paths)
        if (!path_available(p.path)) zelk_test::skip(std::string(p.name) + " path: this CPU lacks it");
    uniform_matrices();
    ragged_matrices();
    control_word();
    return zelk_test::finish();
}
