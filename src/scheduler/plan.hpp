// The superstep planner: orders the nodes of a directed graph into bulk-synchronous
// supersteps. A node runs one superstep after the latest of its predecessors, so its
// superstep number is the length of the longest chain of edges ending at it. Nodes on a
// cycle, or reachable from one, never become ready; they form one last superstep.
#pragma once

#include "scheduler/name_hash.hpp"

#include <cstddef>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace zelk::scheduler {

// (from, to): `to` runs after `from`.
using Edge = std::pair<std::string_view, std::string_view>;

// The supersteps back to back. Names are views of the caller's node names (valid as long
// as those are), each superstep in ascending byte order; superstep i spans
// names[i == 0 ? 0 : ends[i - 1] .. ends[i]).
struct Plan {
    std::vector<std::string_view> names;
    std::vector<std::size_t> ends;
};

std::span<const std::string_view> superstep(const Plan& plan, std::size_t i);

// Names are nodes when equal byte for byte; a repeated node name counts once. Edges
// naming an unknown node, and self-loops, are ignored; repeated edges are harmless.
// Every known node appears exactly once in the plan: the nodes that never became ready
// form the last superstep (present only when there are such nodes). Never fails.
Plan plan(std::span<const std::string_view> nodes, std::span<const Edge> edges);

// The same with a chosen hash key; the plan does not depend on it.
Plan plan(std::span<const std::string_view> nodes, std::span<const Edge> edges, HashKey key);

// The same with 64-bit ids and counts, which `plan` picks by itself only for inputs too
// large for 32-bit ones; callable directly so that tests reach it.
Plan plan_wide(std::span<const std::string_view> nodes, std::span<const Edge> edges, HashKey key);

}  // namespace zelk::scheduler
