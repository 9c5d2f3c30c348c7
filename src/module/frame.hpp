// The frame shared by every binding body: function records, a call's arguments, the
// conversion rules, error labelling and result building. Binding bodies include this header and nothing
// else from the host; it is the only door to Python.h.
//
// Error discipline (the CPython convention): a function that returns `false` or a null
// pointer has left a Python exception pending, and the body returns nullptr at once.
// Internal failures are thrown as `Panic` and turned into PanicException by the trampoline;
// a failed result build throws as well (see result builders below).
#pragma once

#include "module/python.hpp"
#include "vectors/matrix.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelk::py {

// ---------------------------------------------------------------- references

// An owned (strong) reference; released when it goes out of scope.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// What keeps the views into sequence items valid for the rest of a call.
//
// An item that an exact list or tuple holds and that is itself of an exact built-in type
// (a str, or a tuple of two str) is read borrowed: no reference of its own is taken. It
// can only go away if the container loses it, and that takes Python code. While borrowed
// views live, the only ways Python code could run are (a) the conversion of a later
// argument through the generic protocol (__len__, __iter__, __next__ of a user type) and
// (b) a garbage collection, which runs finalizers and gc callbacks, set off by allocating
// an object the collector tracks (a list or tuple of the result, an exception). Reading a
// str's UTF-8 form runs no Python code: for a non-ASCII str it allocates the cached form
// from the object allocator, which the collector does not track. So:
//   - collection is held off from the first borrowed view until the Keep ends (and
//     restored to what it was: PyGC_Disable tells the previous state);
//   - before any conversion that can run Python code, `pin` takes a strong reference to
//     every item read borrowed so far (the containers are unchanged, since no code ran) and
//     lets collection run again, so user code never runs while collection is held off;
//   - any other item (a subclass instance, or one held by a user sequence) is held.
// The body's own code between the conversions and the last use of a view runs no Python
// code beyond those allocations.
class Keep {
public:
    Keep() = default;
    Keep(const Keep&) = delete;
    Keep& operator=(const Keep&) = delete;
    ~Keep();

    // Holds a strong reference to `owner` for the rest of the call.
    void hold(PyObject* owner);
    // Records that items of the exact list or tuple `container` are viewed borrowed, and
    // holds collection off.
    void borrow(PyObject* container);
    // Holds every item viewed borrowed so far, then lets collection run again.
    void pin();
    // Whether views are borrowed now (collection is held off).
    bool borrowing() const noexcept { return collection_was_ >= 0; }

private:
    // A call has a container argument or two: they are listed in place, without an
    // allocation, and a Keep that runs out of room pins what it has first.
    static constexpr std::size_t room = 4;
    std::vector<Ref> held_;
    PyObject* borrowed_[room] = {};  // containers the caller holds for the call
    std::size_t borrowed_count_ = 0;
    int collection_was_ = -1;  // collection state before it was held off; -1: not held
};

