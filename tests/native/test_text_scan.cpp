// The vector paths of the JSON text against their portable forms: the UTF-8 checker (the
// same verdict and the same error offset for structured and random byte strings, every
// ill-formed form at every offset modulo 64 and at the end of the input) and the string,
// whitespace and copy scanners (the same stop for every stop byte at every position, in
// buffers allocated to their exact size so that a read past the end shows under the
// sanitizers).
#include "check.hpp"
#include "json/parse.hpp"
#include "json/scan.hpp"
#include "json/utf8.hpp"

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace zelk::json;
using zelk_test::check;

namespace {

using Bytes = std::basic_string<unsigned char>;

// A copy of `bytes` in a heap block of exactly its size.
std::unique_ptr<unsigned char[]> exact_copy(const Bytes& bytes) {
    std::unique_ptr<unsigned char[]> copy(new unsigned char[bytes.size() + (bytes.empty() ? 1 : 0)]);
    if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
    return copy;
}

std::string shown(const Bytes& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x ", c);
        text += hex;
    }
    return text.substr(0, 400);
}

Bytes encode(std::uint32_t cp) {
    if (cp < 0x80) return Bytes{static_cast<unsigned char>(cp)};
    if (cp < 0x800)
        return Bytes{static_cast<unsigned char>(0xC0 | cp >> 6),
                     static_cast<unsigned char>(0x80 | (cp & 0x3F))};
    if (cp < 0x10000) {
        return Bytes{static_cast<unsigned char>(0xE0 | cp >> 12),
                     static_cast<unsigned char>(0x80 | (cp >> 6 & 0x3F)),
                     static_cast<unsigned char>(0x80 | (cp & 0x3F))};
    }
    return Bytes{
        static_cast<unsigned char>(0xF0 | cp >> 18), static_cast<unsigned char>(0x80 | (cp >> 12 & 0x3F)),
        static_cast<unsigned char>(0x80 | (cp >> 6 & 0x3F)), static_cast<unsigned char>(0x80 | (cp & 0x3F))};
}

// A well-formed filler of exactly `size` bytes: ASCII, or a mix of all four lengths.
Bytes filler(std::size_t size, bool mixed) {
    static const std::uint32_t points[] = {0xE9, 0x20AC, 0x1F600, 'a', 0x7FF, 0xFFFF, 0x10FFFF, 0x800};
    Bytes out;
    for (std::size_t k = 0; mixed; ++k) {
        const Bytes next = encode(points[k % 8]);
        if (out.size() + next.size() > size) break;
        out += next;
    }
    out.resize(size, 'a');
    return out;
}

// The reference by definition: decode each scalar value and check its range and form.
std::size_t utf8_error_by_definition(const Bytes& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = s[i];
        const std::size_t length = c < 0x80                ? 1
                                   : c >= 0xC0 && c < 0xE0 ? 2
                                   : c >= 0xE0 && c < 0xF0 ? 3
                                   : c >= 0xF0 && c < 0xF8 ? 4
                                                           : 0;
        if (length == 0 || i + length > s.size()) return i;
        std::uint32_t cp = length == 1 ? c : c & (0x7Fu >> length);
        for (std::size_t k = 1; k < length; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return i;
            cp = cp << 6 | (s[i + k] & 0x3F);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
        i += length;
    }
    return s.size();
}

struct Utf8Paths {
    bool avx2 = cpu_has_avx2();
    int failures = 0;

    // Every checker gives the error offset of the reference on `bytes`; returns that offset.
    std::size_t agree(const Bytes& bytes, bool by_definition = false) {
        const auto copy = exact_copy(bytes);
        const std::size_t expected = utf8_error_portable(copy.get(), bytes.size());
        bool same = !by_definition || expected == utf8_error_by_definition(bytes);
        const char* what = "portable checker against the definition";
#if defined(__x86_64__) || defined(__i386__)
        if (same && avx2 && utf8_error_avx2(copy.get(), bytes.size()) != expected) {
            same = false;
            what = "AVX2 checker against the portable one";
        }
#endif
        if (same && utf8_error({reinterpret_cast<const char*>(copy.get()), bytes.size()}) != expected) {
            same = false;
            what = "chosen checker against the portable one";
        }
        if (!same && failures++ < 8) check(false, std::string(what) + ": " + shown(bytes));
        if (same) check(true, what);
        return expected;
    }
};

