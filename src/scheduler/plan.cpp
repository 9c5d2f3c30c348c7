// Planning runs on dense integer ids: every distinct node name is interned once through a
// keyed open-addressing table, edges become (id, id) pairs and then a CSR successor
// array, and every node's superstep is found by pending-predecessor counts. The names are
// put in byte order once, by keys taken while interning, and spread stably by superstep.
//
// Memory is kept small on purpose: fresh pages are costly (a fault each, and an allocator
// returns the memory of a large call to the system, so every call pays them again), so the
// name tables are at most four fifths full and freed once the edges are resolved, and ids
// refer to node positions rather than holding views of their own.
#include "scheduler/plan.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

namespace zelk::scheduler {

namespace {

std::uint64_t mix64(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Slots for `names` entries: a power of two, at most four fifths full.
std::size_t table_capacity(std::size_t names) {
    std::size_t capacity = 16;
    while (4 * capacity < 5 * names) capacity *= 2;
    return capacity;
}

// The distinct names by id, as positions in the node list (the first occurrence of each).
template <class Index>
struct Names {
    std::span<const std::string_view> nodes;
    std::vector<Index> first;

    std::string_view operator[](std::size_t id) const { return nodes[first[id]]; }
    std::size_t size() const { return first.size(); }
};

// Open addressing with linear probing. A slot holds the upper half of the name's hash
// (compared before the bytes) and id + 1, 0 marking a free slot.
template <class Index>
struct NameTable {
    struct Slot {
        std::uint32_t tag;
        Index id_plus_one;
    };
    std::vector<Slot> slots;
    std::size_t mask;
    HashKey key;
};

template <class Index>
NameTable<Index> make_table(std::size_t names, HashKey key) {
    const std::size_t capacity = table_capacity(names);
    return {std::vector<typename NameTable<Index>::Slot>(capacity), capacity - 1, key};
}

template <class Index>
constexpr Index no_id = std::numeric_limits<Index>::max();

// How many names or edges ahead the table slots they will hit are requested.
constexpr std::size_t prefetch_ahead = 12;

// The id of node `k`; when its name is new, it is given the next id.
template <class Index>
Index intern(NameTable<Index>& table, Names<Index>& distinct, std::size_t k, std::uint64_t h) {
    const std::string_view name = distinct.nodes[k];
    const auto tag = std::uint32_t(h >> 32);
    for (std::size_t i = h & table.mask;; i = (i + 1) & table.mask) {
        auto& slot = table.slots[i];
        if (slot.id_plus_one == 0) {
            slot = {tag, Index(distinct.size() + 1)};
            distinct.first.push_back(Index(k));
            return Index(distinct.size() - 1);
        }
        if (slot.tag == tag && distinct[slot.id_plus_one - 1] == name) return slot.id_plus_one - 1;
    }
}

// Inlined into the edge pass, where it runs twice per edge whose texts are not the nodes'.
template <class Index>
[[gnu::always_inline]] inline Index find(const NameTable<Index>& table, const Names<Index>& distinct,
                                         std::string_view name) {
    const std::uint64_t h = name_hash(table.key, name);
    const auto tag = std::uint32_t(h >> 32);
    for (std::size_t i = h & table.mask;; i = (i + 1) & table.mask) {
        const auto& slot = table.slots[i];
        if (slot.id_plus_one == 0) return no_id<Index>;
        if (slot.tag == tag && distinct[slot.id_plus_one - 1] == name) return slot.id_plus_one - 1;
    }
}

// Edge endpoints are usually the very strings of the node list (the host passes the same
// objects). Equal address and length mean equal bytes, so an identity table keyed by the
// text's address finds them without reading or hashing the text. It only short-cuts the
// byte table: a miss falls back to it. Addresses are not chosen by the caller, and they are
// mixed with the call's key all the same.
template <class Index>
struct IdentityTable {
    struct Slot {
        const char* data;
        std::uint32_t size;
        Index id;
    };
    std::vector<Slot> slots;
    std::size_t mask;
    int shift;
    std::uint64_t key;
};

template <class Index>
IdentityTable<Index> make_identity_table(std::size_t names, HashKey key) {
    const std::size_t capacity = table_capacity(names);
    return {std::vector<typename IdentityTable<Index>::Slot>(capacity), capacity - 1,
            64 - std::countr_zero(capacity), key.k0 | 1};
}

template <class Index>
std::size_t identity_home(const IdentityTable<Index>& table, std::string_view name) {
    const auto address = std::uint64_t(reinterpret_cast<std::uintptr_t>(name.data()));
    return std::size_t(((address ^ table.key) * 0x9e3779b97f4a7c15ULL) >> table.shift);
}

template <class Index>
void remember(IdentityTable<Index>& table, std::string_view name, Index id) {
    if (name.size() > std::numeric_limits<std::uint32_t>::max()) return;  // left to the byte table
    for (std::size_t i = identity_home(table, name);; i = (i + 1) & table.mask) {
        auto& slot = table.slots[i];
        if (slot.data == nullptr) {
            slot = {name.data(), std::uint32_t(name.size()), id};
            return;
        }
        if (slot.data == name.data() && slot.size == name.size()) return;
    }
}

template <class Index>
Index recall(const IdentityTable<Index>& table, std::string_view name) {
    for (std::size_t i = identity_home(table, name);; i = (i + 1) & table.mask) {
        const auto& slot = table.slots[i];
        if (slot.data == nullptr) return no_id<Index>;
        if (slot.data == name.data() && slot.size == name.size()) return slot.id;
    }
}

// Up to 8 bytes of `name` from `at` on as a big-endian number, zero-padded: comparing two
// keys compares those bytes in byte order, and equal keys leave the rest undecided.
std::uint64_t sort_key(std::string_view name, std::size_t at) {
    if (at + 8 <= name.size()) {
        std::uint64_t key;
        std::memcpy(&key, name.data() + at, 8);
        if constexpr (std::endian::native == std::endian::little) key = __builtin_bswap64(key);
        return key;
    }
    std::uint64_t key = 0;
    for (std::size_t i = at; i < name.size(); ++i)
        key |= std::uint64_t(std::uint8_t(name[i])) << (56 - 8 * (i - at));
    return key;
}

// The length of the prefix `a` and `b` share, at most `most` bytes; 8 bytes at a time, the
// first differing byte found from the lowest differing bit of a little-endian word.
std::size_t shared_prefix(std::string_view a, std::string_view b, std::size_t most) {
    most = std::min({most, a.size(), b.size()});
    std::size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; i + 8 <= most; i += 8) {
            std::uint64_t x, y;
            std::memcpy(&x, a.data() + i, 8);
            std::memcpy(&y, b.data() + i, 8);
            if (x != y) return i + std::size_t(std::countr_zero(x ^ y)) / 8;
        }
    }
    while (i < most && a[i] == b[i]) ++i;
    return i;
}

// Ascending byte order of names given by id. string_view compares through
// char_traits<char>, which orders by unsigned char with a proper prefix first: exactly the
// byte order of the plan. The names are sorted by an 8-byte key taken just past the prefix
// they all share, held beside the id; only names whose keys tie are compared in full.
template <class Index>
void sort_by_bytes(typename std::vector<Index>::iterator first, typename std::vector<Index>::iterator last,
                   const Names<Index>& distinct) {
    if (last - first < 2) return;
    const std::string_view head = distinct[*first];
    std::size_t shared = head.size();
    for (auto it = first + 1; it != last && shared > 0; ++it)
        shared = shared_prefix(head, distinct[*it], shared);
    std::vector<std::pair<std::uint64_t, Index>> keyed;
    keyed.reserve(std::size_t(last - first));
    for (auto it = first; it != last; ++it) keyed.emplace_back(sort_key(distinct[*it], shared), *it);
    std::sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
        return a.first != b.first ? a.first < b.first : distinct[a.second] < distinct[b.second];
    });
    for (const auto& [sort_key, id] : keyed) *first++ = id;
}

