// The frame shared by every binding body: argument matching, the conversion rules,
// error labelling and result building. Binding bodies include this header and nothing
// else from the host; it is the only door to Python.h.
//
// Error discipline (the CPython convention): a function that returns `false` or a null
// pointer has left a Python exception pending, and the body returns nullptr at once.
// Internal failures are thrown as `Panic` and turned into PanicException by the trampoline;
// a failed result build throws as well (see result builders below).
#pragma once

#include "module/python.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
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

// ---------------------------------------------------------------- argument matching

struct FunctionDescription {
    const char* name;                      // "top_k"
    const char* display;                   // "top_k()"
    std::span<const char* const> params;   // positional-or-keyword, all required
};

// Maximum number of parameters of any function; sizes the slot arrays of the bodies.
inline constexpr std::size_t max_params = 3;

// Matches the fast-call values to the parameters; fills `slots` (borrowed references).
bool extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// ---------------------------------------------------------------- conversion rules
//
// Each `extract_*` converts one argument completely and, on failure, leaves the error
// pending already passed through the labelling rule with `param` as the parameter name.

// Text rule: a view of the argument's UTF-8 form, valid while the caller holds the
// argument (the host holds it for the whole call).
bool extract_text(PyObject* obj, const char* param, std::string_view& out);

// Sequence rule with float elements.
bool extract_floats(PyObject* obj, const char* param, std::vector<double>& out);

// Text rule for a text read once, front to back: `sink(context, piece)` is handed its
// UTF-8 form in order, in one piece or several. A long non-ASCII exact str is encoded a
// chunk at a time into a small buffer, so its UTF-8 form is neither made whole nor cached
// in the object; a lone surrogate raises what the text rule raises. Pieces handed out
// before a failure are to be discarded.
using TextSink = void (*)(void* context, std::string_view piece);
bool extract_text_pieces(PyObject* obj, const char* param, TextSink sink, void* context);

// Sequence rule with 32-bit float elements.
bool extract_floats32(PyObject* obj, const char* param, std::vector<float>& out);

// Sequence rule with row elements: rows stored back to back, row i spanning
// values[offsets[i] .. offsets[i + 1]). `offsets` starts with 0.
struct Rows {
    std::vector<float> values;
    std::vector<std::size_t> offsets{0};

    std::size_t count() const noexcept { return offsets.size() - 1; }
    std::span<const float> row(std::size_t i) const noexcept {
        return {values.data() + offsets[i], offsets[i + 1] - offsets[i]};
    }
};
bool extract_rows(PyObject* obj, const char* param, Rows& out);

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
        if (count_ < entries_.size()) entries_[count_++] = {&owner, [](void* p) { static_cast<Owner*>(p)->settle(); }};
    }
    void settle() {
        for (std::size_t i = 0; i < count_; ++i) entries_[i].settle(entries_[i].owner);
        count_ = 0;
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

// Sequence rule with row elements, kept as a matrix: uniform rows of `cols` floats, row i
// at data + i * stride, when the argument is a 2-D buffer (in place for aligned float32
// rows of unit element stride, else converted into rows.values), or else ragged `rows`.
struct Matrix32 {
    Rows rows;
    bool uniform = false;
    const float* data = nullptr;
    std::size_t count = 0;
    std::size_t cols = 0;
    std::size_t stride = 0;
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
bool extract_texts(PyObject* obj, const char* param, std::vector<std::string_view>& out,
                   Keep& keep);

// Sequence rule with pair elements (tuples of two texts); views stay valid while `keep` lives.
using TextPair = std::pair<std::string_view, std::string_view>;
bool extract_pairs(PyObject* obj, const char* param, std::vector<TextPair>& out, Keep& keep);

// Sequence rule with byte elements. An exact bytes object is viewed in place (valid while
// the caller holds it); any other object is converted into `storage`, which `out` views.
bool extract_bytes(PyObject* obj, const char* param, std::span<const std::uint8_t>& out,
                   std::vector<std::uint8_t>& storage);

// The same, where a numeric buffer may also be viewed in place while `storage` lives.
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
PyObject* build_list(Py_ssize_t size);                     // items must all be set after
void list_set(PyObject* list, Py_ssize_t i, PyObject* item);  // steals `item`
PyObject* build_pair(PyObject* first, PyObject* second);   // steals both

}  // namespace zelk::py