// Two-byte, three-byte and four-byte candidates built from every lead byte and telling
// second bytes, with the third and fourth continuation, ASCII, a lead or missing.
// With `telling_leads_only`, only the lead bytes at the edges of each class.
std::vector<Bytes> structured_pieces(bool telling_leads_only) {
    std::vector<Bytes> pieces;
    const auto telling = [](unsigned lead) {
        for (unsigned t : {0x80u, 0xBFu, 0xC0u, 0xC1u, 0xC2u, 0xDFu, 0xE0u, 0xE1u, 0xECu, 0xEDu,
                           0xEEu, 0xEFu, 0xF0u, 0xF1u, 0xF3u, 0xF4u, 0xF5u, 0xF7u, 0xF8u, 0xFFu}) {
            if (lead == t) return true;
        }
        return false;
    };
    const unsigned char seconds[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F,
                                     0xA0, 0xBF, 0xC0, 0xC2, 0xE0, 0xF0, 0xFF};
    const int laters[] = {-1, 0x80, 0xBF, 0x41, 0xC3, 0xFF};
    for (unsigned lead = 0x80; lead <= 0xFF; ++lead) {
        if (telling_leads_only && !telling(lead)) continue;
        pieces.push_back(Bytes{static_cast<unsigned char>(lead)});
        for (unsigned char second : seconds) {
            for (int third : laters) {
                for (int fourth : laters) {
                    Bytes piece{static_cast<unsigned char>(lead), second};
                    if (third >= 0) piece += static_cast<unsigned char>(third);
                    if (third >= 0 && fourth >= 0) piece += static_cast<unsigned char>(fourth);
                    if (third < 0 && fourth >= 0) continue;
                    pieces.push_back(piece);
                }
            }
        }
    }
    // Boundaries of every length, well-formed.
    for (std::uint32_t cp : {0x0u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xFFFu, 0x1000u, 0xD7FFu, 0xE000u, 0xFFFDu,
                             0xFFFFu, 0x10000u, 0x3FFFFu, 0x40000u, 0xFFFFFu, 0x100000u, 0x10FFFFu}) {
        pieces.push_back(encode(cp));
    }
    return pieces;
}

void utf8_structured(Utf8Paths& paths) {
    const std::vector<Bytes> pieces = structured_pieces(false);
    const std::vector<Bytes> telling = structured_pieces(true);
    for (const Bytes& piece : pieces) paths.agree(piece, true);
    // Pieces after ASCII or multi-byte filler, with nothing, one byte, a partial vector or
    // more than a vector after them, so that they meet the end of the input, block
    // boundaries and the padded tail: those of the telling leads at every offset modulo
    // 64, all of them at the offsets around the first block boundary.
    for (const bool mixed : {false, true}) {
        for (std::size_t offset = 0; offset < 64; ++offset) {
            const bool edge = offset == 0 || (offset >= 29 && offset <= 32) || offset == 63;
            const Bytes before = filler(offset, mixed);
            for (const std::size_t after : {0u, 1u, 7u, 40u}) {
                if (!edge && (after == 1) == mixed) continue;
                const Bytes rest = filler(after, mixed);
                for (const Bytes& piece : edge ? pieces : telling) paths.agree(before + piece + rest);
            }
        }
    }
    // Every pair of bytes after a three-byte run of each kind of lead, across the first
    // block boundary.
    for (unsigned a = 0; a < 256; ++a) {
        for (unsigned b = 0; b < 256; ++b) {
            const Bytes pair{static_cast<unsigned char>(a), static_cast<unsigned char>(b)};
            paths.agree(filler(30, false) + pair + filler(33, true), true);
        }
    }
}

void utf8_random(Utf8Paths& paths) {
    std::mt19937_64 random(0x75746638);
    const std::vector<Bytes> pieces = structured_pieces(true);
    for (int round = 0; round < 60'000; ++round) {
        Bytes bytes;
        const std::size_t target = random() % 300;
        while (bytes.size() < target) {
            switch (random() % 8) {
                case 0: bytes += pieces[random() % pieces.size()]; break;
                case 1: bytes += static_cast<unsigned char>(random()); break;
                case 2: bytes += filler(random() % 70, true); break;
                default: {
                    const std::uint32_t cp = std::uint32_t(random() % 0x110000);
                    bytes += encode(cp >= 0xD800 && cp <= 0xDFFF ? 0xFFFD : cp);
                }
            }
        }
        if (random() % 4 == 0 && !bytes.empty()) bytes.resize(random() % bytes.size());  // cut anywhere
        const std::size_t error = paths.agree(bytes, true);
        // The byte parse places an ill-formed string just after its closing quote, whatever
        // checker runs.
        Bytes plain;
        for (unsigned char c : bytes) {
            if (c != '"' && c != '\\' && c >= 0x20) plain += c;
        }
        const std::string document = "[\"" + std::string(plain.begin(), plain.end()) + "\"]";
        Arena arena;
        const Parsed parsed = parse_bytes(document, arena);
        const bool valid = utf8_error_portable(plain.data(), plain.size()) == plain.size();
        const bool placed = valid
                                ? parsed.ok
                                : !parsed.ok && parsed.error.kind == ErrorKind::invalid_unicode_code_point &&
                                      parsed.error.offset == plain.size() + 3;
        if (!placed && paths.failures++ < 8) check(false, "byte parse of a string: " + shown(plain));
        if (placed) check(true, "byte parse of a string");
        (void)error;
    }
    // A long text, well-formed and then with one error placed at many offsets.
    Bytes text;
    while (text.size() < (1u << 20)) text += encode(std::uint32_t(random() % 0xD000));
    paths.agree(text);
    for (int round = 0; round < 40; ++round) {
        Bytes broken = text;
        broken[random() % broken.size()] = static_cast<unsigned char>(0x80 + random() % 0x80);
        paths.agree(broken);
    }
}