// The ids in ascending byte order of their names, given each name's key: the 8 bytes past
// the prefix all names share. A least-significant-digit radix sort of the ids on their
// keys, a byte per pass, skipping the bytes in which all keys agree; then each run of
// equal keys is sorted by its names' bytes.
template <class Index>
std::vector<Index> byte_order(const std::vector<std::uint64_t>& keys, const Names<Index>& distinct) {
    const std::size_t n = keys.size();
    std::vector<Index> order(n);
    for (std::size_t id = 0; id < n; ++id) order[id] = Index(id);
    if (n < 256) {  // a few names: a comparison sort costs less than the radix tables
        sort_by_bytes<Index>(order.begin(), order.end(), distinct);
        return order;
    }
    std::vector<std::size_t> counts(8 * 256, 0);
    for (const std::uint64_t k : keys) {
        for (std::size_t d = 0; d < 8; ++d) ++counts[256 * d + ((k >> (8 * d)) & 0xff)];
    }
    std::vector<Index> spare(n);
    for (std::size_t d = 0; d < 8; ++d) {
        std::size_t* count = counts.data() + 256 * d;
        if (n == 0 || count[(keys[0] >> (8 * d)) & 0xff] == n) continue;  // every key has this byte
        std::size_t at = 0;
        for (std::size_t b = 0; b < 256; ++b) at += std::exchange(count[b], at);
        for (const Index id : order) spare[count[(keys[id] >> (8 * d)) & 0xff]++] = id;
        order.swap(spare);
    }
    spare = {};
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i + 1;
        while (j < n && keys[order[j]] == keys[order[i]]) ++j;
        if (j - i > 1) {
            sort_by_bytes<Index>(order.begin() + std::ptrdiff_t(i), order.begin() + std::ptrdiff_t(j),
                                 distinct);
        }
        i = j;
    }
    return order;
}

