// advance_superstep. The state, the reducer table and the update list are read with typed
// readers built on the parser's own building blocks, so their syntax errors are the
// parser's; a value of the wrong kind is the parser's invalid-type error, placed after the
// token read. Channels and reducers are found through keyed hash indexes (one hash of each
// written name serves both), the fold runs in place on the channels, and the channels no
// update wrote are copied from the state text when it already holds their printed form.
#include "channels/superstep.hpp"

#include "channels/name_index.hpp"
#include "channels/reduce.hpp"
#include "json/parse.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

namespace zelk::channels {

using json::Kind;
using json::Member;
using json::Parser;
using json::Value;

namespace {

// Fails the read of the value at p.cur, which must be of the kind named by `expected`,
// with an invalid-type error. Scalars are read first (a malformed one gives its parse
// error instead, and the error is placed just after it); arrays and objects are not read,
// and the error is placed at their opening bracket.
bool fail_kind(Parser& p, std::string_view expected) {
    Value found;
    if (p.cur != p.end && (*p.cur == '[' || *p.cur == '{')) {
        found = *p.cur == '[' ? json::make_array(nullptr, 0) : json::make_object(nullptr, 0);
    } else if (!json::parse_value(p, found)) {
        return false;
    }
    return json::fail_type(p, found, expected);
}

// Opens a typed read: whitespace, then the opening bracket of the expected container.
bool open_typed(Parser& p, char bracket, std::string_view expected) {
    json::skip_whitespace(p);
    if (p.cur == p.end) return json::fail_eof(p, json::ErrorKind::eof_value);
    if (*p.cur != bracket) return fail_kind(p, expected);
    return true;
}

// A channel of the working state. `text` is the value's slice of the state text (empty for
// a channel an update created); `hash` is the name's hash under the call's key.
struct Channel {
    std::string_view name;
    Value value;
    std::string_view text;
    std::uint64_t hash = 0;
    Reducer reducer = Reducer::replace;
    bool resolved = false;          // `reducer` has been looked up
    bool hashed = false;            // `hash` is set
    bool written = false;           // some update wrote the channel
    bool grown = false;             // `value` is an array block "append" may extend in place
    std::uint32_t last_update = 0;  // 1 + the last update that named the channel
    std::uint32_t last_write = 0;   // that write, counted from the update's first one
};

struct Write {
    std::string_view name;
    Value value;
    std::size_t channel = 0;  // position in the channel list; not_found once superseded
};

struct Reducers {
    std::vector<std::string_view> names;
    std::vector<Reducer> kinds;
    NameIndex index;
};

// The state: an object whose members become channels, name order, the last of repeated
// names kept. A text that is not an object is parsed whole first, so that its syntax
// errors come before the kind check, as for any parse.
bool read_state(std::string_view text, json::Arena& arena, std::vector<Channel>& channels,
                json::Outcome& outcome) {
    Parser p = json::start_parser(text, false, arena);
    json::skip_whitespace(p);
    if (p.cur == p.end || *p.cur != '{') {
        const json::Parsed whole = json::parse_text(text, arena);
        outcome.error = whole.ok ? "state must be a JSON object" : json::error_message(text, whole.error);
        return false;
    }
    const bool ok = json::read_object(p, [&](std::string_view name) {
        const char* const start = p.cur;
        Channel channel;
        if (!json::parse_value(p, channel.value)) return false;
        channel.name = name;
        channel.text = {start, std::size_t(p.cur - start)};
        channels.push_back(channel);
        return true;
    });
    if (!ok || !json::finish(p)) {
        outcome.error = json::error_message(text, p.error);
        return false;
    }
    channels.resize(json::sort_by_name(channels.data(), channels.size()));
    return true;
}

// The reducer table: an object whose member values are all strings; the last of repeated
// names wins.
bool read_reducers(Parser& p, Reducers& table) {
    if (!open_typed(p, '{', "a map")) return false;
    const bool ok = json::read_object(p, [&](std::string_view channel) {
        if (p.cur == p.end) return json::fail_eof(p, json::ErrorKind::eof_value);
        if (*p.cur != '"') return fail_kind(p, "a string");
        std::string_view reducer;
        bool escaped;
        if (!json::read_string(p, reducer, escaped)) return false;
        table.names.push_back(channel);
        table.kinds.push_back(reducer_named(reducer));
        return true;
    });
    return ok && json::finish(p);
}

// Indexes the table's names, the later of repeated names overriding the earlier entry.
void index_reducers(Reducers& table, scheduler::HashKey key) {
    table.index = make_index(key, table.names.size());
    std::vector<std::uint64_t> hashes(table.names.size());
    const auto name_at = [&](std::size_t i) { return table.names[i]; };
    for (std::size_t i = 0; i < table.names.size(); ++i) {
        hashes[i] = hash_name(table.index, table.names[i]);
        const std::size_t earlier = find_name(table.index, hashes[i], table.names[i], name_at);
        if (earlier != not_found) {
            table.kinds[earlier] = table.kinds[i];
        } else {
            add_name(table.index, hashes[i], i, [&](std::size_t k) { return hashes[k]; });
        }
    }
}

// The update list: an array whose objects' members are collected as writes, in text order
// (`ends[u]` is where update u's writes end). Any other element is parsed whole; the
// position of the first that is not null is kept, since it fails the call only when the
// fold reaches it. The list's own bracket counts against the nesting budget.
bool read_updates(Parser& p, std::vector<Write>& writes, std::vector<std::size_t>& ends, std::size_t& bad) {
    if (!open_typed(p, '[', "a sequence")) return false;
    const bool ok = json::read_array(p, [&] {
        if (p.cur != p.end && *p.cur == '{') {
            const bool read = json::read_object(p, [&](std::string_view name) {
                Write write;
                write.name = name;
                if (!json::parse_value(p, write.value)) return false;
                writes.push_back(write);
                return true;
            });
            ends.push_back(writes.size());
            return read;
        }
        Value update;
        if (!json::parse_value(p, update)) return false;
        if (update.kind != Kind::null && bad == SIZE_MAX) bad = ends.size();
        ends.push_back(writes.size());
        return true;
    });
    return ok && json::finish(p);
}

// The state object itself is one of the containers the parser allows open at once.
constexpr std::size_t channel_depth_limit = json::depth_budget - 2;

std::string depth_message(std::string_view channel) {
    json::Buffer quoted;
    json::print_string(quoted, channel);
    return "recursion limit exceeded in channel " + std::string(json::view(quoted)) +
           ": the state would nest more than 127 arrays and objects";
}

void resolve(const Reducers& table, Channel& channel);

// The first name in byte order among the writes of [from, to) whose fold nests too deep
// (the write at `from` does). The writes of one update name distinct channels, so none of
// them changes what another folds into.
std::string_view first_too_deep(std::vector<Channel>& channels, const Reducers& table,
                                const std::vector<Write>& writes, std::size_t from, std::size_t to) {
    std::string_view first = channels[writes[from].channel].name;
    for (std::size_t w = from + 1; w < to; ++w) {
        if (writes[w].channel == not_found) continue;
        Channel& channel = channels[writes[w].channel];
        resolve(table, channel);
        if (!fold_fits(channel.reducer, channel.value, writes[w].value, channel_depth_limit) &&
            json::name_less(channel.name, first)) {
            first = channel.name;
        }
    }
    return first;
}

// The first double quote or backslash in [p, end), which holds one (the text is valid).
const char* quote_or_backslash(const char* p, const char* end) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            const std::uint64_t quote = word ^ (ones * '"'), backslash = word ^ (ones * '\\');
            const std::uint64_t hits =
                (((quote - ones) & ~quote) | ((backslash - ones) & ~backslash)) & highs;
            if (hits) return p + std::countr_zero(hits) / 8;
            p += 8;
        }
    }
    while (*p != '"' && *p != '\\') ++p;
    return p;
}

