// UTF-8 from code points, for the text rule's chunked reading of long non-ASCII str
// objects (whose code points the host hands out, not their UTF-8 form). Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelk::py {

// Extra bytes the output of an encoder must have room for past the UTF-8 it writes.
inline constexpr std::size_t utf8_slack = 16;

// Writes the UTF-8 form of `n` code points to `out` (room for 4 * n + utf8_slack bytes)
// and returns its length, or, when a surrogate (U+D800..U+DFFF, which has no UTF-8 form)
// is among them, -1 minus the position of the first one.
using Utf8Encoder = std::ptrdiff_t (*)(const std::uint32_t* in, std::size_t n, char* out);

std::ptrdiff_t utf8_portable(const std::uint32_t* in, std::size_t n, char* out);
// Four code points a step with SSSE3 byte shuffles; only where the CPU has SSSE3.
std::ptrdiff_t utf8_ssse3(const std::uint32_t* in, std::size_t n, char* out);
bool cpu_has_ssse3();

// The fastest encoder of this CPU.
Utf8Encoder pick_utf8_encoder();

}  // namespace zelk::py