// The names interned: the distinct names by id, the two tables that map a name to its id,
// and each id's sort key (the 8 bytes past the prefix all node names share).
template <class Index>
struct Interned {
    Names<Index> distinct;
    NameTable<Index> table;
    IdentityTable<Index> identity;
    std::vector<std::uint64_t> keys;
};

// Interning: every node name gets its id (a repeated name the id of its first occurrence)
// and each distinct name its sort key, taken while its bytes are at hand.
template <class Index>
Interned<Index> intern_nodes(std::span<const std::string_view> nodes, HashKey key) {
    Interned<Index> out{
        {nodes, {}}, make_table<Index>(nodes.size(), key), make_identity_table<Index>(nodes.size(), key), {}};
    Names<Index>& distinct = out.distinct;
    distinct.first.reserve(nodes.size());
    // Both tables are filled at random; hashing every name first lets the slots of names
    // a little ahead be requested early so that the cache misses overlap. The same pass,
    // in the host's order of the names, finds the prefix they all share.
    std::vector<std::uint64_t> hashes(nodes.size());
    std::size_t shared = nodes.empty() ? 0 : nodes[0].size();
    for (std::size_t k = 0; k < nodes.size(); ++k) {
        hashes[k] = name_hash(key, nodes[k]);
        shared = shared_prefix(nodes[0], nodes[k], shared);
    }
    // The key of id i is written over the hash of node i, which is no longer needed: ids
    // never outrun nodes.
    std::vector<std::uint64_t>& keys = hashes;
    for (std::size_t k = 0; k < nodes.size(); ++k) {
        if (k + prefetch_ahead < nodes.size()) {
            __builtin_prefetch(&out.table.slots[hashes[k + prefetch_ahead] & out.table.mask]);
            __builtin_prefetch(&out.identity.slots[identity_home(out.identity, nodes[k + prefetch_ahead])]);
        }
        const std::string_view name = nodes[k];
        const std::size_t known = distinct.size();
        const Index id = intern(out.table, distinct, k, hashes[k]);
        if (id == known) keys[id] = sort_key(name, shared);
        // A null address cannot be told from a free identity slot; such (empty) views only
        // go through the byte table.
        if (name.data() != nullptr) remember(out.identity, name, id);
    }
    keys.resize(distinct.size());
    out.keys = std::move(keys);
    return out;
}

