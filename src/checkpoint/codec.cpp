// The checkpoint codec.
#include "checkpoint/codec.hpp"

#include "json/parse.hpp"

#include <string>

namespace zelk::checkpoint {

json::Outcome encode_checkpoint(std::string_view json_text) {
    json::Outcome outcome;
    json::Arena arena;
    const json::Parsed document = json::parse_text(json_text, arena);
    if (!document.ok) {
        outcome.error = json::error_message(json_text, document.error);
        return outcome;
    }
    // The compact form is rarely longer than the text; reserving that much up front
    // spares the buffer its early regrowth.
    json::reserve(outcome.text, header_size + json_text.size() + 16);
    json::append(outcome.text, magic);
    json::append(outcome.text, std::string_view("\x01", 1));
    json::print_value(outcome.text, document.value);
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
    json::Arena arena;
    const json::Parsed document = json::parse_bytes(body, arena);
    if (!document.ok) {
        outcome.error = json::error_message(body, document.error);
        return outcome;
    }
    json::reserve(outcome.text, body.size() + 16);
    json::print_value(outcome.text, document.value);
    return outcome;
}

}  // namespace zelk::checkpoint
