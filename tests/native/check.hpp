// The native tests' one assertion: check() counts each case and names each failure;
// checks_passed() prints the count and gives main() its exit status.
#pragma once

#include <cstdio>
#include <string>

namespace sovelk::testing {

inline int g_passed = 0, g_failed = 0;

inline void check(bool ok, const std::string& what) {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        std::printf("FAIL: %s\n", what.c_str());
        std::fflush(stdout);
    }
}

// "N passed, M failed", and 0 for main() to return when nothing failed, else 1.
inline int checks_passed() {
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}

}  // namespace sovelk::testing
