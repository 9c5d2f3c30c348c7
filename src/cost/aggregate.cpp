#include "cost/aggregate.hpp"

namespace zelk::cost {

double aggregate_cost(std::span<const double> values) {
    double total = -0.0;
    for (double value : values) total = total + value;
    return total;
}

}  // namespace zelk::cost
