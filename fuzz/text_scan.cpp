// The byte scanners and the UTF-8 checker: every vector form against its portable
// reference on the input's bytes, from every start offset (so that each alignment and
// every tail length is met): the same stopping byte, the same copied bytes, the same
// offset of the first ill-formed sequence. None may read outside the input, which the
// address sanitizer checks since the input is a buffer of exactly its size.
#include "fuzz.hpp"
#include "json/scan.hpp"
#include "json/utf8.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using zelk_fuzz::require;
namespace json = zelk::json;

using Scan = const char* (*)(const char*, const char*) noexcept;
using Copy = char* (*)(char*, const char*&, const char*) noexcept;

void check_copy(Copy copy, const char* begin, const char* end) {
    std::vector<char> expected(std::size_t(end - begin) + 1), got(expected.size());
    const char* s_expected = begin;
    const char* s_got = begin;
    char* w_expected = json::copy_plain_portable(expected.data(), s_expected, end);
    char* w_got = copy(got.data(), s_got, end);
    require(s_got == s_expected && w_got - got.data() == w_expected - expected.data() &&
                std::memcmp(got.data(), expected.data(), std::size_t(w_expected - expected.data())) == 0,
            "a vector copy of a plain run matches the portable one");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* begin = reinterpret_cast<const char*>(data);
    const char* end = begin + size;
    const bool avx2 = json::cpu_has_avx2();
    for (std::size_t start = 0; start <= size && start <= 96; ++start) {
        const char* cur = begin + start;
        const char* stop = json::scan_string_portable(cur, end);
        require(json::scan_string_sse2(cur, end) == stop, "SSE2 string scan");
        require(json::scan_string(cur, end) == stop, "chosen string scan");
        const char* blank = json::skip_blanks_portable(cur, end);
        require(json::skip_blanks_sse2(cur, end) == blank, "SSE2 blank skip");
        require(json::skip_blanks(cur, end) == blank, "chosen blank skip");
        check_copy(json::copy_plain_sse2, cur, end);
        check_copy(json::copy_plain, cur, end);
        const auto* bytes = reinterpret_cast<const unsigned char*>(cur);
        const std::size_t error = json::utf8_error_portable(bytes, size - start);
        require(json::utf8_error({cur, size - start}) == error, "chosen UTF-8 check");
        if (avx2) {
            require(json::scan_string_avx2(cur, end) == stop, "AVX2 string scan");
            require(json::skip_blanks_avx2(cur, end) == blank, "AVX2 blank skip");
            check_copy(json::copy_plain_avx2, cur, end);
            require(json::utf8_error_avx2(bytes, size - start) == error, "AVX2 UTF-8 check");
        }
    }
    return 0;
}
