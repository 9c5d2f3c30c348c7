// Minimal native test support: checks count failures and print where they happened;
// `finish` prints the closing tally and gives the process exit code.
#pragma once
#include <cstdio>
#include <string_view>

namespace zelk_test {

struct Tally {
    int passed = 0;
    int failed = 0;
    int skipped = 0;
};

inline Tally& tally() {
    static Tally t;
    return t;
}

// The caller's place comes from the compiler built-ins, which every compiler the project
// builds with provides (std::source_location needs a newer clang than Debian's).
inline bool check(bool ok, std::string_view what, const char* file = __builtin_FILE(),
                  unsigned line = __builtin_LINE()) {
    if (ok) {
        ++tally().passed;
    } else {
        ++tally().failed;
        std::fprintf(stderr, "FAIL %s:%u: %.*s\n", file, line, int(what.size()), what.data());
    }
    return ok;
}

inline void skip(std::string_view why) {
    ++tally().skipped;
    std::printf("SKIP %.*s\n", int(why.size()), why.data());
}

inline int finish() {
    std::printf("%d passed, %d failed, %d skipped\n", tally().passed, tally().failed, tally().skipped);
    return tally().failed == 0 ? 0 : 1;
}

}  // namespace zelk_test
