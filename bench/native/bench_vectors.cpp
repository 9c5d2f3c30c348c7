// The scoring kernels against one read of the matrix, the floor that memory bandwidth sets.
// For each matrix shape, every available path scores all rows (score_rows) and selects the
// best ten (top_k); the read sums every float of the matrix with wide independent
// accumulators. Rounds alternate the contenders; each is timed in thread CPU time and the
// median over rounds of its time divided by the read's time is reported with its median
// ns per row and GB/s (matrix bytes per second).
//
//   build/dev/bench_vectors [rounds]
#include "vectors/cosine.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

using namespace zelk::vectors;

namespace {

double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

float read_portable(const float* data, std::size_t count) {
    float acc[16] = {};
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16)
        for (std::size_t j = 0; j < 16; ++j) acc[j] += data[i + j];
    for (; i < count; ++i) acc[0] += data[i];
    float sum = 0.0f;
    for (float a : acc) sum += a;
    return sum;
}

#if defined(__x86_64__) || defined(__i386__)
[[gnu::target("avx2")]] float read_avx2(const float* data, std::size_t count) {
    __m256 acc[8];
    for (auto& a : acc) a = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; i + 64 <= count; i += 64)
        for (int j = 0; j < 8; ++j) acc[j] = _mm256_add_ps(acc[j], _mm256_loadu_ps(data + i + 8 * j));
    for (int j = 1; j < 8; ++j) acc[0] = _mm256_add_ps(acc[0], acc[j]);
    float lanes[8];
    _mm256_storeu_ps(lanes, acc[0]);
    float sum = read_portable(data + i, count - i);
    for (float l : lanes) sum += l;
    return sum;
}
#endif

float read_matrix(const float* data, std::size_t count) {
#if defined(__x86_64__) || defined(__i386__)
    if (__builtin_cpu_supports("avx2")) return read_avx2(data, count);
#endif
    return read_portable(data, count);
}

struct Contender {
    std::string name;
    std::function<void()> run;
    std::vector<double> seconds;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

volatile float sink;

void bench_shape(std::size_t rows, std::size_t cols, int rounds) {
    const std::size_t count = rows * cols;
    std::unique_ptr<float[], void (*)(void*)> owned(
        static_cast<float*>(std::aligned_alloc(64, (count * sizeof(float) + 63) / 64 * 64)), std::free);
    float* data = owned.get();
    std::mt19937 rng(42);
    std::normal_distribution<float> normal;
    for (std::size_t i = 0; i < count; ++i) data[i] = normal(rng);
    std::vector<float> query(cols);
    for (auto& q : query) q = normal(rng);
    const Matrix matrix = uniform_matrix(data, rows, cols, cols);
    std::vector<float> scores(rows);

    std::vector<Contender> contenders;
    contenders.push_back({"read", [&] { sink = read_matrix(data, count); }, {}});
    const std::pair<ScorePath, const char*> paths[] = {
        {ScorePath::portable, "portable"}, {ScorePath::avx2, "avx2"}, {ScorePath::avx512, "avx512"}};
    for (const auto& entry : paths) {
        // Plain variables: clang before 16 cannot capture a structured binding.
        const ScorePath path = entry.first;
        const char* name = entry.second;
        if (!path_available(path)) {
            std::printf("%zux%zu %s: not on this CPU\n", rows, cols, name);
            continue;
        }
        contenders.push_back({std::string(name) + " score_rows",
                              [&, path] {
                                  score_rows(path, query, matrix, 0, rows, scores.data());
                                  sink = scores[0];
                              },
                              {}});
        contenders.push_back({std::string(name) + " top_k k=10",
                              [&, path] { sink = top_k(path, query, matrix, 10)[0].score; },
                              {}});
    }
    for (auto& c : contenders) c.run();  // warm the caches and the page tables
    for (std::size_t r = 0; r < std::size_t(rounds); ++r) {
        for (auto& c : contenders) {
            const double start = thread_seconds();
            c.run();
            c.seconds.push_back(thread_seconds() - start);
        }
    }
    const double bytes = double(count) * sizeof(float);
    std::printf("%zu x %zu float32 (%.1f MB), %d rounds, thread CPU time, medians\n", rows, cols, bytes / 1e6,
                rounds);
    std::printf("  %-22s %10s %10s %12s\n", "", "ns/row", "GB/s", "x read");
    for (const auto& c : contenders) {
        std::vector<double> ratios;
        for (std::size_t r = 0; r < std::size_t(rounds); ++r)
            ratios.push_back(c.seconds[r] / contenders[0].seconds[r]);
        const double t = median(c.seconds);
        std::printf("  %-22s %10.2f %10.2f %12.2f\n", c.name.c_str(), t * 1e9 / double(rows), bytes / t / 1e9,
                    median(ratios));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    bench_shape(100000, 128, rounds);
    bench_shape(1000000, 64, rounds);
    return 0;
}
