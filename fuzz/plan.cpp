// The planner against a naive reference on small random graphs. The input chooses node
// names from a tiny alphabet (so names repeat and collide) and edges whose endpoints are
// the node strings themselves, equal copies at other addresses, or unknown names. The
// reference assigns supersteps layer by layer: a node joins the first layer in which all
// its predecessors are already placed; what never joins forms the last superstep. Each
// superstep is in byte order. The plan must not depend on the hash key or on the width of
// its ids.
#include "scheduler/plan.hpp"
#include "fuzz.hpp"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

using zelk_fuzz::require;
namespace scheduler = zelk::scheduler;

using Steps = std::vector<std::vector<std::string>>;

std::string name_from(zelk_fuzz::Bytes& in) {
    static constexpr char alphabet[] = {'a', 'b', 'c', '\0', '\x7f', '\x80', '\xff', 'd'};
    const std::size_t length = 1 + take_byte(in) % 3;
    std::string name;
    for (std::size_t i = 0; i < length; ++i) name.push_back(alphabet[take_byte(in) % sizeof(alphabet)]);
    return name;
}

Steps naive(const std::vector<std::string_view>& nodes, const std::vector<scheduler::Edge>& edges) {
    std::set<std::string> known(nodes.begin(), nodes.end());
    std::map<std::string, std::set<std::string>> preds;
    for (const auto& [from, to] : edges) {
        if (from != to && known.count(std::string(from)) && known.count(std::string(to))) {
            preds[std::string(to)].insert(std::string(from));
        }
    }
    Steps steps;
    std::set<std::string> placed;
    for (;;) {
        std::vector<std::string> layer;
        for (const std::string& node : known) {
            if (placed.count(node)) continue;
            const auto& before = preds[node];
            if (std::all_of(before.begin(), before.end(),
                            [&](const std::string& p) { return placed.count(p) != 0; })) {
                layer.push_back(node);
            }
        }
        if (layer.empty()) break;
        placed.insert(layer.begin(), layer.end());
        steps.push_back(layer);  // std::set iterates std::string in byte order already
    }
    std::vector<std::string> rest;
    for (const std::string& node : known) {
        if (!placed.count(node)) rest.push_back(node);
    }
    if (!rest.empty()) steps.push_back(rest);
    return steps;
}

Steps steps_of(const scheduler::Plan& plan) {
    Steps steps;
    for (std::size_t i = 0; i < plan.ends.size(); ++i) {
        std::vector<std::string> step;
        for (const std::string_view name : scheduler::superstep(plan, i)) step.emplace_back(name);
        steps.push_back(step);
    }
    return steps;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zelk_fuzz::Bytes in{data, size};
    // Names live in a deque so that views of them stay valid while more are added.
    std::deque<std::string> storage;
    std::vector<std::string_view> nodes;
    const std::size_t node_count = take_byte(in) % 24;
    for (std::size_t i = 0; i < node_count; ++i) nodes.push_back(storage.emplace_back(name_from(in)));

    std::vector<scheduler::Edge> edges;
    const auto endpoint = [&](std::uint8_t choice) -> std::string_view {
        if (!nodes.empty() && choice % 4 != 3) {
            const std::string_view node = nodes[take_byte(in) % nodes.size()];
            if (choice % 4 != 2) return node;                // the node's own string
            return storage.emplace_back(std::string(node));  // an equal copy elsewhere
        }
        return storage.emplace_back(name_from(in));  // most likely unknown
    };
    while (!exhausted(in) && edges.size() < 96) {
        const std::uint8_t choice = take_byte(in);
        const std::string_view from = endpoint(choice);
        const std::string_view to = endpoint(choice >> 2);
        edges.emplace_back(from, to);
    }

    const Steps expected = naive(nodes, edges);
    require(steps_of(scheduler::plan(nodes, edges)) == expected, "plan matches the layered reference");
    const scheduler::HashKey zero{0, 0};
    const scheduler::HashKey other{0x0123456789abcdefULL, size};
    require(steps_of(scheduler::plan(nodes, edges, zero)) == expected, "plan does not depend on the key");
    require(steps_of(scheduler::plan_wide(nodes, edges, other)) == expected, "wide ids plan the same");
    return 0;
}
