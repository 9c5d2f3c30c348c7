// The checkpoint codec.
#include "checkpoint/codec.hpp"

#include "json/transcode.hpp"

#include <string>

namespace zelk::checkpoint {

namespace {

// Re-prints `text` in compact form after what `outcome` already holds, or replaces the
// outcome with the parse error (positions counted from the start of `text`).
void transcode(std::string_view text, bool check_utf8, json::Outcome& outcome) {
    json::ParseError error;
    if (!json::parse_and_print(text, check_utf8, outcome.text, error)) {
        outcome.text = {};
        outcome.error = json::error_message(text, error);
    }
}

}  // namespace

json::Outcome encode_checkpoint(std::string_view json_text, std::span<char> block) {
    json::Outcome outcome;
    if (block.size() >= header_size) {
        json::lend(outcome.text, block.data(), block.size());
    } else {
        // The compact form is rarely longer than the text; reserving that much up front
        // spares the buffer its early regrowth.
        json::reserve(outcome.text, header_size + json_text.size() + 16);
    }
    json::append(outcome.text, magic);
    json::put(outcome.text, char(version));
    transcode(json_text, false, outcome);
    return outcome;
}

json::Outcome decode_checkpoint(std::span<const std::uint8_t> blob) {
    json::Outcome outcome;
    const std::string_view bytes(reinterpret_cast<const char*>(blob.data()), blob.size());
    if (bytes.size() <= magic.size() || bytes.substr(0, magic.size()) != magic) {
        outcome.error = "invalid checkpoint: bad magic header";
        return outcome;
    }
    if (blob[magic.size()] != version) {
        outcome.error = "unsupported checkpoint version: " + std::to_string(unsigned(blob[magic.size()]));
        return outcome;
    }
    const std::string_view body = bytes.substr(header_size);
    json::reserve(outcome.text, body.size() + 16);
    transcode(body, true, outcome);
    return outcome;
}

}  // namespace zelk::checkpoint
