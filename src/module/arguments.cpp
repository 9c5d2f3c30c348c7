// Argument matching and the conversion rules: text, sequence (with its element rules)
// and count, each followed by the labelling rule that names the parameter in TypeErrors.
#include "module/buffers.hpp"
#include "module/errors.hpp"
#include "module/frame.hpp"
#include "module/utf8.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>

namespace zelk::py {

namespace {

// A reported length is only a hint: a __len__ that lies must not make us allocate wildly.
constexpr Py_ssize_t max_reserve = 65536;

// ------------------------------------------------------------ labelling rule

// A pending error whose type is exactly TypeError is replaced by a new TypeError whose
// message names the parameter; the new one takes over the caught one's __cause__.
// Every other error passes unchanged. Always returns false.
bool argument_extraction_error(const char* param) {
    FetchedError caught;
    if (caught.type() != PyExc_TypeError) {
        caught.restore();
        return false;
    }
    PyObject* value = caught.value();
    Ref message(PyUnicode_FromFormat("argument '%s': %S", param, value));
    if (!message) return host_failed();
    Ref labelled(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!labelled) return host_failed();
    PyException_SetCause(labelled.get(), PyException_GetCause(value));
    PyErr_Restore(Py_NewRef(PyExc_TypeError), labelled.release(), nullptr);
    return false;
}

// ------------------------------------------------------------ the sequence rule

// Walks `obj` by the sequence rule: refuses a str and non-sequences, reserves room for the
// reported length (a hint, capped), then converts each item with `each` in iteration order.
// `plain(item)` tells whether converting the item can run no Python code at all.
// A released memoryview refuses every operation with ValueError, but the host's iterator
// over one reads the export it has already given back on some versions: it is refused here
// with the error its own buffer export raises, before anything iterates it.
bool memoryview_usable(PyObject* obj) {
    if (Py_TYPE(obj) != &PyMemoryView_Type) return true;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_FULL_RO) != 0) return host_failed();
    PyBuffer_Release(&view);
    return true;
}

template <class Reserve, class Each, class Plain>
bool walk_sequence(PyObject* obj, Reserve&& reserve, Each&& each, Plain&& plain) {
    // An exact list or tuple is neither a str nor a non-sequence: the two type tests (host
    // calls in the limited API) are only asked of other objects.
    const bool is_list = PyList_CheckExact(obj);
    const bool exact = is_list || PyTuple_CheckExact(obj);
    if (!exact) {
        if (PyUnicode_Check(obj)) {
            PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
            return false;
        }
        if (!PySequence_Check(obj)) return fail_cannot_convert(obj, "Sequence");
        if (!memoryview_usable(obj)) return false;
    }
    Py_ssize_t hint = exact ? (is_list ? PyList_Size(obj) : PyTuple_Size(obj)) : PySequence_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    // The length of an exact list or tuple counts items it really holds; any other
    // object's __len__ may say anything, so its word reserves a bounded amount only.
    reserve(std::size_t(exact ? hint : std::min(hint, max_reserve)));
    // Exact lists and tuples are walked by index, which is what their iterators do: the
    // item at the next index while the index is below the current length. An item whose
    // conversion runs no Python code is read borrowed; any other is held while it is
    // converted (that code may drop it from the list) and the length is read again after.
    if (exact) {
        auto length = [&] { return is_list ? PyList_Size(obj) : PyTuple_Size(obj); };
        auto at = [&](Py_ssize_t i) { return is_list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i); };
        Py_ssize_t size = hint;
        // Items are scattered objects: in a long sequence, fetch the one `ahead` places on
        // into cache now, and what the item half as far on refers to (it arrived
        // meanwhile). A short one mostly lies in cache already, where asking costs more
        // host calls than it saves.
        constexpr Py_ssize_t ahead = 8, long_sequence = 16384;
        const bool fetch_ahead = std::decay_t<Plain>::scattered && size >= long_sequence;
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (fetch_ahead && i + ahead < size) {
                __builtin_prefetch(at(i + ahead));
                plain.prefetch_inside(at(i + ahead / 2));
            }
            PyObject* item = at(i);
            if (plain(item)) {
                if (!each(item)) return false;
            } else {
                Ref held(Py_NewRef(item));
                if (!each(held.get())) return false;
                size = length();
            }
        }
        return true;
    }
    Ref iterator(PyObject_GetIter(obj));
    if (!iterator) return host_failed();
    for (;;) {
        Ref item(PyIter_Next(iterator.get()));
        if (!item) break;
        if (!each(item.get())) return false;
    }
    if (PyErr_Occurred() != nullptr) return host_failed();
    return true;
}

