// Cosine ranking: top_k on every scoring path this CPU runs against a stable full sort of
// every row's cosine under the total order (score descending, NaN last, then index), and
// each path's row scores against the portable ones bit for bit, on uniform, strided and
// ragged matrices read from the input's bytes as floats (NaNs, infinities, subnormals).
#include "fuzz.hpp"
#include "vectors/cosine.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using zelk_fuzz::require;
namespace vectors = zelk::vectors;

float take_float(zelk_fuzz::Bytes& in) {
    const std::uint8_t mode = take_byte(in);
    if (mode < 128) return float(int(mode % 16) - 8) / 4.0f;  // small values that tie often
    std::uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) bits = bits << 8 | take_byte(in);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

bool ranks_before(const vectors::ScoredRow& a, const vectors::ScoredRow& b) {
    const bool a_nan = std::isnan(a.score), b_nan = std::isnan(b.score);
    if (a_nan != b_nan) return b_nan;
    if (!a_nan && a.score != b.score) return a.score > b.score;
    return a.index < b.index;
}

// Equal indices and equal score bits; NaN scores only need to be NaN on both sides.
bool same_rows(const std::vector<vectors::ScoredRow>& a, const std::vector<vectors::ScoredRow>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].index != b[i].index) return false;
        if (std::isnan(a[i].score) && std::isnan(b[i].score)) continue;
        if (std::memcmp(&a[i].score, &b[i].score, sizeof(float)) != 0) return false;
    }
    return true;
}

constexpr vectors::ScorePath paths[] = {vectors::ScorePath::portable, vectors::ScorePath::avx2,
                                        vectors::ScorePath::avx512};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zelk_fuzz::Bytes in{data, size};
    const std::size_t cols = 1 + take_byte(in) % 20;
    const std::size_t rows = take_byte(in) % 40;
    const std::size_t stride = cols + take_byte(in) % 3;
    const std::uint64_t k = take_byte(in) % 48;
    const bool ragged = take_byte(in) % 4 == 0;

    std::vector<float> query(cols);
    for (float& q : query) q = take_float(in);
    std::vector<float> values;
    std::vector<std::size_t> offsets{0};
    for (std::size_t r = 0; r < rows; ++r) {
        const std::size_t length = ragged ? take_byte(in) % (cols + 2) : stride;
        for (std::size_t c = 0; c < length; ++c) values.push_back(take_float(in));
        offsets.push_back(values.size());
    }
    const vectors::Matrix matrix = ragged ? vectors::ragged_matrix(values, offsets)
                                          : vectors::uniform_matrix(values.data(), rows, cols, stride);

    std::vector<vectors::ScoredRow> all;
    for (std::size_t r = 0; r < rows; ++r) {
        all.push_back({r, vectors::cosine_similarity(query, matrix.row(r))});
        require(!ragged || matrix.row(r).size() == offsets[r + 1] - offsets[r],
                "ragged rows keep their length");
    }
    std::stable_sort(all.begin(), all.end(), ranks_before);
    if (all.size() > k) all.resize(k);
    require(same_rows(vectors::top_k(query, matrix, k), all), "top_k is the head of the full ranking");

    std::vector<float> portable(rows), scores(rows);
    if (rows != 0) vectors::score_rows(vectors::ScorePath::portable, query, matrix, 0, rows, portable.data());
    for (const vectors::ScorePath path : paths) {
        if (!vectors::path_available(path)) continue;
        require(same_rows(vectors::top_k(path, query, matrix, k), all), "every path ranks the same");
        if (rows == 0) continue;
        // From a row inside the matrix too, so that groups of lanes start unaligned.
        const std::size_t first = rows / 3;
        vectors::score_rows(path, query, matrix, first, rows - first, scores.data());
        require(std::memcmp(scores.data(), portable.data() + first, (rows - first) * sizeof(float)) == 0,
                "row scores match the portable path bit for bit");
    }
    return 0;
}