// Whether the text of a valid JSON value is exactly what the printer gives for it:
// no whitespace, no escapes, object members strictly ascending, and no number that the
// printer might write differently (any double; integers long enough to be doubles).
// Conservative: false means only that the value is printed from its parsed form.
bool prints_as_written(std::string_view text) {
    struct Open {  // plain, so the stack below costs nothing to set up
        bool object;
        bool key_next;  // in an object, the next string is a member name
        bool has_last;
        const char* last;
        std::size_t last_size;
    };
    Open open[json::depth_budget];
    int depth = 0;
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p != end) {
        switch (*p) {
            case '{':
                open[depth++] = {true, true, false, nullptr, 0};
                ++p;
                break;
            case '[':
                open[depth++] = {false, false, false, nullptr, 0};
                ++p;
                break;
            case '}':
            case ']':
                --depth;
                ++p;
                break;
            case ',':
                if (open[depth - 1].object) open[depth - 1].key_next = true;
                ++p;
                break;
            case ':': ++p; break;
            case '"': {
                const char* const start = ++p;
                p = quote_or_backslash(p, end);
                if (*p == '\\') return false;
                const std::string_view content(start, std::size_t(p - start));
                ++p;
                if (depth > 0 && open[depth - 1].key_next) {
                    Open& o = open[depth - 1];
                    if (o.has_last && !json::name_less({o.last, o.last_size}, content)) return false;
                    o.last = content.data();
                    o.last_size = content.size();
                    o.has_last = true;
                    o.key_next = false;
                }
                break;
            }
            case 't':
            case 'n': p += 4; break;
            case 'f': p += 5; break;
            default: {
                // A number: "-0..." is a double, and so may be a negative of 19 digits or
                // any literal of 20 and more.
                const bool negative = *p == '-';
                if (negative && p[1] == '0') return false;
                const char* const digits = p += negative;
                while (p != end && *p >= '0' && *p <= '9') ++p;
                if (p - digits >= (negative ? 19 : 20)) return false;
                if (p != end && (*p == '.' || *p == 'e' || *p == 'E')) return false;
                if (p == digits) return false;  // whitespace
                break;
            }
        }
    }
    return true;
}

