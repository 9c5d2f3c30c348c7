// The buffer fast path: which arguments it reads, how their formats decode, and the
// element conversions that give exactly what the plain rule gives on the element objects.
//
// What iterating each kind yields, and so what the fast path must reproduce:
// - numpy.ndarray of one dimension: numpy scalars. PyFloat_AsDouble reads np.float64 as it
//   is, widens np.float32 by the hardware conversion (a signalling NaN becomes quiet) and
//   converts integers by __float__; PyLong_AsLong reads integers by __index__ and refuses
//   float scalars. Of two dimensions: row arrays, whose rows in turn yield scalars.
// - array.array and memoryview: Python int and float objects made from the same memory.
// A float16 NaN converts differently across numpy versions (its payload may or may not be
// kept), and integers out of the byte range fail with messages that depend on the value:
// both leave the whole argument to the plain rule, which then reads those elements itself.
// Integer to double conversion and narrowing to 32 bits depend on the rounding mode, and
// the plain rule mixes software rounding (Python int) with the hardware's (numpy
// scalars), so the fast path runs only while the floating-point control state is the
// default one, where all of them round to nearest even.
#include "module/buffers.hpp"

#include <algorithm>
#include <bit>
#include <cfenv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace zelk::py {

namespace {

// ------------------------------------------------------------ recognition

enum Origin : int { unknown = 0, ndarray, pyarray, memview };

// The type object `attribute` of the imported module `module`, as sys.modules holds it,
// or nullptr. Plain dictionary reads: no Python code runs and nothing is imported.
PyObject* imported_type(const char* module, const char* attribute) {
    PyObject* modules = PyImport_GetModuleDict();
    if (modules == nullptr || !PyDict_CheckExact(modules)) return nullptr;
    PyObject* found = PyDict_GetItemString(modules, module);
    if (found == nullptr || !PyModule_CheckExact(found)) return nullptr;
    PyObject* members = PyModule_GetDict(found);
    if (members == nullptr) return nullptr;
    PyObject* type = PyDict_GetItemString(members, attribute);
    return type != nullptr && PyType_Check(type) ? type : nullptr;
}

PyTypeObject* base_of(PyTypeObject* type) {
    return static_cast<PyTypeObject*>(PyType_GetSlot(type, Py_tp_base));
}

// A subclass reads as its base only if iteration, item access, length and buffer export
// are the base's own: a class that overrides any of them in Python (or, from 3.12, defines
// __buffer__) gets slots of its own.
bool same_reading_slots(PyTypeObject* type, PyTypeObject* base) {
    for (int slot : {Py_tp_iter, Py_sq_item, Py_mp_subscript, Py_sq_length, Py_mp_length, Py_bf_getbuffer,
                     Py_bf_releasebuffer}) {
        if (PyType_GetSlot(type, slot) != PyType_GetSlot(base, slot)) return false;
    }
    return true;
}

// How `obj` reads, or `unknown`. Two dimensions only for an exact ndarray: iterating a 2-D
// memoryview fails, and a subclass' row arrays run its __array_finalize__.
int origin_of(PyObject* obj, int ndim, Readable& memo) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyMemoryView_Type) return ndim == 1 ? memview : unknown;
    if (ndim == 1 && memo.type == type) return memo.origin;
    // bytes and bytearray are exporters of their own, never an array type: no look-up.
    if (PyBytes_CheckExact(obj) || PyByteArray_CheckExact(obj) || !PyObject_CheckBuffer(obj)) return unknown;
    // The base whose reading the type keeps: numpy's array first, as the likelier.
    int origin = unknown;
    PyTypeObject* base = nullptr;
    for (int candidate : {ndarray, pyarray}) {
        PyObject* known =
            candidate == ndarray ? imported_type("numpy", "ndarray") : imported_type("array", "array");
        for (base = type; known != nullptr && base != nullptr; base = base_of(base)) {
            if (reinterpret_cast<PyObject*>(base) == known) break;
        }
        if (known != nullptr && base != nullptr) {
            origin = candidate;
            break;
        }
    }
    if (origin == unknown || (base != type && !same_reading_slots(type, base))) return unknown;
    if (ndim == 2) return origin == ndarray && base == type ? origin : unknown;
    memo.type = type;
    memo.origin = origin;
    return origin;
}

// ------------------------------------------------------------ formats

enum class Scalar : std::uint8_t { f16, f32, f64, i8, i16, i32, i64, u8, u16, u32, u64 };

bool floating(Scalar s) { return s == Scalar::f16 || s == Scalar::f32 || s == Scalar::f64; }

