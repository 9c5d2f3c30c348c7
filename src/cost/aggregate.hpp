// Sum of per-call costs.
#pragma once

#include <span>

namespace zelk::cost {

// The total of no costs: -0.0, the identity of addition.
inline constexpr double no_costs = -0.0;

// `total` plus each of `values` in order, one rounded double addition at a time, so that
// a sum taken in pieces equals the sum taken at once.
double add_costs(double total, std::span<const double> values);

// The plain sequential double sum from no_costs, so the sum of nothing is -0.0.
double aggregate_cost(std::span<const double> values);

}  // namespace zelk::cost