// The channel named `name` (hash `hash`), created holding null when absent.
std::size_t channel_named(std::vector<Channel>& channels, NameIndex& index, std::uint64_t hash,
                          std::string_view name) {
    const std::size_t found = find_name(index, hash, name, [&](std::size_t i) { return channels[i].name; });
    if (found != not_found) return found;
    const std::size_t position = channels.size();
    add_name(index, hash, position, [&](std::size_t i) { return channels[i].hash; });
    Channel channel;
    channel.name = name;
    channel.hash = hash;
    channel.hashed = true;
    channels.push_back(channel);
    return position;
}

// Looks up the reducer of a channel on its first write.
void resolve(const Reducers& table, Channel& channel) {
    if (channel.resolved) return;
    if (!channel.hashed) {
        channel.hash = hash_name(table.index, channel.name);
        channel.hashed = true;
    }
    const std::size_t at =
        find_name(table.index, channel.hash, channel.name, [&](std::size_t i) { return table.names[i]; });
    channel.reducer = at == not_found ? Reducer::replace : table.kinds[at];
    channel.resolved = true;
}

// The position of `name` among the parsed channels [0, parsed), in name order, or not_found.
std::size_t search_state(const std::vector<Channel>& channels, std::size_t parsed, std::string_view name) {
    const auto first = channels.begin();
    const auto last = first + std::ptrdiff_t(parsed);
    const auto it = std::lower_bound(
        first, last, name, [](const Channel& c, std::string_view n) { return json::name_less(c.name, n); });
    return it != last && it->name == name ? std::size_t(it - first) : not_found;
}

// The first eight bytes of a name as a big-endian number: comparing these keys orders
// names as byte strings do, up to names that share those bytes.
std::uint64_t name_key(std::string_view name) noexcept {
    unsigned char bytes[8] = {};
    std::memcpy(bytes, name.data(), std::min<std::size_t>(name.size(), 8));
    std::uint64_t key = 0;
    for (const unsigned char b : bytes) key = key << 8 | b;
    return key;
}

// Positions of the channels an update created, put in name order.
std::vector<std::size_t> order_added(const std::vector<Channel>& channels, std::size_t first) {
    struct Keyed {
        std::uint64_t key;
        std::size_t position;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(channels.size() - first);
    for (std::size_t i = first; i < channels.size(); ++i) keyed.push_back({name_key(channels[i].name), i});
    std::sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
        if (a.key != b.key) return a.key < b.key;
        return json::name_less(channels[a.position].name, channels[b.position].name);
    });
    std::vector<std::size_t> order(keyed.size());
    for (std::size_t i = 0; i < keyed.size(); ++i) order[i] = keyed[i].position;
    return order;
}

void print_channel(json::Buffer& out, const Channel& channel) {
    json::print_string(out, channel.name);
    json::put(out, ':');
    if (!channel.written && prints_as_written(channel.text)) {
        json::append(out, channel.text);
    } else {
        json::print_value(out, channel.value);
    }
}

}  // namespace

