// The buffer fast path of the sequence rule: numpy arrays, array.array and memoryview
// arguments of a native numeric format are read from their memory, without a Python object
// per element. Every `read_*` either converts the whole argument exactly as the plain rule
// would (same values, bit for bit) and returns true, or returns false having converted
// nothing, with no error pending, and the caller runs the plain rule, which then also
// produces every error. Internal to the frame.
#pragma once

#include "module/frame.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace zelk::py {

// Sequence rule with 32-bit float elements: the elements of a 1-D buffer appended to `out`.
bool read_floats32(PyObject* obj, Readable& memo, std::vector<float>& out);

// The same into `out`, viewed in place when the buffer is aligned contiguous float32.
bool read_floats32(PyObject* obj, Readable& memo, Floats32& out);

// Row elements from a 2-D array, as uniform rows of the second dimension's length.
bool read_matrix(PyObject* obj, Readable& memo, Matrix32& out);

// Float elements of a 1-D buffer, handed to `fold` in order.
bool read_floats_folded(PyObject* obj, FloatFold fold, double& total);

// Byte elements of a 1-D buffer of integers, all of them 0 to 255, viewed in place when the
// buffer is contiguous unsigned bytes, else converted into `storage`.
bool read_bytes(PyObject* obj, std::span<const std::uint8_t>& out, ByteStorage& storage);

}  // namespace zelk::py