// ------------------------------------------------------------ element rules

// Element rules as function objects, so that the walk inlines them.
struct FloatElement {
    bool operator()(PyObject* item, double& out) const {
        out = PyFloat_AsDouble(item);
        return out != -1.0 || PyErr_Occurred() == nullptr || host_failed();
    }
};

// Rounds to the nearest 32-bit float, ties to even; beyond the 32-bit range the IEEE
// conversion gives an infinity of the same sign, and NaN stays NaN.
struct Float32Element {
    bool operator()(PyObject* item, float& out) const {
        double wide = 0.0;
        if (!FloatElement{}(item, wide)) return false;
        out = static_cast<float>(wide);
        return true;
    }
};

// The text rule: a view of the str's UTF-8 form.
bool text_value(PyObject* obj, std::string_view& out) {
    if (!PyUnicode_CheckExact(obj) && !PyUnicode_Check(obj)) return fail_cannot_convert(obj, "PyString");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return host_failed();
    out = {data, std::size_t(size)};
    return true;
}

struct ByteElement {
    bool operator()(PyObject* item, std::uint8_t& out) const {
        const long value = PyLong_AsLong(item);
        if (value == -1 && PyErr_Occurred() != nullptr) return host_failed();
        if (value < 0 || value > 255) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return false;
        }
        out = std::uint8_t(value);
        return true;
    }
};

// What the walk knows of an element kind: whether converting an item can run no Python
// code at all (then the item is read borrowed), and what inside an item the conversion
// will read next, so that it can be fetched into cache ahead of time. Numbers usually
// lie in memory in the order they were made, which the hardware prefetcher follows by
// itself; strings named by many lists and tuples are `scattered`.
struct PlainNumber {  // float and int objects convert without running Python code
    static constexpr bool scattered = false;
    bool operator()(PyObject* item) const { return PyFloat_CheckExact(item) || PyLong_CheckExact(item); }
    void prefetch_inside(PyObject*) const {}
};

struct PlainText {  // reading a str's UTF-8 form runs no Python code
    static constexpr bool scattered = true;
    bool operator()(PyObject* item) const { return PyUnicode_CheckExact(item) || PyUnicode_Check(item); }
    void prefetch_inside(PyObject*) const {}
};

struct PlainPair {  // neither does reading a tuple's items; its strings are read next
    static constexpr bool scattered = true;
    bool operator()(PyObject* item) const { return PyTuple_CheckExact(item) || PyTuple_Check(item); }
    void prefetch_inside(PyObject* item) const {
        if (PyTuple_CheckExact(item) && PyTuple_Size(item) == 2) {
            __builtin_prefetch(PyTuple_GetItem(item, 0));
            __builtin_prefetch(PyTuple_GetItem(item, 1));
        }
    }
};

struct NeverPlain {  // a row is a sequence of its own, whose conversion may run anything
    static constexpr bool scattered = false;
    bool operator()(PyObject*) const { return false; }
    void prefetch_inside(PyObject*) const {}
};

