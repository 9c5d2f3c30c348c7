// The checkpoint decoder on arbitrary blobs: the header checks come first, a good header's
// body decodes exactly as the byte parser's one-pass path prints it (or fails with its
// message), and what decodes re-encodes to the same header and body and decodes to itself.
#include "checkpoint/codec.hpp"
#include "fuzz.hpp"
#include "json/transcode.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace {

using zelk_fuzz::require;
namespace checkpoint = zelk::checkpoint;
namespace json = zelk::json;

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> blob(data, size);
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const json::Outcome decoded = checkpoint::decode_checkpoint(blob);

    if (size <= checkpoint::magic.size() || bytes.substr(0, checkpoint::magic.size()) != checkpoint::magic) {
        require(decoded.error == "invalid checkpoint: bad magic header", "bad magic reported first");
        return 0;
    }
    if (data[checkpoint::magic.size()] != checkpoint::version) {
        require(decoded.error.starts_with("unsupported checkpoint version: "), "bad version reported next");
        return 0;
    }
    const std::string_view body = bytes.substr(checkpoint::header_size);
    json::Buffer expected;
    json::ParseError error;
    if (!json::parse_and_print(body, true, expected, error)) {
        require(decoded.error == json::error_message(body, error), "body error placed within the body");
        return 0;
    }
    require(decoded.ok(), "a good body decodes");
    const std::string_view text = json::view(decoded.text);
    require(text == json::view(expected), "decoded text is the body's compact form");

    const json::Outcome encoded = checkpoint::encode_checkpoint(text);
    require(encoded.ok(), "decoded text encodes");
    const std::string_view frame = json::view(encoded.text);
    require(frame.substr(0, checkpoint::header_size) == bytes.substr(0, checkpoint::header_size) &&
                frame.substr(checkpoint::header_size) == text,
            "encoding frames the compact text unchanged");
    const json::Outcome again = checkpoint::decode_checkpoint(bytes_of(frame));
    require(again.ok() && json::view(again.text) == text, "decode of encode is the identity");
    return 0;
}
