/* What __builtin_cpu_supports reads, for builds whose compiler runtime leaves it empty.
 *
 * The kernel picks its AVX-512, AVX2 or scalar path with __builtin_cpu_supports, which reads
 * __cpu_model as filled in by __cpu_indicator_init from the compiler runtime (libgcc, or LLVM's
 * compiler-rt). Zig's runtime defines both only as weak stubs that report no feature at all, so
 * a module built with zig would always take the scalar path. tools/build_portable_wheel.sh links
 * this file into the module: its strong definitions take the stubs' place.
 *
 * Only the features the kernel asks about are filled in, at the bit numbers both GCC and clang
 * test in __cpu_model.__cpu_features[0]. An AVX feature counts only where the operating system
 * saves the registers it uses (XCR0), as the compiler runtimes check too.
 */
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>

#define HIDDEN __attribute__((visibility("hidden")))

enum { FEATURE_AVX2 = 10, FEATURE_FMA = 14, FEATURE_AVX512F = 15, FEATURE_AVX512VL = 20, FEATURE_AVX512DQ = 22 };

HIDDEN struct {
    unsigned int vendor, type, subtype;
    unsigned int features[1];
} __cpu_model;
HIDDEN unsigned int __cpu_features2[4];

static unsigned long long os_saved_state(void) {
    unsigned int lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return ((unsigned long long)hi << 32) | lo;
}

HIDDEN __attribute__((constructor(101))) int __cpu_indicator_init(void) {
    static int done;
    unsigned int eax, ebx, ecx, edx, features = 0;
    if (done)
        return 0;
    done = 1;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return -1;
    const unsigned long long xcr0 = (ecx & bit_OSXSAVE) ? os_saved_state() : 0;
    const int ymm = (xcr0 & 0x6) == 0x6;             /* XMM and YMM state */
    const int zmm = ymm && (xcr0 & 0xe0) == 0xe0;    /* opmask, upper ZMM halves, ZMM16-31 */
    if (ymm && (ecx & bit_FMA))
        features |= 1u << FEATURE_FMA;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
        if (ymm && (ebx & bit_AVX2))
            features |= 1u << FEATURE_AVX2;
        if (zmm && (ebx & bit_AVX512F))
            features |= 1u << FEATURE_AVX512F;
        if (zmm && (ebx & bit_AVX512DQ))
            features |= 1u << FEATURE_AVX512DQ;
        if (zmm && (ebx & bit_AVX512VL))
            features |= 1u << FEATURE_AVX512VL;
    }
    __cpu_model.features[0] = features;
    return 0;
}
#endif