// Appends the items of `obj`, each converted by `element`, to `out`. Rows of a matrix
// share one buffer, so it grows geometrically, never to the exact size asked.
template <class T, class Element, class Plain>
bool append_sequence(PyObject* obj, std::vector<T>& out, Element&& element, Plain&& plain) {
    return walk_sequence(
        obj,
        [&](std::size_t n) {
            if (out.capacity() - out.size() < n) out.reserve(std::max(out.size() + n, 2 * out.capacity()));
        },
        [&](PyObject* item) {
            T value{};
            if (!element(item, value)) return false;
            out.push_back(value);
            return true;
        },
        plain);
}

// An exact bytearray yields exactly its bytes when iterated, so it is copied in one go;
// every other object goes through the item-by-item rule.
bool copy_bytearray(PyObject* obj, std::vector<std::uint8_t>& out) {
    if (!PyByteArray_CheckExact(obj)) return false;
    const char* data = PyByteArray_AsString(obj);
    const Py_ssize_t size = PyByteArray_Size(obj);
    if (data == nullptr || size < 0) {
        PyErr_Clear();
        return false;
    }
    out.assign(reinterpret_cast<const std::uint8_t*>(data),
               reinterpret_cast<const std::uint8_t*>(data) + size);
    return true;
}

std::string quoted_names(const Function& function, PyObject** slots, std::size_t first, std::size_t& count) {
    std::vector<const char*> missing;
    for (std::size_t i = first; i < function.arity; ++i) {
        if (slots[i] == nullptr) missing.push_back(function.params[i]);
    }
    count = missing.size();
    std::string names;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() == 2) {
                names += " and ";
            } else {
                names += (i + 1 == missing.size()) ? ", and " : ", ";
            }
        }
        names += '\'';
        names += missing[i];
        names += '\'';
    }
    return names;
}

// The string form of a keyword name, with characters that have no UTF-8 form shown as
// replacement characters.
Ref lossy_name(PyObject* name) {
    Ref raw(PyUnicode_AsEncodedString(name, "utf-8", "surrogatepass"));
    if (!raw) {
        PyErr_Clear();
        return Ref(PyObject_Str(name));
    }
    return Ref(PyUnicode_DecodeUTF8(PyBytes_AsString(raw.get()), PyBytes_Size(raw.get()), "replace"));
}

}  // namespace

// ------------------------------------------------------------ borrowed views

Keep::~Keep() {
    if (collection_was_ > 0) PyGC_Enable();
}

void Keep::hold(PyObject* owner) { held_.emplace_back(Py_NewRef(owner)); }

void Keep::borrow(PyObject* container) {
    if (borrowed_count_ == room) pin();
    if (collection_was_ < 0) collection_was_ = PyGC_Disable();
    borrowed_[borrowed_count_++] = container;
}

void Keep::pin() {
    // No Python code ran since the items were read, so the containers still hold them.
    for (PyObject* container : std::span(borrowed_, borrowed_count_)) {
        const bool is_list = PyList_CheckExact(container);
        const Py_ssize_t size = is_list ? PyList_Size(container) : PyTuple_Size(container);
        held_.reserve(held_.size() + std::size_t(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            hold(is_list ? PyList_GetItem(container, i) : PyTuple_GetItem(container, i));
        }
    }
    borrowed_count_ = 0;
    if (collection_was_ > 0) PyGC_Enable();
    collection_was_ = -1;
}

// ------------------------------------------------------------ argument matching

// The call that is not every parameter by position (the trampoline reads that one as it is).
bool match_arguments(const Function& function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** slots) {
    const auto count = Py_ssize_t(function.arity);
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", function.name,
                     count, nargs);
        return false;
    }
    std::fill(slots, slots + count, nullptr);
    std::copy(args, args + nargs, slots);

    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* name = PyTuple_GetItem(kwnames, k);
        if (name == nullptr) return host_failed();
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(name, &size);
        if (data == nullptr) PyErr_Clear();  // no UTF-8 form: matches no parameter
        const std::string_view keyword = data ? std::string_view(data, std::size_t(size)) : "";
        Py_ssize_t index = -1;
        for (Py_ssize_t i = 0; data != nullptr && i < count; ++i) {
            if (keyword == function.params[std::size_t(i)]) index = i;
        }
        if (index < 0) {
            Ref shown = lossy_name(name);
            if (!shown) return host_failed();
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function.name,
                         shown.get());
            return false;
        }
        if (slots[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function.name,
                         function.params[std::size_t(index)]);
            return false;
        }
        slots[index] = args[nargs + k];
    }

    if (nargs < count) {
        std::size_t missing = 0;
        const std::string names = quoted_names(function, slots, std::size_t(nargs), missing);
        if (missing > 0) {
            PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", function.name,
                         missing, missing == 1 ? "argument" : "arguments", names.c_str());
            return false;
        }
    }
    return true;
}

