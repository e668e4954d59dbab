#include "core/fp_environment.hpp"

#include <algorithm>
#include <cstring>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#define SOVELK_HAVE_MXCSR 1
#endif

namespace sovelk::fused::detail {

namespace {

// Binary exponent bounds of a nonzero finite double: 2^lo <= |x| < 2^hi. Read from the bits, so
// that classifying user values raises no floating-point flag.
bool exponent_bounds(double x, int& lo, int& hi) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    const uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
    if (biased == 0x7FF || (biased == 0 && mantissa == 0)) return false;  // inf, NaN, zero
    if (biased == 0) {  // subnormal
        lo = -1074;
        hi = -1022;
    } else {
        lo = biased - 1023;
        hi = lo + 1;
    }
    return true;
}

}  // namespace

// Rounding is monotone, so products of values bounded by powers of two stay bounded by the product
// of those powers while no bound leaves the normal range. Zero factors give zero weights (fine for
// either form); infinite or NaN factors give an infinite or NaN sum, which the per-pixel check
// sends to the real divide.
bool weights_in_fma_domain(const double* kernel_s, ptrdiff_t offsets, const double* table, ptrdiff_t table_len,
                           int64_t span, int guid_ch) {
    constexpr int64_t kLowest = -960, kHighest = 960;
    auto bounds = [](const double* values, ptrdiff_t n, int64_t& lo, int64_t& hi) {
        bool any = false;
        for (ptrdiff_t i = 0; i < n; ++i) {
            int l, h;
            if (!exponent_bounds(values[i], l, h)) continue;
            lo = any ? std::min<int64_t>(lo, l) : l;
            hi = any ? std::max<int64_t>(hi, h) : h;
            any = true;
        }
        return any;
    };
    int64_t k_lo = 0, k_hi = 0, t_lo = 0, t_hi = 0;
    // Only table entries 0 .. span can be looked up.
    const ptrdiff_t used = static_cast<ptrdiff_t>(std::min<int64_t>(table_len, span + 1));
    if (!bounds(kernel_s, offsets, k_lo, k_hi) || !bounds(table, used, t_lo, t_hi))
        return true;  // every weight is zero, infinite or NaN
    const int64_t gc = guid_ch;
    const int64_t los[] = {t_lo, gc * t_lo, gc * t_lo + k_lo};  // partial products are linear in
    const int64_t his[] = {t_hi, gc * t_hi, gc * t_hi + k_hi};  // the factor count: check ends
    for (int64_t v : los)
        if (v < kLowest) return false;
    for (int64_t v : his)
        if (v > kHighest) return false;
    return true;
}

bool environment_allows_fma_division() {
    if (std::fegetround() != FE_TONEAREST) return false;
#if defined(SOVELK_HAVE_MXCSR)
    constexpr unsigned kDaz = 1u << 6, kRounding = 3u << 13, kFtz = 1u << 15;
    return (_mm_getcsr() & (kDaz | kRounding | kFtz)) == 0;
#elif defined(__aarch64__)
    // FPCR: the rounding mode (RMode, bits 22-23) and flush-to-zero (FZ, bit 24); on processors
    // with the alternate floating-point behaviours, FIZ (bit 0) flushes subnormal inputs and AH
    // (bit 1) changes how subnormals and NaNs are handled. Elsewhere those two bits read as zero.
    uint64_t fpcr;
    __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
    constexpr uint64_t kFiz = 1u << 0, kAh = 1u << 1, kRounding = 3u << 22, kFz = 1u << 24;
    return (fpcr & (kFiz | kAh | kRounding | kFz)) == 0;
#else
    return false;  // elsewhere the FPU's flush setting cannot be read, so nothing relies on it
#endif
}

bool environment_rounds_to_nearest() {
    if (std::fegetround() != FE_TONEAREST) return false;
#if defined(SOVELK_HAVE_MXCSR)
    constexpr unsigned kRounding = 3u << 13;
    return (_mm_getcsr() & kRounding) == 0;
#else
    return true;
#endif
}

void enter_environment(const fenv_t& env) {
    std::fesetenv(&env);
#if defined(__GLIBC__)
    fedisableexcept(FE_ALL_EXCEPT);
#endif
#if defined(SOVELK_HAVE_MXCSR)
    // FE_ALL_EXCEPT leaves out the denormal-operand exception (bit 8), which a caller can unmask
    // too: every exception mask of the SSE unit, bits 7 to 12, is set.
    constexpr unsigned kAllExceptionMasks = 0x3Fu << 7;
    _mm_setcsr(_mm_getcsr() | kAllExceptionMasks);
#endif
    std::feclearexcept(FE_ALL_EXCEPT);
}

}  // namespace sovelk::fused::detail
