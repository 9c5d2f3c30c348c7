// Shared pieces of the fuzz targets: a failed property aborts (what both the fuzzer and
// the corpus replay report as a crash), and a reader that takes structured choices from
// the fuzzer's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace zelk_fuzz {

inline void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "property failed: %s\n", what);
    std::abort();
}

// The fuzzer's bytes read front to back; past the end every read gives zero.
struct Bytes {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
};

inline std::uint8_t take_byte(Bytes& in) { return in.at < in.size ? in.data[in.at++] : 0; }

inline bool exhausted(const Bytes& in) { return in.at >= in.size; }

// Up to `most` bytes (fewer when the input runs out), as a view into the input.
inline std::string_view take_text(Bytes& in, std::size_t most) {
    const std::size_t n = most < in.size - in.at ? most : in.size - in.at;
    const std::string_view text(reinterpret_cast<const char*>(in.data + in.at), n);
    in.at += n;
    return text;
}

// The input cut into `count` parts at the first `count - 1` zero bytes (the last part
// takes the rest). JSON text never holds a raw zero byte, so the parts are unaffected.
template <std::size_t count>
inline void split_at_zeros(std::string_view input, std::string_view (&parts)[count]) {
    for (std::size_t i = 0; i + 1 < count; ++i) {
        const std::size_t cut = input.find('\0');
        parts[i] = input.substr(0, cut);
        input = cut == std::string_view::npos ? std::string_view{} : input.substr(cut + 1);
    }
    parts[count - 1] = input;
}

}  // namespace zelk_fuzz