// The graph on ids: successors in CSR form (those of id are successors[offsets[id] ..
// offsets[id + 1]), each list in edge order) and the count of valid edges into each node.
template <class Index>
struct Graph {
    std::vector<Index> offsets;
    std::vector<Index> successors;
    std::vector<Index> pending;
};

// Edge resolution: the valid edges as id pairs, in edge order (edges naming an unknown
// node and self-loops dropped), with each node's out- and in-degree counted in `graph`
// (out-degrees at id + 1 of the offsets). The name tables are freed once done.
template <class Index>
std::vector<std::pair<Index, Index>> resolve_edges(Interned<Index>& names, std::span<const Edge> edges,
                                                   Graph<Index>& graph) {
    const std::size_t n = names.distinct.size();
    const IdentityTable<Index>& identity = names.identity;
    // A hit saves about three cache misses and a miss costs about one, so the identity
    // table stops being asked once its misses outnumber three times its hits (edges made
    // of fresh strings equal to the node names never hit).
    std::size_t identity_hits = 0, identity_misses = 0;
    const auto asking_identity = [&] { return identity_misses <= 3 * identity_hits + 1024; };
    const auto lookup = [&](std::string_view name) {
        if (name.data() != nullptr && asking_identity()) {
            const Index id = recall(identity, name);
            if (id != no_id<Index>) {
                ++identity_hits;
                return id;
            }
            ++identity_misses;
        }
        return find(names.table, names.distinct, name);
    };

    // Consecutive edges often share their `from` text; the same address and length need
    // no second lookup.
    std::vector<std::pair<Index, Index>> valid;
    valid.reserve(edges.size());
    graph.offsets.assign(n + 1, 0);
    graph.pending.assign(n, 0);
    std::string_view last_from;
    Index last_from_id = no_id<Index>;
    bool have_last = false;
    // The identity table is hit at random again: its slots for edges ahead are requested early.
    for (std::size_t k = 0; k < edges.size(); ++k) {
        if (k + prefetch_ahead < edges.size() && asking_identity()) {
            __builtin_prefetch(&identity.slots[identity_home(identity, edges[k + prefetch_ahead].first)]);
            __builtin_prefetch(&identity.slots[identity_home(identity, edges[k + prefetch_ahead].second)]);
        }
        const auto& [from, to] = edges[k];
        Index f;
        if (have_last && from.data() == last_from.data() && from.size() == last_from.size()) {
            f = last_from_id;
        } else {
            f = lookup(from);
            last_from = from;
            last_from_id = f;
            have_last = true;
        }
        if (f == no_id<Index>) continue;
        const Index t = lookup(to);
        if (t == no_id<Index> || t == f) continue;
        valid.emplace_back(f, t);
        ++graph.offsets[f + 1];
        ++graph.pending[t];
    }
    names.table = {};
    names.identity = {};
    return valid;
}

// Edges to CSR: the successor lists, each in edge order (a stable counting sort by
// `from` over the degrees counted while resolving). The edge pairs are freed.
template <class Index>
void build_successors(std::vector<std::pair<Index, Index>>& valid, Graph<Index>& graph) {
    std::vector<Index>& offsets = graph.offsets;
    for (std::size_t i = 0; i + 1 < offsets.size(); ++i) offsets[i + 1] += offsets[i];
    graph.successors.resize(valid.size());
    {
        std::vector<Index> fill(offsets.begin(), offsets.end() - 1);
        for (const auto& [f, t] : valid) graph.successors[fill[f]++] = t;
    }
    valid = {};
}

// Each id's superstep, and how many supersteps there are.
template <class Index>
struct Steps {
    std::vector<Index> step;
    std::size_t count = 0;
};