// A buffer export of an argument, released when it goes out of scope; views into its
// memory are valid while it is held. Not movable: an exporter may point the view's shape
// or strides into the view itself.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { release(); }

    // Asks `obj` for a strided export with its format; false (error pending) if refused.
    bool acquire(PyObject* obj) noexcept {
        release();
        held_ = PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) == 0;
        return held_;
    }
    void release() noexcept {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    bool held() const noexcept { return held_; }
    const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// ---------------------------------------------------------------- internal failures

// Thrown by a body (or the frame on its behalf); the trampoline raises PanicException
// with `message` as its single argument.
struct Panic {
    std::string message;
};

// ---------------------------------------------------------------- functions

class Arguments;

// A body: converts the matched arguments, calls one routine and builds the result, or
// returns nullptr with an error pending.
using Body = PyObject* (*)(const Arguments& arguments);

// Maximum number of parameters of any function; sizes the slot arrays.
inline constexpr std::size_t max_params = 3;

// One Python-visible function, declared once: its name, its parameters (positional or
// keyword, all required), the text of its docstring and its body. The function table,
// the registered text signature "name(p1, p2)" and the argument labels all come from it.
struct Function {
    const char* name;
    std::array<const char*, max_params> params;  // the first `arity` are used
    std::size_t arity;
    const char* doc;
    Body body;

    constexpr Function(const char* function_name, std::initializer_list<const char*> names, const char* text,
                       Body function_body)
        : name(function_name), params{}, arity(names.size()), doc(text), body(function_body) {
        // A throw is no constant expression: a record with too many fails to compile.
        if (names.size() > max_params) throw std::length_error("more parameters than max_params");
        std::copy(names.begin(), names.end(), params.begin());
    }
};

// ---------------------------------------------------------------- conversion rules
//
// Each `extract_*` converts one argument completely and, on failure, leaves the error
// pending already passed through the labelling rule with `param` as the parameter name.

// Text rule: a view of the argument's UTF-8 form, valid while the caller holds the
// argument (the host holds it for the whole call).
bool extract_text(PyObject* obj, const char* param, std::string_view& out);

// Text rule for a text read once, front to back: `sink(context, piece)` is handed its
// UTF-8 form in order, in one piece or several. A long non-ASCII exact str is encoded a
// chunk at a time into a small buffer, so its UTF-8 form is neither made whole nor cached
// in the object; a lone surrogate raises what the text rule raises. Pieces handed out
// before a failure are to be discarded.
using TextSink = void (*)(void* context, std::string_view piece);
bool extract_text_pieces(PyObject* obj, const char* param, TextSink sink, void* context);

// In-place views into the buffers of a call's earlier arguments. Python code run by a later
// conversion (a __float__, an __iter__, another thread taking its turn) could write to or
// resize what they view, so a conversion that may run such code first settles them: each
// copies what it views into its own storage and releases its buffer.
// What one call has learnt about the types of its arguments, so that arguments and rows of
// one type are recognised once.
struct Readable {
    PyTypeObject* type = nullptr;  // the last type found readable as a buffer of one dimension
    int origin = 0;                // how it reads
};

class Views {
public:
    Readable readable;

    template <class Owner>
    void add(Owner& owner) noexcept {
        if (count_ < entries_.size())
            entries_[count_++] = {&owner, [](void* p) { static_cast<Owner*>(p)->settle(); }};
    }
    // Also forgets the types recognised: the code may free a type and make another in its place.
    void settle() {
        for (std::size_t i = 0; i < count_; ++i) entries_[i].settle(entries_[i].owner);
        count_ = 0;
        readable = {};
    }

private:
    struct Entry {
        void* owner;
        void (*settle)(void*);
    };
    std::array<Entry, max_params> entries_{};
    std::size_t count_ = 0;
};

// Sequence rule with 32-bit float elements, read in place when the argument is an aligned
// contiguous float32 buffer (`values` views it while `buffer` is held), else converted into
// `storage`, which `values` views.
struct Floats32 {
    std::span<const float> values;
    std::vector<float> storage;
    Buffer buffer;

    void settle();
};
bool extract_floats32(PyObject* obj, const char* param, Floats32& out, Views& views);

// Sequence rule with row elements, kept as the matrix view the scoring reads: uniform rows
// when the argument is a 2-D buffer (viewed in place while `buffer` is held for aligned
// float32 rows of unit element stride, else converted into `values`), or else ragged rows
// converted into `values`, row i ending at offsets[i + 1].
struct Matrix32 {
    vectors::Matrix matrix;
    std::vector<float> values;
    std::vector<std::size_t> offsets{0};
    Buffer buffer;

    void settle();
};
bool extract_matrix(PyObject* obj, const char* param, Matrix32& out, Views& views);

// Sequence rule with float elements, not stored: the values are handed to `fold` in
// iteration order a chunk at a time, `total = fold(total, chunk)`, from `total`'s value on
// entry. On failure `total` is unspecified.
using FloatFold = double (*)(double total, std::span<const double> chunk);
bool extract_floats_folded(PyObject* obj, const char* param, FloatFold fold, double& total);

// Sequence rule with text elements; views stay valid while `keep` lives.
bool extract_texts(PyObject* obj, const char* param, std::vector<std::string_view>& out, Keep& keep);

// Sequence rule with pair elements (tuples of two texts); views stay valid while `keep` lives.
using TextPair = std::pair<std::string_view, std::string_view>;
bool extract_pairs(PyObject* obj, const char* param, std::vector<TextPair>& out, Keep& keep);

// Sequence rule with byte elements. An exact bytes object is viewed in place (valid while
// the caller holds it), and so is a contiguous buffer of unsigned bytes while `storage`
// lives; any other object is converted into `storage`, which `out` views.
struct ByteStorage {
    std::vector<std::uint8_t> bytes;
    Buffer buffer;
};
bool extract_bytes(PyObject* obj, const char* param, std::span<const std::uint8_t>& out,
                   ByteStorage& storage);

// Count rule: an unsigned 64-bit integer.
bool extract_count(PyObject* obj, const char* param, std::uint64_t& out);
// The same after settling `views` when reading the count may run Python code.
bool extract_count(PyObject* obj, const char* param, std::uint64_t& out, Views& views);

// ---------------------------------------------------------------- one call's arguments

// The arguments of one call, matched to its function's parameters (borrowed references).
// Each accessor converts argument `i` by one rule above, labelled with parameter i's name.
class Arguments {
public:
    Arguments(const Function& function, PyObject* const* slots) noexcept
        : function_(function), slots_(slots) {}
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

    PyObject* operator[](std::size_t i) const noexcept { return slots_[i]; }
    const char* label(std::size_t i) const noexcept { return function_.params[i]; }

    bool text(std::size_t i, std::string_view& out) const { return extract_text(slots_[i], label(i), out); }
    bool text_pieces(std::size_t i, TextSink sink, void* context) const {
        return extract_text_pieces(slots_[i], label(i), sink, context);
    }
    bool floats32(std::size_t i, Floats32& out, Views& views) const {
        return extract_floats32(slots_[i], label(i), out, views);
    }
    bool matrix(std::size_t i, Matrix32& out, Views& views) const {
        return extract_matrix(slots_[i], label(i), out, views);
    }
    bool floats_folded(std::size_t i, FloatFold fold, double& total) const {
        return extract_floats_folded(slots_[i], label(i), fold, total);
    }
    bool texts(std::size_t i, std::vector<std::string_view>& out, Keep& keep) const {
        return extract_texts(slots_[i], label(i), out, keep);
    }
    bool pairs(std::size_t i, std::vector<TextPair>& out, Keep& keep) const {
        return extract_pairs(slots_[i], label(i), out, keep);
    }
    bool bytes(std::size_t i, std::span<const std::uint8_t>& out, ByteStorage& storage) const {
        return extract_bytes(slots_[i], label(i), out, storage);
    }
    bool count(std::size_t i, std::uint64_t& out, Views& views) const {
        return extract_count(slots_[i], label(i), out, views);
    }

private:
    const Function& function_;
    PyObject* const* slots_;
};

// Matches the fast-call values to the parameters of `function`; fills `slots`.
bool match_arguments(const Function& function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** slots);

// ---------------------------------------------------------------- errors from routines

// Sets ValueError with the given message; always returns nullptr so a body can
// `return raise_value_error(...)`.
PyObject* raise_value_error(std::string_view message);

// ---------------------------------------------------------------- result builders
//
// Each returns a new reference. A host failure throws: MemoryError stays pending and is
// raised as it is; any other failure is printed to standard error and becomes the internal
// failure "Python API call failed".

PyObject* build_str(std::string_view utf8);
PyObject* build_bytes(std::string_view bytes);
PyObject* build_bytes_to_fill(std::size_t size, char*& storage);  // `storage`: its `size` bytes
PyObject* build_float(double value);
PyObject* build_uint(std::uint64_t value);
PyObject* build_none();
PyObject* build_list(Py_ssize_t size);                        // items must all be set after
void list_set(PyObject* list, Py_ssize_t i, PyObject* item);  // steals `item`
PyObject* build_pair(PyObject* first, PyObject* second);      // steals both

}  // namespace zelk::py
