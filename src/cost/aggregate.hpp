// Sum of per-call costs.
#pragma once

#include <span>

namespace zelk::cost {

// The plain sequential double sum, one rounded addition at a time in order, starting
// from -0.0 (the identity of addition), so the sum of nothing is -0.0.
double aggregate_cost(std::span<const double> values);

}  // namespace zelk::cost