// ------------------------------------------------------------ per-argument conversion

bool extract_text(PyObject* obj, const char* param, std::string_view& out) {
    return text_value(obj, out) || argument_extraction_error(param);
}

bool extract_text_pieces(PyObject* obj, const char* param, TextSink sink, void* context) {
    // Below this length, or for an ASCII str (whose UTF-8 form is its storage) or a
    // subclass, the plain text rule is used.
    constexpr Py_ssize_t chunk = 4096;
    const Py_ssize_t length = PyUnicode_CheckExact(obj) ? PyUnicode_GetLength(obj) : 0;
    bool whole = length < 4 * chunk;
    if (!whole) {
        Ref ascii(PyObject_CallMethod(obj, "isascii", nullptr));
        if (!ascii) return host_failed() || argument_extraction_error(param);
        whole = ascii.get() == Py_True;
    }
    if (whole) {
        std::string_view text;
        if (!text_value(obj, text)) return argument_extraction_error(param);
        sink(context, text);
        return true;
    }
    const Utf8Encoder encode = pick_utf8_encoder();
    std::vector<std::uint32_t> code_points(chunk);
    std::vector<char> utf8(4 * chunk + utf8_slack);
    for (Py_ssize_t at = 0; at < length; at += chunk) {
        const Py_ssize_t end = std::min(at + chunk, length);
        Ref piece(PyUnicode_Substring(obj, at, end));
        if (!piece || PyUnicode_AsUCS4(piece.get(), reinterpret_cast<Py_UCS4*>(code_points.data()), chunk,
                                       0) == nullptr) {
            return host_failed() || argument_extraction_error(param);
        }
        const std::ptrdiff_t size = encode(code_points.data(), std::size_t(end - at), utf8.data());
        if (size < 0) {
            // A lone surrogate: the text rule raises the host's error for the whole str.
            std::string_view text;
            if (!text_value(obj, text)) return argument_extraction_error(param);
            throw Panic{"a surrogate with a UTF-8 form"};
        }
        sink(context, {utf8.data(), std::size_t(size)});
    }
    return true;
}

bool extract_floats32(PyObject* obj, const char* param, Floats32& out, Views& views) {
    if (read_floats32(obj, views.readable, out)) {
        if (out.buffer.held()) views.add(out);
        return true;
    }
    views.settle();
    if (!append_sequence(obj, out.storage, Float32Element{}, PlainNumber{}))
        return argument_extraction_error(param);
    out.values = out.storage;
    return true;
}

