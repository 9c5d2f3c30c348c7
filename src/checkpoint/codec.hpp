// The checkpoint codec: a JSON document behind the magic "ZELK" and a version byte.
//
//   offset 0, 4 bytes: "ZELK"
//   offset 4, 1 byte:  format version, 1
//   offset 5 to end:   the document in compact form, UTF-8
#pragma once

#include "json/print.hpp"

#include <cstdint>
#include <span>
#include <string_view>

namespace zelk::checkpoint {

inline constexpr std::string_view magic = "ZELK";
inline constexpr std::uint8_t version = 1;
inline constexpr std::size_t header_size = 5;

// The frame of a JSON text (parsed as text known to be UTF-8), or its parse error.
//
// With a `block` (of any size), the frame is written straight into it for as long as it
// fits; the outcome's text then still lives in `block` (its data pointer equals
// block.data()) when the frame is no longer than the block.
json::Outcome encode_checkpoint(std::string_view json_text, std::span<char> block = {});

// The compact JSON text of a frame's body (parsed as bytes, strings checked for UTF-8),
// or the error: bad magic, unsupported version, or the body's parse error (placed by
// offsets into the body).
json::Outcome decode_checkpoint(std::span<const std::uint8_t> blob);

}  // namespace zelk::checkpoint
