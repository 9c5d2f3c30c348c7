// Planning runs on dense integer ids: every distinct node name is interned once through a
// keyed open-addressing table, edges become (id, id) pairs and then a CSR successor
// array, and the supersteps are peeled off level by level by pending-predecessor counts.
// Names are touched again only to fill and sort the supersteps.
#include "scheduler/plan.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>

namespace zelk::scheduler {

namespace {

std::uint64_t mix64(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Open addressing with linear probing, kept at most half full. A slot holds the upper
// half of the name's hash (compared before the bytes) and id + 1, 0 marking a free slot.
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
    std::size_t capacity = 16;
    while (capacity < 2 * names) capacity *= 2;
    return {std::vector<typename NameTable<Index>::Slot>(capacity), capacity - 1, key};
}

template <class Index>
constexpr Index no_id = std::numeric_limits<Index>::max();

// The id of `name`; when absent, `name` is given the next id (appended to `distinct`).
template <class Index>
Index intern(NameTable<Index>& table, std::vector<std::string_view>& distinct, std::string_view name,
             std::uint64_t h) {
    const auto tag = std::uint32_t(h >> 32);
    for (std::size_t i = h & table.mask;; i = (i + 1) & table.mask) {
        auto& slot = table.slots[i];
        if (slot.id_plus_one == 0) {
            slot = {tag, Index(distinct.size() + 1)};
            distinct.push_back(name);
            return Index(distinct.size() - 1);
        }
        if (slot.tag == tag && distinct[slot.id_plus_one - 1] == name) return slot.id_plus_one - 1;
    }
}

template <class Index>
Index find(const NameTable<Index>& table, const std::vector<std::string_view>& distinct,
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
    std::size_t capacity = 16;
    int bits = 4;
    while (capacity < 2 * names) {
        capacity *= 2;
        ++bits;
    }
    return {std::vector<typename IdentityTable<Index>::Slot>(capacity), capacity - 1, 64 - bits,
            key.k0 | 1};
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
    std::uint64_t key = 0;
    const std::size_t end = std::min(name.size(), at + 8);
    for (std::size_t i = at; i < end; ++i) key |= std::uint64_t(std::uint8_t(name[i])) << (56 - 8 * (i - at));
    return key;
}

// Ascending byte order. string_view compares through char_traits<char>, which orders by
// unsigned char with a proper prefix first: exactly the byte order of the plan. Names of a
// superstep often share a long prefix ("node-0..."), so they are sorted by an 8-byte key
// taken just past the prefix they all share, held beside the view; only names whose keys
// tie are compared in full.
void sort_by_bytes(std::vector<std::string_view>::iterator first,
                   std::vector<std::string_view>::iterator last) {
    if (last - first < 2) return;
    std::size_t shared = first->size();
    for (auto it = first + 1; it != last && shared > 0; ++it) {
        const auto mismatch = std::mismatch(first->begin(), first->begin() + std::ptrdiff_t(std::min(shared, it->size())), it->begin());
        shared = std::size_t(mismatch.first - first->begin());
    }
    std::vector<std::pair<std::uint64_t, std::string_view>> keyed;
    keyed.reserve(std::size_t(last - first));
    for (auto it = first; it != last; ++it) keyed.emplace_back(sort_key(*it, shared), *it);
    std::sort(keyed.begin(), keyed.end());  // by key, then by the whole name
    for (auto& [key, name] : keyed) *first++ = name;
}

template <class Index>
Plan plan_with(std::span<const std::string_view> nodes, std::span<const Edge> edges, HashKey key) {
    NameTable<Index> table = make_table<Index>(nodes.size(), key);
    std::vector<std::string_view> distinct;
    distinct.reserve(nodes.size());
    IdentityTable<Index> identity = make_identity_table<Index>(nodes.size(), key);
    // Both tables are filled at random; hashing every name first lets the slots of names
    // a little ahead be requested early so that the cache misses overlap.
    constexpr std::size_t ahead = 12;
    std::vector<std::uint64_t> hashes(nodes.size());
    for (std::size_t k = 0; k < nodes.size(); ++k) hashes[k] = name_hash(key, nodes[k]);
    for (std::size_t k = 0; k < nodes.size(); ++k) {
        if (k + ahead < nodes.size()) {
            __builtin_prefetch(&table.slots[hashes[k + ahead] & table.mask]);
            __builtin_prefetch(&identity.slots[identity_home(identity, nodes[k + ahead])]);
        }
        const std::string_view name = nodes[k];
        const Index id = intern(table, distinct, name, hashes[k]);
        // A null address cannot be told from a free identity slot; such (empty) views only
        // go through the byte table.
        if (name.data() != nullptr) remember(identity, name, id);
    }
    hashes = {};
    const std::size_t n = distinct.size();
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
        return find(table, distinct, name);
    };

    // Valid edges as id pairs, in edge order. Consecutive edges often share their `from`
    // text; the same address and length need no second lookup.
    std::vector<std::pair<Index, Index>> valid;
    valid.reserve(edges.size());
    std::vector<Index> offsets(n + 1, 0);
    std::vector<Index> pending(n, 0);  // valid edges into each node not yet released
    std::string_view last_from;
    Index last_from_id = no_id<Index>;
    bool have_last = false;
    // The identity table is hit at random again: its slots for edges ahead are requested early.
    for (std::size_t k = 0; k < edges.size(); ++k) {
        if (k + ahead < edges.size() && asking_identity()) {
            __builtin_prefetch(&identity.slots[identity_home(identity, edges[k + ahead].first)]);
            __builtin_prefetch(&identity.slots[identity_home(identity, edges[k + ahead].second)]);
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
        ++offsets[f + 1];
        ++pending[t];
    }

    // CSR successor lists, each in edge order (a stable counting sort by `from`).
    for (std::size_t i = 0; i < n; ++i) offsets[i + 1] += offsets[i];
    std::vector<Index> successors(valid.size());
    {
        std::vector<Index> fill(offsets.begin(), offsets.end() - 1);
        for (const auto& [f, t] : valid) successors[fill[f]++] = t;
    }
    valid = {};

    Plan out;
    out.names.reserve(n);
    std::vector<Index> frontier, next;
    for (std::size_t id = 0; id < n; ++id) {
        if (pending[id] == 0) frontier.push_back(Index(id));
    }
    while (!frontier.empty()) {
        const std::size_t begin = out.names.size();
        for (const Index id : frontier) out.names.push_back(distinct[id]);
        sort_by_bytes(out.names.begin() + std::ptrdiff_t(begin), out.names.end());
        out.ends.push_back(out.names.size());
        next.clear();
        for (const Index id : frontier) {
            for (Index k = offsets[id]; k < offsets[id + 1]; ++k) {
                const Index s = successors[k];
                if (--pending[s] == 0) next.push_back(s);
            }
        }
        std::swap(frontier, next);
    }

    // The remainder: every node whose count never fell to 0, once each (a node repeated
    // in the node list is still one node and runs once).
    const std::size_t begin = out.names.size();
    for (std::size_t id = 0; id < n; ++id) {
        if (pending[id] != 0) out.names.push_back(distinct[id]);
    }
    if (out.names.size() > begin) {
        sort_by_bytes(out.names.begin() + std::ptrdiff_t(begin), out.names.end());
        out.ends.push_back(out.names.size());
    }
    return out;
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
    return plan(nodes, edges, draw_hash_key(nodes.data()));
}

}  // namespace zelk::scheduler
