// Strict UTF-8 validation: no overlong forms, no surrogates (U+D800 to U+DFFF), nothing
// above U+10FFFF, no stray or missing continuation bytes.
//
// Every checker answers with the offset of the first byte of the first ill-formed
// sequence, or the size of the input when it is all well-formed. The byte-at-a-time
// checker is the reference; the vector checker finds *whether* a block holds an error with
// lookup tables and lets the reference place it, restarting at the last sequence boundary
// before that block, so both give the same offset for every input.
#pragma once

#include <cstddef>
#include <string_view>

namespace zelk::json {

// The reference: one sequence at a time, eight ASCII bytes at a time.
std::size_t utf8_error_portable(const unsigned char* bytes, std::size_t size) noexcept;

// The vector checker (AVX2; the caller makes sure the CPU has it).
std::size_t utf8_error_avx2(const unsigned char* bytes, std::size_t size) noexcept;

// Whether the CPU runs the AVX2 checker (and the AVX2 scanners of scan.hpp).
bool cpu_has_avx2() noexcept;

// The best checker this CPU runs.
std::size_t utf8_error(std::string_view bytes) noexcept;

inline bool is_valid_utf8(std::string_view bytes) noexcept { return utf8_error(bytes) == bytes.size(); }

// The start of the sequence that is open at offset `at`, given that bytes[0, at) holds no
// ill-formed sequence except possibly one cut off at `at`: `at` itself when a sequence
// ends there, else the offset of the lead byte of the sequence cut off.
std::size_t utf8_boundary_before(const unsigned char* bytes, std::size_t at) noexcept;

}  // namespace zelk::json
