// libFuzzer harness for the JSON parser (not part of the default build):
//   clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -Isrc \
//       fuzz/json_parse.cpp src/json/*.cpp -o build/fuzz_json_parse
// Feeds arbitrary bytes to both parsers and checks that they agree: same verdict, same
// error, same compact text; and that the compact text is a fixed point of both.
#include "json/parse.hpp"
#include "json/print.hpp"
#include "json/transcode.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

struct Result {
    bool ok;
    std::string text;  // compact form or error message
};

Result through_values(std::string_view input, bool bytes) {
    zelk::json::Arena arena;
    const auto parsed = bytes ? zelk::json::parse_bytes(input, arena) : zelk::json::parse_text(input, arena);
    if (!parsed.ok) return {false, zelk::json::error_message(input, parsed.error)};
    return {true, zelk::json::to_text(parsed.value)};
}

Result in_one_pass(std::string_view input, bool bytes) {
    zelk::json::Buffer out;
    zelk::json::ParseError error;
    if (!zelk::json::parse_and_print(input, bytes, out, error)) return {false, zelk::json::error_message(input, error)};
    return {true, std::string(zelk::json::view(out))};
}

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const Result values = through_values(input, true);
    const Result pass = in_one_pass(input, true);
    require(values.ok == pass.ok && values.text == pass.text);
    if (values.ok) {
        require(zelk::json::is_valid_utf8(values.text));
        require(in_one_pass(values.text, false).text == values.text);
        require(through_values(values.text, false).text == values.text);
    }
    return 0;
}