// The scalar of a format of one letter, by its kind and the export's item size. memoryview
// and array.array items are made from native formats only ("@" or no prefix); numpy
// scalars come from the array's own type whatever the prefix, so for numpy a prefix that
// names this machine's byte order ("=", or "<" / ">" when it is this machine's) is read too.
bool decode_format(const char* format, Py_ssize_t itemsize, int origin, Scalar& out) {
    if (format == nullptr) format = "B";
    if (*format == '@') {
        ++format;
    } else if (origin == ndarray &&
               (*format == '=' || *format == (std::endian::native == std::endian::little ? '<' : '>'))) {
        ++format;
    }
    const char letter = format[0];
    if (letter == '\0' || format[1] != '\0') return false;
    enum { sint, uint, real } kind;
    switch (letter) {
        case 'b':
        case 'h':
        case 'i':
        case 'l':
        case 'q': kind = sint; break;
        case 'B':
        case 'H':
        case 'I':
        case 'L':
        case 'Q': kind = uint; break;
        case 'n':
            if (origin != memview) return false;
            kind = sint;
            break;
        case 'N':
            if (origin != memview) return false;
            kind = uint;
            break;
        case 'e':
            if (origin != ndarray) return false;
            kind = real;
            break;  // memoryview: by version
        case 'f':
        case 'd': kind = real; break;
        default: return false;
    }
    static constexpr Scalar sints[] = {Scalar::i8, Scalar::i16, Scalar::i32, Scalar::i64};
    static constexpr Scalar uints[] = {Scalar::u8, Scalar::u16, Scalar::u32, Scalar::u64};
    const int width = itemsize == 1 ? 0 : itemsize == 2 ? 1 : itemsize == 4 ? 2 : itemsize == 8 ? 3 : -1;
    if (width < 0) return false;
    if (kind == sint) out = sints[width];
    if (kind == uint) out = uints[width];
    if (kind == real) {
        if ((letter == 'e') != (width == 1) || (letter == 'f') != (width == 2) ||
            (letter == 'd') != (width == 3))
            return false;
        out = width == 1 ? Scalar::f16 : width == 2 ? Scalar::f32 : Scalar::f64;
    }
    return true;
}

// ------------------------------------------------------------ opening a buffer

// Rounding to nearest, no flush-to-zero, no denormals-are-zero, all exceptions masked.
bool default_float_mode() {
#if defined(__SSE__)
    if ((_mm_getcsr() & ~0x3Fu) != 0x1F80u) return false;
#elif defined(__aarch64__)
    unsigned long fpcr;  // FZ (bit 24), FZ16 (19), AH (1) and FIZ (0) must be clear
    asm volatile("mrs %0, fpcr" : "=r"(fpcr));
    if ((fpcr & ((1ul << 24) | (1ul << 19) | (1ul << 1) | 1ul)) != 0) return false;
#endif
    return std::fegetround() == FE_TONEAREST;
}

// A decoded export of one or two dimensions.
struct Numbers {
    const char* data = nullptr;  // element 0 (of row 0)
    std::size_t rows = 0;        // length of the first dimension
    std::size_t cols = 1;        // length of the second (1 for one dimension)
    Py_ssize_t row_stride = 0;   // bytes from one element of the first dimension to the next
    Py_ssize_t col_stride = 0;   // bytes from one element of a row to the next
    Scalar scalar = Scalar::u8;
};

bool open_numbers(PyObject* obj, int ndim, Readable& memo, Buffer& buffer, Numbers& out) {
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) return false;
    const int origin = origin_of(obj, ndim, memo);
    if (origin == unknown || !default_float_mode()) return false;
    if (!buffer.acquire(obj)) {
        PyErr_Clear();  // a released memoryview, a type numpy cannot export: the plain rule says
        return false;
    }
    const Py_buffer& view = buffer.view();
    if (view.ndim != ndim || view.shape == nullptr || view.strides == nullptr || view.suboffsets != nullptr ||
        !decode_format(view.format, view.itemsize, origin, out.scalar)) {
        buffer.release();
        return false;
    }
    out.data = static_cast<const char*>(view.buf);
    out.rows = std::size_t(view.shape[0]);
    out.row_stride = view.strides[0];
    if (ndim == 2) {
        out.cols = std::size_t(view.shape[1]);
        out.col_stride = view.strides[1];
    }
    return true;
}

// ------------------------------------------------------------ element conversions

struct Half {
    std::uint16_t bits;
};