bool extract_floats_folded(PyObject* obj, const char* param, FloatFold fold, double& total) {
    const double start = total;
    if (read_floats_folded(obj, fold, total)) return true;
    total = start;
    // Values pass through a small block that stays in cache, in iteration order; a short
    // block lets the additions of one overlap the reading of the next. A multiple of 4.
    constexpr std::size_t block = 32;
    double values[block];
    std::size_t count = 0;
    // An exact list is walked by index as walk_sequence walks it (the length read again
    // after an item whose conversion may run Python code), in a loop kept tight for the
    // common list of floats.
    if (PyList_CheckExact(obj)) {
        Py_ssize_t single_until = 0;
        Py_ssize_t size = PyList_Size(obj);
        for (Py_ssize_t i = 0; i < size; ++i) {
            // Four floats in a row are read at once, so that the reads of their objects
            // overlap; after four that are not all floats, single items are taken up to
            // the end of those four.
            if (i >= single_until && count + 4 <= block && i + 4 <= size) {
                PyObject* a = PyList_GetItem(obj, i);
                PyObject* b = PyList_GetItem(obj, i + 1);
                PyObject* c = PyList_GetItem(obj, i + 2);
                PyObject* d = PyList_GetItem(obj, i + 3);
                if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b) && PyFloat_CheckExact(c) &&
                    PyFloat_CheckExact(d)) {
                    values[count] = PyFloat_AsDouble(a);  // exact floats: these cannot fail
                    values[count + 1] = PyFloat_AsDouble(b);
                    values[count + 2] = PyFloat_AsDouble(c);
                    values[count + 3] = PyFloat_AsDouble(d);
                    count += 4;
                    i += 3;
                    if (count == block) {
                        total = fold(total, {values, count});
                        count = 0;
                    }
                    continue;
                }
                single_until = i + 4;
            }
            PyObject* item = PyList_GetItem(obj, i);
            double& value = values[count];
            if (PyFloat_CheckExact(item)) {
                value = PyFloat_AsDouble(item);  // cannot fail
            } else if (PlainNumber{}(item)) {
                if (!FloatElement{}(item, value)) return argument_extraction_error(param);
            } else {
                Ref held(Py_NewRef(item));
                if (!FloatElement{}(held.get(), value)) return argument_extraction_error(param);
                size = PyList_Size(obj);
            }
            if (++count == block) {
                total = fold(total, {values, count});
                count = 0;
            }
        }
        total = fold(total, {values, count});
        return true;
    }
    const bool ok = walk_sequence(
        obj, [](std::size_t) {},
        [&](PyObject* item) {
            if (!FloatElement{}(item, values[count])) return false;
            if (++count == block) {
                total = fold(total, {values, count});
                count = 0;
            }
            return true;
        },
        PlainNumber{});
    if (!ok) return argument_extraction_error(param);
    total = fold(total, {values, count});
    return true;
}

namespace {

// The plain row rule into ragged rows: the rows back to back in `out.values`, row i ending
// at out.offsets[i + 1]; a row that is a numeric buffer is read by its memory.
// Rows are usually all of one length, so the first row's length times the number of rows
// is reserved once; that is only a hint, and a hint too large to allocate is dropped.
bool append_rows(PyObject* obj, Readable& memo, Matrix32& out) {
    std::size_t expected_rows = 0;
    std::vector<float>& values = out.values;
    return walk_sequence(
        obj,
        [&](std::size_t n) {
            expected_rows = n;
            out.offsets.reserve(n + 1);
        },
        [&](PyObject* row) {
            if (!read_floats32(row, memo, values)) {
                // Python code run here may free the type recognised and make another in its place.
                memo = {};
                if (!append_sequence(row, values, Float32Element{}, PlainNumber{})) return false;
            }
            out.offsets.push_back(values.size());
            std::size_t wanted = 0;
            if (out.offsets.size() == 2 && !__builtin_mul_overflow(values.size(), expected_rows, &wanted)) {
                try {
                    values.reserve(wanted);
                } catch (const std::bad_alloc&) {
                } catch (const std::length_error&) {}
            }
            return true;
        },
        NeverPlain{});
}

}  // namespace

bool extract_matrix(PyObject* obj, const char* param, Matrix32& out, Views& views) {
    if (read_matrix(obj, views.readable, out)) {
        if (out.buffer.held()) views.add(out);
        return true;
    }
    views.settle();
    if (!append_rows(obj, views.readable, out)) return argument_extraction_error(param);
    out.matrix = vectors::ragged_matrix(out.values, out.offsets);
    return true;
}