// Superstep assignment: nodes leave a first-in first-out queue in nondecreasing superstep
// order, so the predecessor that releases a node is one of its latest and the node's
// superstep is one past that predecessor's. Nodes never released get one more. The graph
// is freed.
template <class Index>
Steps<Index> assign_supersteps(Graph<Index>& graph) {
    const std::size_t n = graph.pending.size();
    const std::vector<Index>& offsets = graph.offsets;
    std::vector<Index>& pending = graph.pending;
    Steps<Index> out{std::vector<Index>(n, 0), 0};
    std::vector<Index>& step = out.step;
    {
        std::vector<Index> queue;
        queue.reserve(n);
        for (std::size_t id = 0; id < n; ++id) {
            if (pending[id] == 0) queue.push_back(Index(id));
        }
        for (std::size_t head = 0; head < queue.size(); ++head) {
            const Index id = queue[head];
            for (Index k = offsets[id]; k < offsets[id + 1]; ++k) {
                const Index s = graph.successors[k];
                if (--pending[s] == 0) {
                    step[s] = step[id] + 1;
                    queue.push_back(s);
                }
            }
        }
        // The supersteps of the released nodes, then one for the remainder if any.
        if (!queue.empty()) out.count = std::size_t(step[queue.back()]) + 1;
        if (queue.size() < n) {
            for (std::size_t id = 0; id < n; ++id) {
                if (pending[id] != 0) step[id] = Index(out.count);
            }
            ++out.count;
        }
    }
    graph = {};
    return out;
}

// Spreading: the supersteps back to back, each in byte order, from the names in byte
// order (`byte_order`) placed stably by superstep.
template <class Index>
Plan spread_by_superstep(const Steps<Index>& steps, const std::vector<std::uint64_t>& keys,
                         const Names<Index>& distinct) {
    const std::size_t n = distinct.size();
    Plan out;
    out.ends.assign(steps.count, 0);
    for (std::size_t id = 0; id < n; ++id) ++out.ends[steps.step[id]];
    std::vector<std::size_t> at(steps.count);
    for (std::size_t i = 0, sum = 0; i < steps.count; ++i) {
        at[i] = sum;
        sum += out.ends[i];
        out.ends[i] = sum;
    }
    const std::vector<Index> order = byte_order<Index>(keys, distinct);
    out.names.resize(n);
    for (const Index id : order) out.names[at[steps.step[id]]++] = distinct[id];
    return out;
}

// The passes in order. Each frees what the later ones no longer need, so that a large
// call holds little memory at once (see the top of the file).
template <class Index>
Plan plan_with(std::span<const std::string_view> nodes, std::span<const Edge> edges, HashKey key) {
    if (nodes.empty()) return {};
    Interned<Index> names = intern_nodes<Index>(nodes, key);
    Graph<Index> graph;
    std::vector<std::pair<Index, Index>> valid = resolve_edges(names, edges, graph);
    build_successors(valid, graph);
    const Steps<Index> steps = assign_supersteps(graph);
    return spread_by_superstep(steps, names.keys, names.distinct);
}

}  // namespace

HashKey draw_hash_key(const void* data) {
    const auto now = std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
    const int local = 0;
    const std::uint64_t k0 = mix64(now ^ mix64(reinterpret_cast<std::uintptr_t>(data)));
    const std::uint64_t k1 = mix64(k0 ^ mix64(reinterpret_cast<std::uintptr_t>(&local)));
    return {k0, k1};
}

std::span<const std::string_view> superstep(const Plan& plan, std::size_t i) {
    const std::size_t begin = i == 0 ? 0 : plan.ends[i - 1];
    return std::span(plan.names).subspan(begin, plan.ends[i] - begin);
}

Plan plan(std::span<const std::string_view> nodes, std::span<const Edge> edges, HashKey key) {
    // 32-bit ids and counts whenever they fit, which is every input that fits in memory
    // in practice; the 64-bit instance keeps even absurd sizes correct.
    constexpr std::size_t small = std::numeric_limits<std::uint32_t>::max() - 1;
    if (nodes.size() < small && edges.size() < small) return plan_with<std::uint32_t>(nodes, edges, key);
    return plan_with<std::uint64_t>(nodes, edges, key);
}

Plan plan_wide(std::span<const std::string_view> nodes, std::span<const Edge> edges, HashKey key) {
    return plan_with<std::uint64_t>(nodes, edges, key);
}

Plan plan(std::span<const std::string_view> nodes, std::span<const Edge> edges) {
    if (nodes.empty()) return {};  // no node, no superstep: nothing to build
    return plan(nodes, edges, draw_hash_key(nodes.data()));
}

}  // namespace zelk::scheduler
