// The reducers.
#include "channels/reduce.hpp"

#include "json/parse.hpp"
#include "json/transcode.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>

namespace zelk::channels {

using json::Arena;
using json::Kind;
using json::Value;

namespace {

constexpr std::uint64_t sign_bit = std::uint64_t(1) << 63;

// An integer operand of an exact sum as sign and magnitude; values that are not numbers
// count as zero.
struct Integer {
    bool negative = false;
    std::uint64_t magnitude = 0;
};

Integer integer_of(const Value& v) noexcept {
    if (v.kind == Kind::uint) return {false, v.uint};
    if (v.kind == Kind::sint) return {true, 0 - std::uint64_t(v.sint)};
    return {};
}

double double_of(const Value& v) noexcept {
    switch (v.kind) {
        case Kind::uint: return static_cast<double>(v.uint);
        case Kind::sint: return static_cast<double>(v.sint);
        case Kind::real: return v.real;
        default: return 0.0;
    }
}

// The double nearest to carry * 2^64 + low (ties to even). With a carry the value needs 65
// bits; halving it keeps every bit that can affect the rounding once the dropped bit is
// folded into the lowest kept one (above 2^63 doubles are 2048 apart).
double nearest_double(bool carry, std::uint64_t low) noexcept {
    if (!carry) return static_cast<double>(low);
    return 2.0 * static_cast<double>(sign_bit | (low >> 1) | (low & 1));
}

// Sum of two integers (or non-numbers as 0), exact: an integer while it fits one of the
// two integer forms, otherwise the nearest double.
Value add_integers(Integer a, Integer b) noexcept {
    if (a.negative == b.negative) {
        const std::uint64_t low = a.magnitude + b.magnitude;
        const bool carry = low < a.magnitude;
        if (!a.negative) return carry ? json::make_real(nearest_double(true, low)) : json::make_uint(low);
        if (!carry && low <= sign_bit) return json::make_sint(static_cast<std::int64_t>(0 - low));
        return json::make_real(-nearest_double(carry, low));
    }
    const Integer& positive = a.negative ? b : a;
    const Integer& negative = a.negative ? a : b;
    if (positive.magnitude >= negative.magnitude)
        return json::make_uint(positive.magnitude - negative.magnitude);
    return json::make_sint(static_cast<std::int64_t>(0 - (negative.magnitude - positive.magnitude)));
}

Value add_values(const Value& a, const Value& b) noexcept {
    if (a.kind != Kind::real && b.kind != Kind::real) return add_integers(integer_of(a), integer_of(b));
    const double s = double_of(a) + double_of(b);
    if (!std::isfinite(s)) return json::make_null();
    if (s - std::trunc(s) == 0 && s >= -0x1p63 && s < 0x1p64) {
        // A whole sum within the integer range comes back as an integer (-0.0 as 0).
        if (s < 0) return json::make_sint(static_cast<std::int64_t>(s));
        return json::make_uint(static_cast<std::uint64_t>(s));
    }
    return json::make_real(s);
}

std::size_t item_count(const Value& v) noexcept { return v.kind == Kind::array ? v.size : 1; }

// Slots of a block the append reducer allocates for `count` items.
std::size_t room_for(std::size_t count) {
    if (count > SIZE_MAX / 2) throw std::bad_alloc();
    return count == 0 ? 0 : std::bit_ceil(count);
}

// Copies the items of `v` (an array) or `v` itself (anything else) to `to`.
Value* put_items(Value* to, const Value& v) noexcept {
    if (v.kind != Kind::array) {
        *to = v;
        return to + 1;
    }
    if (v.size != 0) std::memcpy(to, v.items, v.size * sizeof(Value));
    return to + v.size;
}

// [current as a list..., update's items or update], in a new block with room to grow.
Value append_values(const Value& current, const Value& update, Arena& arena) {
    const std::size_t head = current.kind == Kind::null ? 0 : item_count(current);
    const std::size_t count = head + item_count(update);
    Value* items = json::allocate_array<Value>(arena, room_for(count));
    Value* end = items;
    if (current.kind != Kind::null) end = put_items(end, current);
    put_items(end, update);
    return json::make_array(items, count);
}

// Whether `v` nests fewer than `limit` arrays and objects.
bool nests_below(const Value& v, std::size_t limit) noexcept {
    if (v.kind == Kind::array) {
        if (limit < 2) return false;
        for (const Value& item : json::items_of(v)) {
            if (!nests_below(item, limit - 1)) return false;
        }
    } else if (v.kind == Kind::object) {
        if (limit < 2) return false;
        for (const json::Member& member : json::members_of(v)) {
            if (!nests_below(member.value, limit - 1)) return false;
        }
    }
    return true;
}

}  // namespace

bool fold_fits(Reducer reducer, const Value& current, const Value& update, std::size_t limit) noexcept {
    if (reducer != Reducer::append) return true;
    // An array operand gives its items, which nest one level less than it does; anything
    // else becomes one item of the list, one level deeper than it is.
    return (current.kind != Kind::object || nests_below(current, limit)) &&
           (update.kind != Kind::object || nests_below(update, limit));
}

Reducer reducer_named(std::string_view name) noexcept {
    if (name == "add") return Reducer::add;
    if (name == "append") return Reducer::append;
    return Reducer::replace;
}

Value reduce_value(std::string_view reducer, const Value& current, Value update, Arena& arena) {
    switch (reducer_named(reducer)) {
        case Reducer::add: return add_values(current, update);
        case Reducer::append: return append_values(current, update, arena);
        case Reducer::replace: break;
    }
    return update;
}

void reduce_into(std::string_view reducer, Value& channel, bool& grown, Value update, Arena& arena) {
    reduce_into(reducer_named(reducer), channel, grown, update, arena);
}

void reduce_into(Reducer reducer, Value& channel, bool& grown, Value update, Arena& arena) {
    if (reducer == Reducer::append && grown && channel.kind == Kind::array) {
        const std::size_t count = channel.size + item_count(update);
        if (count <= room_for(channel.size)) {
            put_items(channel.items + channel.size, update);
            channel.size = count;
            return;
        }
    }
    // Only a block "append" allocated may grow: a replacing update may share its block
    // with a value the caller still holds.
    grown = reducer == Reducer::append;
    switch (reducer) {
        case Reducer::add: channel = add_values(channel, update); return;
        case Reducer::append: channel = append_values(channel, update, arena); return;
        case Reducer::replace: break;
    }
    channel = update;
}

namespace {

// The most arrays and objects open at once in a compact printed text.
std::size_t printed_depth(std::string_view text) noexcept {
    std::size_t depth = 0, deepest = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        switch (text[i]) {
            case '"':
                for (++i; text[i] != '"'; ++i) i += text[i] == '\\';
                break;
            case '[':
            case '{': deepest = std::max(deepest, ++depth); break;
            case ']':
            case '}': --depth; break;
            default: break;
        }
    }
    return deepest;
}

// The compact form of `text` appended to `out`, or false with the parse error's message.
bool reprint(std::string_view text, json::Buffer& out, std::string& message) {
    json::ParseError error;
    if (json::parse_and_print(text, false, out, error)) return true;
    message = json::error_message(text, error);
    return false;
}

constexpr std::string_view too_deep =
    "recursion limit exceeded: the result would nest more than 127 arrays and objects";

}  // namespace