template <class T>
T load(const char* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// A float16 widened exactly; false for a NaN.
bool widen(Half half, double& out) {
    const std::uint64_t sign = std::uint64_t(half.bits >> 15) << 63;
    const unsigned exponent = (half.bits >> 10) & 0x1F;
    const std::uint64_t fraction = half.bits & 0x3FF;
    std::uint64_t bits = 0;
    if (exponent == 0x1F) {
        if (fraction != 0) return false;
        bits = sign | 0x7FF0000000000000u;
    } else if (exponent == 0) {
        out = double(fraction) * 0x1p-24;  // subnormal or zero; exact
        out = sign != 0 ? -out : out;
        return true;
    } else {
        bits = sign | (std::uint64_t(exponent - 15 + 1023) << 52) | (fraction << 42);
    }
    std::memcpy(&out, &bits, sizeof out);
    return true;
}

// The float element: what PyFloat_AsDouble gives on the element object.
template <class T>
bool to_double(T value, double& out) {
    if constexpr (std::is_same_v<T, Half>) {
        return widen(value, out);
    } else {
        out = static_cast<double>(value);
        return true;
    }
}

// The 32-bit float element: the float element narrowed. A float32 goes through double and
// back, which quiets a signalling NaN; the compiler may fold that round trip, so the quiet
// bit is set explicitly.
template <class T>
bool to_float(T value, float& out) {
    if constexpr (std::is_same_v<T, float>) {
        std::uint32_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        if ((bits & 0x7FFFFFFFu) > 0x7F800000u) bits |= 0x00400000u;
        std::memcpy(&out, &bits, sizeof out);
        return true;
    } else {
        double wide = 0.0;
        if (!to_double(value, wide)) return false;
        out = static_cast<float>(wide);
        return true;
    }
}

// The byte element, for integers 0 to 255 only.
template <class T>
bool to_byte(T value, std::uint8_t& out) {
    if constexpr (std::is_same_v<T, Half> || std::is_floating_point_v<T>) {
        return false;
    } else {
        if (value < 0 || value > 255) return false;
        out = std::uint8_t(value);
        return true;
    }
}

// Calls visit(T{}) with the C++ type of the scalar.
template <class Visit>
bool with_type(Scalar scalar, Visit&& visit) {
    switch (scalar) {
        case Scalar::f16: return visit(Half{});
        case Scalar::f32: return visit(float{});
        case Scalar::f64: return visit(double{});
        case Scalar::i8: return visit(std::int8_t{});
        case Scalar::i16: return visit(std::int16_t{});
        case Scalar::i32: return visit(std::int32_t{});
        case Scalar::i64: return visit(std::int64_t{});
        case Scalar::u8: return visit(std::uint8_t{});
        case Scalar::u16: return visit(std::uint16_t{});
        case Scalar::u32: return visit(std::uint32_t{});
        case Scalar::u64: return visit(std::uint64_t{});
    }
    return false;
}

// Converts `count` elements starting at `first`, `stride` bytes apart, into out[0..count).
template <class Out, class Convert>
bool convert(Scalar scalar, const char* first, Py_ssize_t stride, std::size_t count, Out* out,
             Convert&& each) {
    return with_type(scalar, [&](auto zero) {
        using T = decltype(zero);
        for (std::size_t i = 0; i < count; ++i) {
            if (!each(load<T>(first + Py_ssize_t(i) * stride), out[i])) return false;
        }
        return true;
    });
}

constexpr auto as_float = [](auto value, float& out) { return to_float(value, out); };
constexpr auto as_double = [](auto value, double& out) { return to_double(value, out); };
constexpr auto as_byte = [](auto value, std::uint8_t& out) { return to_byte(value, out); };

template <class T>
bool aligned(const char* data) {
    return reinterpret_cast<std::uintptr_t>(data) % alignof(T) == 0;
}

// The element run [data, data + count) of unit stride, as T, may be used in place.
template <class T>
bool in_place(const char* data, Py_ssize_t stride, std::size_t count) {
    return aligned<T>(data) && (count <= 1 || stride == Py_ssize_t(sizeof(T)));
}

// Every element of `numbers`, row after row, converted by `each` into out[0 .. rows * cols).
template <class Out, class Convert>
bool convert_all(const Numbers& numbers, Out* out, Convert&& each) {
    // One column (or one dimension): the elements are the rows'.
    if (numbers.cols == 1)
        return convert(numbers.scalar, numbers.data, numbers.row_stride, numbers.rows, out, each);
    for (std::size_t r = 0; r < numbers.rows; ++r) {
        const char* row = numbers.data + Py_ssize_t(r) * numbers.row_stride;
        if (!convert(numbers.scalar, row, numbers.col_stride, numbers.cols, out + r * numbers.cols, each))
            return false;
    }
    return true;
}

// The elements of an open export as T, at `data`: in place when `viewable` (the export
// stays held), else converted by `each` into `storage`, rows back to back, and the export
// released. False, with nothing kept and the export released, when an element does not
// convert.
template <class T, class Convert>
bool view_or_convert(const Numbers& numbers, bool viewable, Buffer& buffer, std::vector<T>& storage,
                     Convert&& each, const T*& data) {
    if (viewable) {
        data = reinterpret_cast<const T*>(numbers.data);
        return true;
    }
    std::size_t total = 0;
    if (__builtin_mul_overflow(numbers.rows, numbers.cols, &total))
        throw std::length_error("matrix too large");
    storage.resize(total);
    const bool ok = convert_all(numbers, storage.data(), each);
    buffer.release();
    if (!ok) {
        storage.clear();
        return false;
    }
    data = storage.data();
    return true;
}

}  // namespace

