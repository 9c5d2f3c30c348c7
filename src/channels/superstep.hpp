// advance_superstep: folds every node update of one superstep into the graph state.
#pragma once

#include "json/print.hpp"

#include <string_view>

namespace zelk::channels {

// Parses the state (an object of channels), reads the reducer table (an object of reducer
// names) and the update list (an array of objects or nulls), folds each update's members
// into the state in list order and prints the new state. The error, when there is one, is
// the message of the first failing step, in that order.
//
// Writes find the parsed channels through a keyed hash index or by search in name order,
// whichever the sizes make cheaper (`chosen`); tests force either to compare them.
enum class StateLookup { chosen, search, index };

json::Outcome advance_superstep(std::string_view state_json, std::string_view reducers_json,
                                std::string_view updates_json, StateLookup lookup = StateLookup::chosen);

}  // namespace zelk::channels
