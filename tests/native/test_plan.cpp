// The planner core: worked examples, key independence, the keyed hash against its
// published vectors, and random graphs (with cycles, short and long names) against a
// naive fixed-point planner.
#include "check.hpp"
#include "scheduler/name_hash.hpp"
#include "scheduler/plan.hpp"

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

using namespace zelk::scheduler;
using zelk_test::check;

namespace {

// Short names, or long ones past a shared prefix whose next 8 bytes repeat across a third
// of the names (sorting keys tie and the bytes after them decide), some above 0x7f.
std::string node_name(std::uint64_t i, bool long_names = false) {
    if (!long_names) return "n" + std::to_string(i);
    static const char* const middles[] = {"aaaaaaaa", "aaaaaaa\xff", "\x80\x80\x80\x80\x80\x80\x80\x80"};
    return "shared/prefix/" + std::string(middles[i % 3]) + std::to_string(i / 3) + (i % 2 ? "\xe9" : "");
}

using Steps = std::vector<std::vector<std::string>>;

Steps to_steps(const Plan& p) {
    Steps out;
    for (std::size_t i = 0; i < p.ends.size(); ++i) {
        auto s = superstep(p, i);
        out.emplace_back(s.begin(), s.end());
    }
    return out;
}

// Plans with 32-bit ids, and checks that 64-bit ids give the same plan.
Steps run(const std::vector<std::string>& nodes,
          const std::vector<std::pair<std::string, std::string>>& edges, HashKey key) {
    std::vector<std::string_view> nv(nodes.begin(), nodes.end());
    std::vector<Edge> ev(edges.begin(), edges.end());
    Steps steps = to_steps(plan(nv, ev, key));
    check(to_steps(plan_wide(nv, ev, key)) == steps, "64-bit ids plan alike");
    return steps;
}

struct Example {
    std::vector<std::string> nodes;
    std::vector<std::pair<std::string, std::string>> edges;
    Steps expected;
};

const std::vector<Example> examples = {
    {{}, {{"a", "b"}}, {}},
    {{"b", "B", "a", "ab", ""}, {}, {{"", "B", "a", "ab", "b"}}},
    {{"c", "b", "a"}, {{"a", "b"}, {"b", "c"}}, {{"a"}, {"b"}, {"c"}}},
    {{"d", "c", "b", "a"}, {{"a", "b"}, {"a", "c"}, {"b", "d"}, {"c", "d"}}, {{"a"}, {"b", "c"}, {"d"}}},
    {{"a", "b", "c"}, {{"a", "b"}, {"b", "c"}, {"a", "c"}}, {{"a"}, {"b"}, {"c"}}},
    {{"a"}, {{"a", "x"}, {"x", "a"}}, {{"a"}}},
    {{"a", "b"}, {{"a", "a"}, {"a", "b"}}, {{"a"}, {"b"}}},
    {{"a", "b"}, {{"a", "b"}, {"a", "b"}}, {{"a"}, {"b"}}},
    {{"a", "a"}, {}, {{"a"}}},
    {{"a", "b", "c"}, {{"a", "b"}, {"b", "c"}, {"c", "b"}}, {{"a"}, {"b", "c"}}},
    {{"b", "a"}, {{"a", "b"}, {"b", "a"}}, {{"a", "b"}}},
    // A repeated node on a cycle is still one node: listed once in the remainder.
    {{"a", "b", "a"}, {{"a", "b"}, {"b", "a"}}, {{"a", "b"}}},
    {{"a", "b", "c", "d"}, {{"a", "b"}, {"b", "a"}, {"b", "c"}, {"d", "c"}}, {{"d"}, {"a", "b", "c"}}},
    // Bytes above 0x7f sort after ASCII (unsigned comparison), a prefix first.
    {{"\xc3\xa9", "z", "\xc3", "e\xcc\x81", "e"}, {}, {{"e", "e\xcc\x81", "z", "\xc3", "\xc3\xa9"}}},
    // Embedded zero bytes are part of the name.
    {{std::string("a\0b", 3), "a", std::string("a\0", 2)},
     {{"a", std::string("a\0", 2)}},
     {{"a", std::string("a\0b", 3)}, {std::string("a\0", 2)}}},
};

// Naive planner: repeatedly place every unplaced node whose predecessors are all placed.
Steps reference(const std::vector<std::string>& nodes,
                const std::vector<std::pair<std::string, std::string>>& edges) {
    std::set<std::string> known(nodes.begin(), nodes.end());
    std::map<std::string, std::set<std::string>> preds;
    for (const auto& n : known) preds[n];
    for (const auto& [f, t] : edges) {
        if (known.count(f) && known.count(t) && f != t) preds[t].insert(f);
    }
    Steps out;
    std::set<std::string> placed;
    while (true) {
        std::vector<std::string> step;
        for (const auto& [n, ps] : preds) {
            if (placed.count(n)) continue;
            if (std::all_of(ps.begin(), ps.end(), [&](const auto& p) { return placed.count(p) > 0; }))
                step.push_back(n);
        }
        if (step.empty()) break;
        placed.insert(step.begin(), step.end());
        out.push_back(step);  // std::map iterates std::string in byte order already
    }
    std::vector<std::string> rest;
    for (const auto& n : known) {
        if (!placed.count(n)) rest.push_back(n);
    }
    if (!rest.empty()) out.push_back(rest);
    return out;
}

}  // namespace