// ------------------------------------------------------------ the readers

bool read_floats32(PyObject* obj, Readable& memo, std::vector<float>& out) {
    Buffer buffer;
    Numbers numbers;
    if (!open_numbers(obj, 1, memo, buffer, numbers)) return false;
    const std::size_t start = out.size();
    out.resize(start + numbers.rows);
    if (!convert_all(numbers, out.data() + start, as_float)) {
        out.resize(start);
        return false;
    }
    return true;
}

bool read_floats32(PyObject* obj, Readable& memo, Floats32& out) {
    Numbers numbers;
    if (!open_numbers(obj, 1, memo, out.buffer, numbers)) return false;
    const bool viewable =
        numbers.scalar == Scalar::f32 && in_place<float>(numbers.data, numbers.row_stride, numbers.rows);
    const float* data = nullptr;
    if (!view_or_convert(numbers, viewable, out.buffer, out.storage, as_float, data)) return false;
    out.values = {data, numbers.rows};
    return true;
}

bool read_matrix(PyObject* obj, Readable& memo, Matrix32& out) {
    Numbers numbers;
    if (!open_numbers(obj, 2, memo, out.buffer, numbers)) return false;
    const Py_ssize_t row_floats = numbers.row_stride / Py_ssize_t(sizeof(float));
    const bool viewable =
        numbers.scalar == Scalar::f32 && in_place<float>(numbers.data, numbers.col_stride, numbers.cols) &&
        (numbers.rows <= 1 ||
         (numbers.row_stride % Py_ssize_t(sizeof(float)) == 0 && row_floats >= Py_ssize_t(numbers.cols)));
    const float* data = nullptr;
    if (!view_or_convert(numbers, viewable, out.buffer, out.values, as_float, data)) return false;
    const std::size_t stride = viewable && numbers.rows > 1 ? std::size_t(row_floats) : numbers.cols;
    out.matrix = vectors::uniform_matrix(data, numbers.rows, numbers.cols, stride);
    return true;
}

bool read_floats_folded(PyObject* obj, FloatFold fold, double& total) {
    Readable memo;
    Buffer buffer;
    Numbers numbers;
    if (!open_numbers(obj, 1, memo, buffer, numbers)) return false;
    if (numbers.scalar == Scalar::f64 && in_place<double>(numbers.data, numbers.row_stride, numbers.rows)) {
        total = fold(total, {reinterpret_cast<const double*>(numbers.data), numbers.rows});
        return true;
    }
    // A float16 NaN may show up after some chunks were folded: the caller then starts over.
    constexpr std::size_t chunk = 512;
    double values[chunk];
    for (std::size_t at = 0; at < numbers.rows; at += chunk) {
        const std::size_t count = std::min(chunk, numbers.rows - at);
        const char* first = numbers.data + Py_ssize_t(at) * numbers.row_stride;
        if (!convert(numbers.scalar, first, numbers.row_stride, count, values, as_double)) return false;
        total = fold(total, {values, count});
    }
    return true;
}

bool read_bytes(PyObject* obj, std::span<const std::uint8_t>& out, ByteStorage& storage) {
    Readable memo;
    Numbers numbers;
    if (!open_numbers(obj, 1, memo, storage.buffer, numbers)) return false;
    if (floating(numbers.scalar)) {
        storage.buffer.release();
        return false;
    }
    const bool viewable = numbers.scalar == Scalar::u8 &&
                          in_place<std::uint8_t>(numbers.data, numbers.row_stride, numbers.rows);
    const std::uint8_t* data = nullptr;
    if (!view_or_convert(numbers, viewable, storage.buffer, storage.bytes, as_byte, data)) return false;
    out = {data, numbers.rows};
    return true;
}

// ------------------------------------------------------------ settling views

void Floats32::settle() {
    if (!buffer.held()) return;
    storage.assign(values.begin(), values.end());
    values = storage;
    buffer.release();
}

void Matrix32::settle() {
    if (!buffer.held()) return;
    const std::size_t rows = matrix.rows;
    const std::size_t cols = matrix.cols;
    values.resize(rows * cols);
    for (std::size_t r = 0; r < rows; ++r)
        std::memcpy(values.data() + r * cols, matrix.row(r).data(), cols * sizeof(float));
    matrix = vectors::uniform_matrix(values.data(), rows, cols, cols);
    buffer.release();
}

}  // namespace zelk::py