// An exact list or tuple: its items may be viewed borrowed (see Keep). Any other
// sequence is walked through the protocol, which may run Python code: what was borrowed
// before is pinned first.
bool lend_items(PyObject* obj, Keep& keep) {
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        // An empty one lends nothing: collection need not be held off for it.
        if ((PyList_CheckExact(obj) ? PyList_Size(obj) : PyTuple_Size(obj)) > 0) keep.borrow(obj);
        return true;
    }
    keep.pin();
    return false;
}

bool extract_texts(PyObject* obj, const char* param, std::vector<std::string_view>& out, Keep& keep) {
    const bool lent = lend_items(obj, keep);
    const bool ok = walk_sequence(
        obj, [&](std::size_t n) { out.reserve(n); },
        [&](PyObject* item) {
            std::string_view text;
            if (!text_value(item, text)) return false;
            if (!lent || !PyUnicode_CheckExact(item)) keep.hold(item);
            out.push_back(text);
            return true;
        },
        PlainText{});
    return ok || argument_extraction_error(param);
}

bool extract_pairs(PyObject* obj, const char* param, std::vector<TextPair>& out, Keep& keep) {
    const bool lent = lend_items(obj, keep);
    const bool ok = walk_sequence(
        obj, [&](std::size_t n) { out.reserve(n); },
        [&](PyObject* item) {
            if (!PyTuple_CheckExact(item) && !PyTuple_Check(item))
                return fail_cannot_convert(item, "PyTuple");
            const Py_ssize_t size = PyTuple_Size(item);
            if (size != 2) {
                PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd",
                             size);
                return false;
            }
            PyObject* first = PyTuple_GetItem(item, 0);
            PyObject* second = PyTuple_GetItem(item, 1);
            TextPair pair;
            if (!text_value(first, pair.first)) return false;
            if (!text_value(second, pair.second)) return false;
            // The tuple holds both strings; an exact tuple of exact strings in an exact
            // container is viewed borrowed.
            if (!lent || !PyTuple_CheckExact(item) || !PyUnicode_CheckExact(first) ||
                !PyUnicode_CheckExact(second)) {
                keep.hold(item);
            }
            out.push_back(pair);
            return true;
        },
        PlainPair{});
    return ok || argument_extraction_error(param);
}

bool extract_bytes(PyObject* obj, const char* param, std::span<const std::uint8_t>& out,
                   ByteStorage& storage) {
    // An exact bytes object yields exactly its bytes and cannot change: it is read in
    // place, as the caller holds it for the whole call.
    if (PyBytes_CheckExact(obj)) {
        const char* data = PyBytes_AsString(obj);
        const Py_ssize_t size = PyBytes_Size(obj);
        if (data != nullptr && size >= 0) {
            out = {reinterpret_cast<const std::uint8_t*>(data), std::size_t(size)};
            return true;
        }
        PyErr_Clear();
    }
    if (read_bytes(obj, out, storage)) return true;
    if (!copy_bytearray(obj, storage.bytes) &&
        !append_sequence(obj, storage.bytes, ByteElement{}, PlainNumber{})) {
        return argument_extraction_error(param);
    }
    out = storage.bytes;
    return true;
}

bool extract_count(PyObject* obj, const char* param, std::uint64_t& out) {
    Ref index;
    PyObject* integer = obj;
    if (!PyLong_Check(obj)) {
        index = Ref(PyNumber_Index(obj));
        if (!index) return host_failed() || argument_extraction_error(param);
        integer = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred() != nullptr) {
        return host_failed() || argument_extraction_error(param);
    }
    out = value;
    return true;
}

bool extract_count(PyObject* obj, const char* param, std::uint64_t& out, Views& views) {
    if (!PyLong_Check(obj)) views.settle();  // __index__ may run Python code
    return extract_count(obj, param, out);
}

PyObject* raise_value_error(std::string_view message) {
    Ref text(PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), "replace"));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    return nullptr;
}

}  // namespace zelk::py
