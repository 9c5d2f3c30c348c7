// The reference UTF-8 checker and the choice of checker by CPU.
#include "json/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace zelk::json {

std::size_t utf8_error_portable(const unsigned char* s, std::size_t n) noexcept {
    std::size_t i = 0;
    const auto continuation = [&](std::size_t k) { return k < n && (s[k] & 0xC0) == 0x80; };
    while (i < n) {
        if (n - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, s + i, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
        } else if (c < 0xC2) {
            return i;  // a stray continuation byte, or an overlong two-byte form
        } else if (c < 0xE0) {
            if (!continuation(i + 1)) return i;
            i += 2;
        } else if (c < 0xF0) {
            if (i + 1 >= n) return i;
            const unsigned char c1 = s[i + 1];
            if (c == 0xE0 && c1 < 0xA0) return i;   // overlong
            if (c == 0xED && c1 >= 0xA0) return i;  // surrogate
            if (!continuation(i + 1) || !continuation(i + 2)) return i;
            i += 3;
        } else if (c < 0xF5) {
            if (i + 1 >= n) return i;
            const unsigned char c1 = s[i + 1];
            if (c == 0xF0 && c1 < 0x90) return i;   // overlong
            if (c == 0xF4 && c1 >= 0x90) return i;  // above U+10FFFF
            if (!continuation(i + 1) || !continuation(i + 2) || !continuation(i + 3)) return i;
            i += 4;
        } else {
            return i;
        }
    }
    return n;
}

std::size_t utf8_boundary_before(const unsigned char* s, std::size_t at) noexcept {
    // The lead byte of the sequence holding byte at-1 is at most three bytes back.
    for (std::size_t back = 1; back <= 4 && back <= at; ++back) {
        const unsigned char c = s[at - back];
        if ((c & 0xC0) == 0x80) continue;
        const std::size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        return length >= back + 1 ? at - back : at;
    }
    return 0;  // only continuation bytes: no boundary to trust, so start over
}

bool cpu_has_avx2() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

std::size_t utf8_error(std::string_view bytes) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
#if defined(__x86_64__) || defined(__i386__)
    // Short texts: the reference is as fast as setting up the tables.
    if (bytes.size() >= 32 && cpu_has_avx2()) return utf8_error_avx2(s, bytes.size());
#endif
    return utf8_error_portable(s, bytes.size());
}

}  // namespace zelk::json