// ------------------------------------------------------------------ scanners

struct ScanPaths {
    bool avx2 = cpu_has_avx2();
    int failures = 0;

    void report(bool ok, const std::string& what, const Bytes& bytes) {
        if (!ok && failures++ < 8) check(false, what + ": " + shown(bytes));
        if (ok) check(true, what);
    }

    void agree(const Bytes& bytes) {
        const auto copy = exact_copy(bytes);
        const char* const begin = reinterpret_cast<const char*>(copy.get());
        const char* const end = begin + bytes.size();
        // References, one byte at a time.
        const char* stop = begin;
        while (stop != end && *stop != '"' && *stop != '\\' && static_cast<unsigned char>(*stop) >= 0x20)
            ++stop;
        const char* blank_end = begin;
        while (blank_end != end &&
               (*blank_end == ' ' || *blank_end == '\t' || *blank_end == '\n' || *blank_end == '\r')) {
            ++blank_end;
        }
        using Scan = const char* (*)(const char*, const char*) noexcept;
        using Copy = char* (*)(char*, const char*&, const char*) noexcept;
        struct Path {
            const char* name;
            Scan scan;
            Scan skip;
            Copy copy;
            bool runs;
        };
        const Path paths[] = {
            {"portable", scan_string_portable, skip_blanks_portable, copy_plain_portable, true},
#if defined(__SSE2__)
            {"SSE2", scan_string_sse2, skip_blanks_sse2, copy_plain_sse2, true},
            {"AVX2", scan_string_avx2, skip_blanks_avx2, copy_plain_avx2, avx2},
#endif
            {"chosen", scan_string_best, skip_blanks, copy_plain, true},
        };
        for (const Path& path : paths) {
            if (!path.runs) continue;
            const std::string name = path.name;
            report(path.scan(begin, end) == stop, name + " string scan", bytes);
            report(path.skip(begin, end) == blank_end, name + " whitespace skip", bytes);
            // The copy writes only inside the room of the input's length.
            std::vector<char> out(bytes.size() + 64, '\x5A');
            const char* s = begin;
            char* const w = path.copy(out.data(), s, end);
            const std::size_t plain = std::size_t(stop - begin);
            bool ok = s == stop && w == out.data() + plain && std::memcmp(out.data(), begin, plain) == 0;
            for (std::size_t k = bytes.size(); k < out.size(); ++k) ok = ok && out[k] == '\x5A';
            report(ok, name + " plain copy", bytes);
        }
        report(scan_string(begin, end) == stop, "in-line string scan", bytes);
    }
};

void scanners() {
    ScanPaths paths;
    if (!paths.avx2) zelk_test::skip("AVX2 scanners: this CPU has no AVX2");
    // Each stop byte (and each byte that is almost one) at every position of buffers of
    // every length up to 80, after plain text and after blanks.
    const unsigned char stops[] = {'"',  '\\', 0x00, 0x1F, '\t', '\n', '\r', ' ',  0x20,
                                   0x21, 0x7F, 0x80, 0xA2, 0xDC, 0xFF, 0x0B, 0x0C, 'a'};
    for (const unsigned char base : {static_cast<unsigned char>('a'), static_cast<unsigned char>(' '),
                                     static_cast<unsigned char>('\n'), static_cast<unsigned char>(0xE9)}) {
        for (std::size_t size = 0; size <= 80; ++size) {
            paths.agree(Bytes(size, base));
            for (std::size_t at = 0; at < size; ++at) {
                for (const unsigned char stop : stops) {
                    Bytes bytes(size, base);
                    bytes[at] = stop;
                    paths.agree(bytes);
                }
            }
        }
    }
    std::mt19937_64 random(0x7363616e);
    for (int round = 0; round < 100'000; ++round) {
        Bytes bytes(random() % 200, 0);
        const int mode = int(random() % 3);
        for (auto& c : bytes) {
            const unsigned r = unsigned(random() % 64);
            c = mode == 0   ? static_cast<unsigned char>(random())
                : mode == 1 ? (r == 0 ? stops[random() % sizeof stops]
                                      : static_cast<unsigned char>(0x21 + random() % 0x50))
                            : (r == 0 ? stops[random() % sizeof stops]
                                      : static_cast<unsigned char>(" \t\n\r"[random() % 4]));
        }
        paths.agree(bytes);
    }
}

}  // namespace

int main() {
    Utf8Paths utf8;
    if (!utf8.avx2) zelk_test::skip("AVX2 UTF-8 checker: this CPU has no AVX2");
    utf8_structured(utf8);
    utf8_random(utf8);
    scanners();
    return zelk_test::finish();
}
