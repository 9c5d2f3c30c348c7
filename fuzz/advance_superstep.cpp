// advance_superstep's typed readers and in-place fold against a reference built from the
// general parser and the immutable fold: the input is cut at zero bytes into state,
// reducer table and update list. Whenever the general parser reads all three into the
// shapes required (an object, an object of strings, an array of objects or nulls), the
// superstep succeeds with the reference's text; whenever it cannot, the superstep fails,
// with the general parser's own message when the state is what failed.
#include "channels/reduce.hpp"
#include "channels/superstep.hpp"
#include "fuzz.hpp"
#include "json/parse.hpp"
#include "json/print.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace {

using zelk_fuzz::require;
namespace json = zelk::json;

struct NameLess {
    bool operator()(std::string_view a, std::string_view b) const { return json::name_less(a, b); }
};

bool all_strings(const json::Value& table) {
    for (const json::Member& m : json::members_of(table)) {
        if (m.value.kind != json::Kind::string) return false;
    }
    return true;
}

// The new state by the plain route, or an empty string when the inputs are not of the
// required shapes.
std::string reference(const json::Value& state, const json::Value& table, const json::Value& updates,
                      json::Arena& arena) {
    std::map<std::string_view, json::Value, NameLess> channels;
    for (const json::Member& m : json::members_of(state)) channels[m.name] = m.value;
    std::map<std::string_view, std::string_view, NameLess> reducers;
    for (const json::Member& m : json::members_of(table)) reducers[m.name] = json::text_of(m.value);
    for (const json::Value& update : json::items_of(updates)) {
        if (update.kind == json::Kind::null) continue;
        if (update.kind != json::Kind::object) return {};
        for (const json::Member& written : json::members_of(update)) {
            const auto named = reducers.find(written.name);
            const std::string_view reducer = named == reducers.end() ? "last_value" : named->second;
            const auto found = channels.find(written.name);
            const json::Value current = found == channels.end() ? json::make_null() : found->second;
            channels[written.name] = zelk::channels::reduce_value(reducer, current, written.value, arena);
        }
    }
    std::vector<json::Member> members;
    for (const auto& [name, value] : channels) members.push_back(json::Member{name, value});
    return json::to_text(json::make_object(members.data(), members.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view parts[3];
    zelk_fuzz::split_at_zeros(std::string_view(reinterpret_cast<const char*>(data), size), parts);
    // The text entry points take what a Python str holds: UTF-8.
    for (const std::string_view part : parts) {
        if (!json::is_valid_utf8(part)) return 0;
    }
    const json::Outcome got = zelk::channels::advance_superstep(parts[0], parts[1], parts[2]);

    json::Arena arena;
    const json::Parsed state = json::parse_text(parts[0], arena);
    if (!state.ok) {
        require(got.error == json::error_message(parts[0], state.error), "a bad state gives its parse error");
        return 0;
    }
    const json::Parsed table = json::parse_text(parts[1], arena);
    const json::Parsed updates = json::parse_text(parts[2], arena);
    const bool shaped = state.value.kind == json::Kind::object && table.ok &&
                        table.value.kind == json::Kind::object && all_strings(table.value) && updates.ok &&
                        updates.value.kind == json::Kind::array;
    const std::string expected =
        shaped ? reference(state.value, table.value, updates.value, arena) : std::string();
    if (expected.empty()) {
        require(!got.ok(), "inputs of the wrong shape fail");
        return 0;
    }
    require(got.ok(), "inputs of the right shape succeed");
    require(json::view(got.text) == expected, "in-place fold agrees with the immutable fold");
    return 0;
}
