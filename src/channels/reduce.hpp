// Channel reducers: how a value written by a node folds into a channel's current value.
//
// "add" sums numbers, "append" extends a list, and every other name replaces the value.
// The two routines below apply one fold; `reduce_channel` and `advance_superstep` both go
// through them, so the two agree on every channel.
#pragma once

#include "json/print.hpp"
#include "json/value.hpp"

#include <string_view>

namespace zelk::channels {

enum class Reducer { add, append, replace };

// Exact bytes: "add", "append"; anything else (case variants and "last_value" included)
// replaces.
Reducer reducer_named(std::string_view name) noexcept;

// The new value of a channel holding `current` when a node writes `update`. `current` is
// only read; parts of `update` may become parts of the result. New blocks come from `arena`.
json::Value reduce_value(std::string_view reducer, const json::Value& current, json::Value update,
                         json::Arena& arena);

// The same fold applied in place to a channel value that the caller owns outright (no
// other value shares its top-level array): repeated appends to one channel then cost
// amortised constant time per item instead of a copy of the whole list each time.
// `grown` is the caller's record of whether the channel's array block was allocated by
// "append" with room to grow (std::bit_ceil(size) slots, extendable in place); it starts
// false for a parsed value, and the fold keeps it up to date.
void reduce_into(std::string_view reducer, json::Value& channel, bool& grown, json::Value update,
                 json::Arena& arena);
void reduce_into(Reducer reducer, json::Value& channel, bool& grown, json::Value update, json::Arena& arena);

// Whether the fold of `update` into `current` under `reducer` nests at most `limit` arrays
// and objects, for operands that each nest at most `limit` (parsed ones are bounded by the
// parser's budget). Only "append" can nest deeper than its operands, by wrapping an object
// operand in the new list; a result the parser could not read back is refused by the
// callers instead of printed.
bool fold_fits(Reducer reducer, const json::Value& current, const json::Value& update,
               std::size_t limit) noexcept;

// reduce_channel: parses the update text, then the current text, folds and prints.
// A parse error gives its message (the update's first when both are bad); a result nested
// deeper than a document may be gives a "recursion limit exceeded" message.
json::Outcome reduce_channel(std::string_view reducer, std::string_view current_json,
                             std::string_view update_json);

}  // namespace zelk::channels
