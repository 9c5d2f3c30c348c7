// advance_superstep. The reducer table and the update list are read with typed readers
// built on the parser's own building blocks, so their syntax errors are the parser's; a
// value of the wrong kind gets an "invalid type" message placed after the token read.
#include "channels/superstep.hpp"

#include "channels/reduce.hpp"
#include "channels/name_index.hpp"
#include "json/parse.hpp"

#include <algorithm>
#include <vector>

namespace zelk::channels {

using json::Kind;
using json::Member;
using json::Parser;
using json::Value;

namespace {

void describe_string(std::string& out, std::string_view s) {
    out += "string \"";
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        unsigned control = 0x100;  // a control character to show as \u{h}, if below 0x100
        switch (c) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case '\0': out += "\\0"; continue;
            default:
                if (c < 0x20 || c == 0x7F) {
                    control = c;
                } else if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
                           static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
                    control = static_cast<unsigned char>(s[++i]);  // U+0080 to U+009F
                }
        }
        if (control > 0xFF) {
            out += char(c);
            continue;
        }
        out += "\\u{";
        if (control >= 0x10) out += "0123456789abcdef"[control >> 4];
        out += "0123456789abcdef"[control & 15];
        out += '}';
    }
    out += '"';
}

// The "invalid type" message for the value at p.cur, which must be of the kind named by
// `expected`. Scalars are read first (a malformed one gives its parse error instead, and
// the message is placed just after it); arrays and objects are not read, and the message is
// placed at their opening bracket.
bool fail_kind(Parser& p, std::string_view expected, std::string& message) {
    std::string found;
    if (p.cur != p.end && (*p.cur == '[' || *p.cur == '{')) {
        found = *p.cur == '[' ? "sequence" : "map";
    } else {
        Value v;
        if (!json::parse_value(p, v)) return false;
        switch (v.kind) {
            case Kind::null: found = "null"; break;
            case Kind::boolean: found = v.boolean ? "boolean `true`" : "boolean `false`"; break;
            case Kind::uint:
            case Kind::sint:
            case Kind::real:
                found = v.kind == Kind::real ? "floating point `" : "integer `";
                found += json::to_text(v);
                found += '`';
                break;
            case Kind::string: describe_string(found, json::text_of(v)); break;
            default: break;  // containers are handled above
        }
    }
    message = "invalid type: " + found + ", expected " + std::string(expected) +
              json::position_suffix({p.begin, std::size_t(p.end - p.begin)}, json::offset_of(p, p.cur));
    return false;
}

// Opens a typed read: whitespace, then the opening bracket of the expected container.
bool open_typed(Parser& p, char bracket, std::string_view expected, std::string& message) {
    json::skip_whitespace(p);
    if (p.cur == p.end) return json::fail_eof(p, json::ErrorKind::eof_value);
    if (*p.cur != bracket) return fail_kind(p, expected, message);
    return true;
}

// The reducer table: an object whose member values are all strings, sorted by channel
// name with the last of repeated names kept.
bool read_reducers(Parser& p, std::vector<Member>& table, std::string& message) {
    if (!open_typed(p, '{', "a map", message)) return false;
    const bool ok = json::read_object(p, [&](std::string_view channel) {
        if (p.cur == p.end) return json::fail_eof(p, json::ErrorKind::eof_value);
        if (*p.cur != '"') return fail_kind(p, "a string", message);
        std::string_view reducer;
        if (!json::parse_string(p, reducer)) return false;
        table.push_back(Member{channel, json::make_string(reducer)});
        return true;
    });
    if (!ok || !json::finish(p)) return false;
    table.resize(json::sort_members(table.data(), table.size()));
    return true;
}

// The update list: an array of values of any kind (checked when applied). The list's own
// bracket counts against the nesting budget.
bool read_updates(Parser& p, std::vector<Value>& updates, std::string& message) {
    if (!open_typed(p, '[', "a sequence", message)) return false;
    const bool ok = json::read_array(p, [&] {
        Value update;
        if (!json::parse_value(p, update)) return false;
        updates.push_back(update);
        return true;
    });
    return ok && json::finish(p);
}

bool by_name(const Member& m, std::string_view name) { return json::name_less(m.name, name); }