json::Outcome advance_superstep(std::string_view state_json, std::string_view reducers_json,
                                std::string_view updates_json, StateLookup lookup) {
    json::Outcome outcome;
    json::Arena arena;
    // The first block takes about as many bytes as the values of texts of this size need.
    const std::size_t input = state_json.size() + updates_json.size();
    arena.block_size = std::max<std::size_t>(4096, std::bit_ceil(std::min(input, std::size_t(1) << 25) * 2));

    std::vector<Channel> channels;
    if (!read_state(state_json, arena, channels, outcome)) return outcome;
    const std::size_t parsed = channels.size();

    Reducers table;
    Parser reducers = json::start_parser(reducers_json, false, arena);
    if (!read_reducers(reducers, table)) {
        outcome.error = json::error_message(reducers_json, reducers.error);
        return outcome;
    }

    std::vector<Write> writes;
    std::vector<std::size_t> ends;
    std::size_t bad = SIZE_MAX;
    Parser list = json::start_parser(updates_json, false, arena);
    if (!read_updates(list, writes, ends, bad)) {
        outcome.error = json::error_message(updates_json, list.error);
        return outcome;
    }

    const scheduler::HashKey key = scheduler::draw_hash_key(state_json.data());
    index_reducers(table, key);
    // Indexing the parsed channels costs a hash of each; searching them in name order
    // costs a few name comparisons per write. With few writes for the state's size the
    // search is cheaper, and the index then holds only the channels the updates create.
    const std::size_t n = parsed, write_count = writes.size();
    const bool indexed = lookup == StateLookup::index ||
                         (lookup == StateLookup::chosen &&
                          4 * write_count * std::size_t(std::bit_width(n)) > 17 * (n + write_count));
    NameIndex index = make_index(key, (indexed ? parsed : 0) + writes.size() / 4);
    for (std::size_t i = 0; indexed && i < parsed; ++i) {
        channels[i].hash = hash_name(index, channels[i].name);
        channels[i].hashed = true;
        add_name(index, channels[i].hash, i, [&](std::size_t k) { return channels[k].hash; });
    }

    std::size_t begin = 0;
    for (std::size_t u = 0; u < ends.size(); ++u) {
        if (u == bad) {
            outcome.error = "each node update must be a JSON object or null";
            return outcome;
        }
        // Each name counts once per update, with its last value: an earlier write of the
        // same name in the update is dropped.
        const auto mark = std::uint32_t(u + 1);
        for (std::size_t w = begin; w < ends[u]; ++w) {
            std::size_t at = indexed ? not_found : search_state(channels, parsed, writes[w].name);
            if (at == not_found)
                at = channel_named(channels, index, hash_name(index, writes[w].name), writes[w].name);
            Channel& channel = channels[at];
            if (channel.last_update == mark) writes[begin + channel.last_write].channel = not_found;
            channel.last_update = mark;
            channel.last_write = std::uint32_t(w - begin);
            writes[w].channel = at;
        }
        for (std::size_t w = begin; w < ends[u]; ++w) {
            if (writes[w].channel == not_found) continue;
            Channel& channel = channels[writes[w].channel];
            resolve(table, channel);
            if (!fold_fits(channel.reducer, channel.value, writes[w].value, channel_depth_limit)) {
                outcome.error = depth_message(first_too_deep(channels, table, writes, w, ends[u]));
                return outcome;
            }
            reduce_into(channel.reducer, channel.value, channel.grown, writes[w].value, arena);
            channel.written = true;
        }
        begin = ends[u];
    }

    const std::vector<std::size_t> added = order_added(channels, parsed);
    json::Buffer& out = outcome.text;
    json::reserve(out, state_json.size() + updates_json.size() / 2 + 16);
    json::put(out, '{');
    std::size_t i = 0, j = 0;
    for (std::size_t k = 0; k < channels.size(); ++k) {
        if (k != 0) json::put(out, ',');
        const bool from_state =
            j == added.size() || (i < parsed && json::name_less(channels[i].name, channels[added[j]].name));
        print_channel(out, channels[from_state ? i++ : added[j++]]);
    }
    json::put(out, '}');
    return outcome;
}

}  // namespace zelk::channels