json::Outcome reduce_channel(std::string_view reducer, std::string_view current_json,
                             std::string_view update_json) {
    json::Outcome outcome;
    if (reducer_named(reducer) == Reducer::append) {
        // The printed list is the items of both texts' printed forms one after the other.
        json::Buffer update;
        if (!reprint(update_json, update, outcome.error)) return outcome;
        // The current value is printed straight into the result and its brackets adjusted.
        json::Buffer& out = outcome.text;
        if (!reprint(current_json, out, outcome.error)) return outcome;
        std::string_view tail = json::view(update);
        // An object becomes one item, one level deeper than it is.
        if ((out.data[0] == '{' && printed_depth(json::view(out)) >= json::depth_budget - 1) ||
            (tail[0] == '{' && printed_depth(tail) >= json::depth_budget - 1)) {
            outcome.error = too_deep;
            return outcome;
        }
        if (out.data[0] == '[') {
            --out.size;  // the closing bracket
        } else if (json::view(out) == "null") {
            out.size = 0;
            json::put(out, '[');
        } else {
            char* w = json::reserve(out, 1);
            std::memmove(out.data.get() + 1, out.data.get(), out.size);
            out.data[0] = '[';
            json::commit(out, w + 1);
        }
        if (tail.starts_with('[')) tail = tail.substr(1, tail.size() - 2);
        if (out.size > 1 && !tail.empty()) json::put(out, ',');
        json::append(out, tail);
        json::put(out, ']');
        return outcome;
    }
    json::Arena arena;
    const json::Parsed update = json::parse_text(update_json, arena);
    if (!update.ok) {
        outcome.error = json::error_message(update_json, update.error);
        return outcome;
    }
    const json::Parsed current = json::parse_text(current_json, arena);
    if (!current.ok) {
        outcome.error = json::error_message(current_json, current.error);
        return outcome;
    }
    json::print_value(outcome.text, reduce_value(reducer, current.value, update.value, arena));
    return outcome;
}

}  // namespace zelk::channels