// The working state: the parsed channels, sorted, plus the channels the updates add, in
// order of creation and found through a keyed hash index, so that neither lookups nor
// inserts cost more than constant or logarithmic time however many channels an update
// adds, whatever their names.
struct Channels {
    std::vector<Member> all;
    std::size_t sorted = 0;  // all[0, sorted) is the parsed state, in name order
    NameIndex added;         // positions in `all` of the channels past `sorted`
};

Value& channel_named(Channels& channels, std::string_view name) {
    const auto first = channels.all.begin();
    const auto last = first + std::ptrdiff_t(channels.sorted);
    const auto it = std::lower_bound(first, last, name, by_name);
    if (it != last && it->name == name) return it->value;
    const auto name_at = [&](std::size_t i) { return channels.all[i].name; };
    const std::uint64_t hash = hash_name(channels.added, name);
    std::size_t position = find_name(channels.added, hash, name, name_at);
    if (position == not_found) {
        position = channels.all.size();
        add_name(channels.added, hash, position,
                 [&](std::size_t i) { return hash_name(channels.added, channels.all[i].name); });
        channels.all.push_back(Member{name, json::make_null()});
    }
    return channels.all[position].value;
}

// The channels in name order (the added ones merged in).
void sort_channels(Channels& channels) {
    const auto middle = channels.all.begin() + std::ptrdiff_t(channels.sorted);
    const auto by_names = [](const Member& a, const Member& b) { return json::name_less(a.name, b.name); };
    std::sort(middle, channels.all.end(), by_names);
    std::inplace_merge(channels.all.begin(), middle, channels.all.end(), by_names);
}

std::string_view reducer_for(const std::vector<Member>& table, std::string_view channel) {
    const auto it = std::lower_bound(table.begin(), table.end(), channel, by_name);
    if (it != table.end() && it->name == channel) return json::text_of(it->value);
    return "last_value";
}

// The state object itself is one of the containers the parser allows open at once.
constexpr std::size_t channel_depth_limit = json::depth_budget - 2;

std::string depth_message(std::string_view channel) {
    json::Buffer quoted;
    json::print_string(quoted, channel);
    return "recursion limit exceeded in channel " + std::string(json::view(quoted)) +
           ": the state would nest more than 127 arrays and objects";
}

}  // namespace

json::Outcome advance_superstep(std::string_view state_json, std::string_view reducers_json,
                                std::string_view updates_json) {
    json::Outcome outcome;
    json::Arena arena;

    const json::Parsed state = json::parse_text(state_json, arena);
    if (!state.ok) {
        outcome.error = json::error_message(state_json, state.error);
        return outcome;
    }
    if (state.value.kind != Kind::object) {
        outcome.error = "state must be a JSON object";
        return outcome;
    }

    std::vector<Member> table;
    Parser reducers = json::start_parser(reducers_json, false, arena);
    if (!read_reducers(reducers, table, outcome.error)) {
        if (outcome.error.empty()) outcome.error = json::error_message(reducers_json, reducers.error);
        return outcome;
    }

    std::vector<Value> updates;
    Parser list = json::start_parser(updates_json, false, arena);
    if (!read_updates(list, updates, outcome.error)) {
        if (outcome.error.empty()) outcome.error = json::error_message(updates_json, list.error);
        return outcome;
    }

    Channels channels;
    channels.added = make_index(scheduler::draw_hash_key(state_json.data()), 0);
    const auto parsed = json::members_of(state.value);
    channels.all.assign(parsed.begin(), parsed.end());
    channels.sorted = channels.all.size();
    for (const Value& update : updates) {
        if (update.kind == Kind::null) continue;
        if (update.kind != Kind::object) {
            outcome.error = "each node update must be a JSON object or null";
            return outcome;
        }
        for (const Member& written : json::members_of(update)) {
            const std::string_view reducer = reducer_for(table, written.name);
            Value& channel = channel_named(channels, written.name);
            if (!fold_fits(reducer, channel, written.value, channel_depth_limit)) {
                outcome.error = depth_message(written.name);
                return outcome;
            }
            reduce_into(reducer, channel, written.value, arena);
        }
    }
    sort_channels(channels);
    json::print_value(outcome.text, json::make_object(channels.all.data(), channels.all.size()));
    return outcome;
}

}  // namespace zelk::channels