int main() {
    // SipHash-2-4 vectors of its authors: key 00..0f, message 00..(len-1).
    const HashKey vector_key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
    std::string message;
    for (int i = 0; i < 15; ++i) message.push_back(char(i));
    check(siphash<2, 4>(vector_key, "") == 0x726fdb47dd0e0e31ULL, "siphash-2-4, empty message");
    check(siphash<2, 4>(vector_key, message) == 0xa129ca6149be45e5ULL, "siphash-2-4, 15 bytes");
    check(siphash<2, 4>(vector_key, message.substr(0, 8)) == 0x93f5f5799a932462ULL, "siphash-2-4, 8 bytes");

    const HashKey keys[] = {{0, 0}, {1, 2}, draw_hash_key(&message), {~0ULL, 0x123456789ULL}};
    for (std::size_t i = 0; i < examples.size(); ++i) {
        for (const HashKey key : keys) {
            check(run(examples[i].nodes, examples[i].edges, key) == examples[i].expected,
                  "example " + std::to_string(i));
        }
    }

    // Views sharing one address but not one length are different names.
    const std::string_view buffer = "abc";
    const std::vector<std::string_view> prefixes = {buffer.substr(0, 2), buffer.substr(0, 1),
                                                    buffer.substr(0, 0)};
    const std::vector<Edge> prefix_edges = {{buffer.substr(0, 1), buffer.substr(0, 2)},
                                            {buffer.substr(0, 2), buffer.substr(0, 0)}};
    check(to_steps(plan(prefixes, prefix_edges)) == Steps{{"a"}, {"ab"}, {""}},
          "names at one address told apart by length");

    // Random graphs with cycles against the naive planner, under several keys, with short
    // and with long names, and with the edges in reverse order.
    std::mt19937_64 rng(99);
    bool agree = true;
    for (int round = 0; round < 600; ++round) {
        const bool long_names = round % 3 == 2;
        const std::size_t names = 1 + rng() % 30;
        std::vector<std::string> nodes;
        for (std::size_t i = 0, count = rng() % 40; i < count; ++i)
            nodes.push_back(node_name(rng() % names, long_names));
        std::vector<std::pair<std::string, std::string>> edges;
        const bool acyclic = rng() % 2 == 0;
        for (std::size_t i = 0, count = rng() % 80; i < count; ++i) {
            auto a = rng() % (names + 2), b = rng() % (names + 2);  // some unknown names
            if (acyclic && a > b) std::swap(a, b);
            edges.emplace_back(node_name(a, long_names), node_name(b, long_names));
        }
        const Steps want = reference(nodes, edges);
        agree &= run(nodes, edges, keys[round % 4]) == want;
        std::reverse(edges.begin(), edges.end());
        agree &= run(nodes, edges, keys[(round + 1) % 4]) == want;
    }
    check(agree, "random graphs agree with the naive planner");

    // Without edges the plan is one superstep: the distinct names in byte order. Random
    // names past a random shared prefix, from 2 to 4 letters so that names often agree on
    // many bytes and every byte of the sorting key decides somewhere.
    bool ordered = true;
    const char alphabet[] = {'\0', '0', '9', 'A', 'a', 'z', '\x7f', '\x80', '\xff'};
    for (int round = 0; round < 300; ++round) {
        const std::string prefix(rng() % 12, 'p');
        std::string letters;
        for (std::size_t i = 0, count = 2 + rng() % 3; i < count; ++i)
            letters += alphabet[rng() % sizeof alphabet];
        std::vector<std::string> nodes;
        for (std::size_t i = 0, count = 1 + rng() % 200; i < count; ++i) {
            std::string name = prefix;
            for (std::size_t j = 0, length = rng() % 20; j < length; ++j)
                name += letters[rng() % letters.size()];
            nodes.push_back(name);
        }
        std::vector<std::string> sorted = nodes;
        std::sort(sorted.begin(), sorted.end());
        sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
        ordered &= run(nodes, {}, keys[round % 4]) == Steps{sorted};
    }
    check(ordered, "one superstep holds the distinct names in byte order");
    return zelk_test::finish();
}
