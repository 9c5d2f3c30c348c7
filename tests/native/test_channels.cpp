// Reducers at volume: exact integer sums against a 128-bit reference, in-place appends of
// the superstep routine against the read-only fold, and the channel index under names made
// to collide.
#include "channels/name_index.hpp"
#include "channels/reduce.hpp"
#include "channels/superstep.hpp"
#include "check.hpp"
#include "json/parse.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

using namespace zelk;
using zelk_test::check;

namespace {

using Wide = __int128;  // test-only reference arithmetic

json::Value integer_value(Wide v) {
    return v < 0 ? json::make_sint(static_cast<std::int64_t>(v))
                 : json::make_uint(static_cast<std::uint64_t>(v));
}

// The nearest double of a 66-bit integer, computed through long double's 64-bit
// significand in two exact steps.
double reference_double(Wide v) {
    const bool negative = v < 0;
    unsigned __int128 m = negative ? static_cast<unsigned __int128>(-v) : static_cast<unsigned __int128>(v);
    // Round to 53 significant bits by hand, ties to even.
    int shift = 0;
    while ((m >> shift) >= (static_cast<unsigned __int128>(1) << 53)) ++shift;
    unsigned __int128 kept = m >> shift;
    if (shift > 0) {
        const unsigned __int128 rest = m & ((static_cast<unsigned __int128>(1) << shift) - 1);
        const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
        if (rest > half || (rest == half && (kept & 1))) ++kept;
    }
    const double d = std::ldexp(static_cast<double>(static_cast<std::uint64_t>(kept)), shift);
    return negative ? -d : d;
}

void exact_integer_sums() {
    std::mt19937_64 random(99);
    const Wide edges[] = {0,
                          1,
                          -1,
                          (Wide(1) << 63) - 1,
                          -(Wide(1) << 63),
                          Wide(1) << 63,
                          (Wide(1) << 64) - 1,
                          (Wide(1) << 53) + 1,
                          -(Wide(1) << 63) + 1};
    const auto draw = [&](int i) -> Wide {
        if (i % 3 == 0) return edges[random() % std::size(edges)];
        if (random() % 2) return Wide(random());
        return -Wide(random() >> 1) - 1;
    };
    json::Arena arena;
    int failures = 0;
    for (int i = 0; i < 200'000 && failures < 5; ++i) {
        const Wide a = draw(i), b = draw(i + 1);
        const json::Value sum = channels::reduce_value("add", integer_value(a), integer_value(b), arena);
        const Wide exact = a + b;
        bool ok;
        if (exact >= -(Wide(1) << 63) && exact < (Wide(1) << 64)) {
            ok = (exact < 0 ? sum.kind == json::Kind::sint && sum.sint == exact
                            : sum.kind == json::Kind::uint && sum.uint == static_cast<std::uint64_t>(exact));
        } else {
            ok = sum.kind == json::Kind::real && sum.real == reference_double(exact);
        }
        if (!check(ok, "exact sum")) ++failures;
    }
}

// A superstep that appends to one channel many times gives the same list as the fold
// with the read-only routine, and touches neither the parsed updates nor the state text.
void in_place_appends_match_the_fold() {
    std::string updates = "[";
    std::string expected = "[0";
    for (int i = 1; i <= 5000; ++i) {
        updates += (i % 7 == 0 ? "{\"a\":[" + std::to_string(i) + ",[" + std::to_string(i) + "]]},"
                               : "{\"a\":" + std::to_string(i) + "},");
        expected +=
            (i % 7 == 0 ? "," + std::to_string(i) + ",[" + std::to_string(i) + "]" : "," + std::to_string(i));
        if (i % 1000 == 0) updates += "{\"a\":null,\"b\":" + std::to_string(i) + "},";
        if (i % 1000 == 0) expected += ",null";
    }
    updates.back() = ']';
    expected += "]";
    const json::Outcome result =
        channels::advance_superstep(R"({"a":0})", R"({"a":"append","b":"add"})", updates);
    check(result.ok() && json::view(result.text) == R"({"a":)" + expected + R"(,"b":15000})", "5000 appends");

    // The read-only fold leaves the current value as it was.
    json::Arena arena;
    const json::Parsed current = json::parse_text("[1,[2]]", arena);
    const json::Parsed update = json::parse_text("[3]", arena);
    const json::Value first = channels::reduce_value("append", current.value, update.value, arena);
    json::Value channel = first;
    bool grown = true;  // the fold's list has room for more items
    channels::reduce_into("append", channel, grown, json::make_uint(4), arena);
    check(json::to_text(current.value) == "[1,[2]]" && json::to_text(first) == "[1,[2],3]" &&
              json::to_text(channel) == "[1,[2],3,4]",
          "the read-only fold keeps its current value");
}

// Printable 16-byte names whose unkeyed library hash agrees in its low `bits` bits: every
// one of them would land in the same home slot of a power-of-two table of up to 2^bits
// slots indexed by that hash.
std::vector<std::string> colliding_names(std::size_t count, int bits) {
    std::vector<std::string> names;
    const std::uint64_t mask = (std::uint64_t(1) << bits) - 1;
    char text[17];
    for (std::uint64_t i = 0; names.size() < count; ++i) {
        std::snprintf(text, sizeof text, "ch%014llx",
                      static_cast<unsigned long long>(i * 0x9E3779B97F4A7C15ULL >> 8));
        const std::string_view name(text, 16);
        if ((std::hash<std::string_view>{}(name)&mask) == 0) names.emplace_back(name);
    }
    return names;
}

// The channel index keeps probe runs short for names that collide under the unkeyed hash,
// and the superstep that creates those channels gives each its value, in name order.
void colliding_names_stay_cheap() {
    const std::vector<std::string> names = colliding_names(3000, 13);
    for (const std::uint64_t seed : {0ULL, 1ULL, 0x5555ULL}) {
        channels::NameIndex index = channels::make_index({seed, ~seed}, 0);
        std::vector<std::uint64_t> hashes;
        const auto name_at = [&](std::size_t i) { return std::string_view(names[i]); };
        for (std::size_t i = 0; i < names.size(); ++i) {
            const std::uint64_t h = channels::hash_name(index, names[i]);
            check(channels::find_name(index, h, names[i], name_at) == channels::not_found,
                  "fresh name absent");
            hashes.push_back(h);
            channels::add_name(index, h, i, [&](std::size_t k) { return hashes[k]; });
        }
        check(index.slots.size() <= std::size_t(1) << 13,
              "the table is no larger than the collision mask covers");
        check(index.probe_longest < 48, "longest probe run stays short");
        check(index.probe_total < 2 * names.size(), "probe runs stay short on average");
        std::size_t found = 0;
        for (std::size_t i = 0; i < names.size(); ++i)
            found += channels::find_name(index, hashes[i], names[i], name_at) == i;
        check(found == names.size(), "every name found at its position");
    }

    std::string updates = "[{", expected = "{";
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t i = 0; i < names.size(); ++i)
        updates += (i ? ",\"" : "\"") + names[i] + "\":" + std::to_string(i);
    for (const std::string& name : sorted) {
        const auto at = std::find(names.begin(), names.end(), name) - names.begin();
        expected += (expected.size() > 1 ? ",\"" : "\"") + name + "\":" + std::to_string(at);
    }
    updates += "},null]";
    expected += "}";
    const json::Outcome result = channels::advance_superstep("{}", "{}", updates);
    check(result.ok() && json::view(result.text) == expected, "colliding names become channels");
}

