// Reducers at volume: exact integer sums against a 128-bit reference, and in-place
// appends of the superstep routine against the read-only fold.
#include "channels/reduce.hpp"
#include "channels/superstep.hpp"
#include "check.hpp"
#include "json/parse.hpp"

#include <cmath>
#include <random>
#include <string>

using namespace zelk;
using zelk_test::check;

namespace {

using Wide = __int128;  // test-only reference arithmetic

json::Value integer_value(Wide v) {
    return v < 0 ? json::make_sint(static_cast<std::int64_t>(v)) : json::make_uint(static_cast<std::uint64_t>(v));
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
    const Wide edges[] = {0, 1, -1, (Wide(1) << 63) - 1, -(Wide(1) << 63), Wide(1) << 63,
                          (Wide(1) << 64) - 1, (Wide(1) << 53) + 1, -(Wide(1) << 63) + 1};
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
        updates += (i % 7 == 0 ? "{\"a\":[" + std::to_string(i) + ",[" + std::to_string(i) + "]]}," :
                                 "{\"a\":" + std::to_string(i) + "},");
        expected += (i % 7 == 0 ? "," + std::to_string(i) + ",[" + std::to_string(i) + "]" : "," + std::to_string(i));
        if (i % 1000 == 0) updates += "{\"a\":null,\"b\":" + std::to_string(i) + "},";
        if (i % 1000 == 0) expected += ",null";
    }
    updates.back() = ']';
    expected += "]";
    const json::Outcome result = channels::advance_superstep(R"({"a":0})", R"({"a":"append","b":"add"})", updates);
    check(result.ok() && json::view(result.text) == R"({"a":)" + expected + R"(,"b":15000})", "5000 appends");

    // The read-only fold leaves the current value as it was.
    json::Arena arena;
    const json::Parsed current = json::parse_text("[1,[2]]", arena);
    const json::Parsed update = json::parse_text("[3]", arena);
    const json::Value first = channels::reduce_value("append", current.value, update.value, arena);
    json::Value channel = first;
    channels::reduce_into("append", channel, json::make_uint(4), arena);
    check(json::to_text(current.value) == "[1,[2]]" && json::to_text(first) == "[1,[2],3]" &&
              json::to_text(channel) == "[1,[2],3,4]",
          "the read-only fold keeps its current value");
}

}  // namespace

int main() {
    exact_integer_sums();
    in_place_appends_match_the_fold();
    return zelk_test::finish();
}
