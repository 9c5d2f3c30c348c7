// Parse and print in one pass: the compact form of a document without building its values.
//
// The checkpoint codec only re-prints what it parses, so it needs no value tree. This
// reader goes through the parser's own building blocks (same syntax, nesting budget,
// error kinds and positions) and writes each token's printed form as it is read. Object
// members are printed in the order of the text and put in name order, last of repeated
// names kept, when their object closes; in canonical input they already are, and nothing
// moves.
#pragma once

#include "json/parse.hpp"
#include "json/print.hpp"

#include <string_view>

namespace zelk::json {

// Appends the compact form of the document in `input` to `out` and returns true, or
// returns false with the parse error in `error` (what `out` holds then is unspecified).
// The text appended is exactly what print_value gives for parse_text / parse_bytes of it.
bool parse_and_print(std::string_view input, bool check_utf8, Buffer& out, ParseError& error);

}  // namespace zelk::json