// Random supersteps give the same outcome, text or error, whether writes find the parsed
// channels by search in name order or through the hash index.
void state_lookups_agree() {
    std::mt19937_64 random(11);
    const std::vector<std::string> pool = {"a",         "b",          "ab",        "",      "channel_1",
                                           "channel_2", "channel_10", "\\u00e9",   "q\\\"", "z",
                                           "deep",      "B",          "channel_1x"};
    std::string deep;
    for (int i = 0; i < 125; ++i) deep += "{\"k\":";
    deep += "{}";
    deep += std::string(125, '}');
    const auto value = [&]() -> std::string {
        switch (random() % 6) {
            case 0: return std::to_string(random() % 100);
            case 1: return "[" + std::to_string(random() % 9) + ",\"s\"]";
            case 2: return "{\"y\":1,\"x\":[2.50]}";
            case 3: return "null";
            case 4: return random() % 8 == 0 ? deep : "\"t\"";
            default: return "-0.5";
        }
    };
    const auto object = [&](std::size_t members) {
        std::string text = "{";
        for (std::size_t i = 0; i < members; ++i) {
            if (i) text += ",";
            text += "\"" + pool[random() % pool.size()] + "\":" + value();
        }
        return text + "}";
    };
    const char* const kinds[] = {"add", "append", "last_value"};
    int failures = 0;
    for (int round = 0; round < 3000 && failures < 5; ++round) {
        const std::string state = object(random() % 12);
        std::string reducers = "{";
        for (std::size_t i = 0, n = random() % 10; i < n; ++i) {
            reducers +=
                (i ? ",\"" : "\"") + pool[random() % pool.size()] + "\":\"" + kinds[random() % 3] + "\"";
        }
        reducers += "}";
        std::string updates = "[";
        for (std::size_t i = 0, n = random() % 5; i < n; ++i) {
            if (i) updates += ",";
            updates += random() % 9 == 0 ? (random() % 2 ? "null" : "7") : object(random() % 4);
        }
        updates += "]";
        const json::Outcome searched =
            channels::advance_superstep(state, reducers, updates, channels::StateLookup::search);
        const json::Outcome indexed =
            channels::advance_superstep(state, reducers, updates, channels::StateLookup::index);
        const bool same =
            searched.error == indexed.error && json::view(searched.text) == json::view(indexed.text);
        if (!check(same, "lookups agree on " + state + " " + reducers + " " + updates)) ++failures;
    }
}

}  // namespace

int main() {
    exact_integer_sums();
    in_place_appends_match_the_fold();
    colliding_names_stay_cheap();
    state_lookups_agree();
    return zelk_test::finish();
}
