// The JSON parsers and the printer. Arbitrary bytes go through the value path
// (parse_bytes, then print_value) and the one-pass path (parse_and_print): same verdict,
// same error message, same compact text. Input that is valid UTF-8 gives the same from
// the text parsers, which skip the check. The compact text is valid UTF-8 and a fixed
// point of both paths.
#include "fuzz.hpp"
#include "json/parse.hpp"
#include "json/print.hpp"
#include "json/transcode.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace {

using zelk_fuzz::require;

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
    if (!zelk::json::parse_and_print(input, bytes, out, error))
        return {false, zelk::json::error_message(input, error)};
    return {true, std::string(zelk::json::view(out))};
}

bool same(const Result& a, const Result& b) { return a.ok == b.ok && a.text == b.text; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const Result values = through_values(input, true);
    require(same(values, in_one_pass(input, true)), "value path and one-pass path agree on bytes");
    if (zelk::json::is_valid_utf8(input)) {
        require(same(values, through_values(input, false)), "text and byte value paths agree on UTF-8");
        require(same(values, in_one_pass(input, false)), "text one-pass path agrees on UTF-8");
    }
    if (values.ok) {
        require(zelk::json::is_valid_utf8(values.text), "compact text is UTF-8");
        require(same(in_one_pass(values.text, false), values),
                "one-pass path: compact text is a fixed point");
        require(same(through_values(values.text, false), values),
                "value path: compact text is a fixed point");
    }
    return 0;
}
