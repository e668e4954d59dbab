// Where filtered rows go: float64 rows of interleaved pixels straight into the output, anything
// else through a row of doubles and a converting writer (numpy's clip and cast, or the caller's
// rounding). Internal to the driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "core/fused_kernel.hpp"
#include "core/samples.hpp"

namespace sovelk::fused::detail {

// Makes x's value unknown to the compiler at this point: what follows must compute from the
// register as it is, and cannot be moved before the code that produced it.
inline void opaque(double& x) {
#if defined(__x86_64__) || defined(__i386__)
    __asm__("" : "+x"(x));
#elif defined(__aarch64__)
    __asm__("" : "+w"(x));
#else
    __asm__ volatile("" : "+m"(x));
#endif
}

// x clipped to I's range and made an integer, as R says; a NaN becomes 0 and sets `nan`.
// Ordered compares only on non-NaN values and conversions of in-range values: nothing but
// inexact is raised. `rounds_to_nearest`: the thread's rounding mode is to nearest.
template <class I, Rounding R>
inline I to_integer(double x, bool& nan, bool rounds_to_nearest) {
    if (is_nan(x)) {
        nan = true;
        return 0;
    }
    constexpr double lo = static_cast<double>(std::numeric_limits<I>::min());
    constexpr double hi = static_cast<double>(std::numeric_limits<I>::max());
    // Clipped first, and the clipped value hidden from the optimiser, so that only a value in
    // [lo, hi] can reach a conversion. Guarded by branches instead, the conversion of x itself
    // was computed ahead of the range test, and 1e19 raised invalid before being clipped.
    x = x < lo ? lo : x > hi ? hi : x;
    opaque(x);
    if constexpr (R == Rounding::half_even) {
        // Rounding lo < x < hi to an integer never leaves [lo, hi], both being integers.
        if (rounds_to_nearest) {
#if defined(__x86_64__)
            // The SSE conversion rounds as the thread does: to nearest, ties to even.
            return static_cast<I>(_mm_cvtsd_si64(_mm_set_sd(x)));
#else
            // |x| < 2^31: adding 1.5 * 2^52 leaves no fraction bit, and the sum is rounded to
            // nearest, ties to even; subtracting it back is exact.
            constexpr double kShift = 6755399441055744.0;
            return static_cast<I>((x + kShift) - kShift);
#endif
        }
        // Another rounding mode: x - t is exact (a multiple of x's last place, below 1), and
        // ties go to the even neighbour.
        int64_t t = static_cast<int64_t>(x);
        const double frac = x - static_cast<double>(t);
        if (frac > 0.5 || (frac == 0.5 && (t & 1) != 0))
            ++t;
        else if (frac < -0.5 || (frac == -0.5 && (t & 1) != 0))
            --t;
        return static_cast<I>(t);
    }
    (void)rounds_to_nearest;
    return static_cast<I>(static_cast<int64_t>(x));  // toward zero, whatever the rounding mode
}

template <class O, Rounding R>
inline O convert_output(double v, bool& nan, bool rounds_to_nearest) {
    if constexpr (std::is_floating_point_v<O>)
        return static_cast<O>(v);  // float: rounded as the caller's environment rounds
    else
        return to_integer<O, R>(v, nan, rounds_to_nearest);
}

#if defined(__x86_64__)
// to_integer() of n values two at a time, for integer types of at most 32 bits: a pair with a
// NaN goes through to_integer() (a quiet compare finds it, so that the clip's min and max, which
// would raise invalid on a NaN, see none); the others are clipped and converted by one
// instruction each, truncating or in the thread's rounding mode (to nearest, checked by the
// caller), which raises nothing but inexact, as to_integer() does.
template <class O, Rounding R>
bool to_integers(const double* in, ptrdiff_t n, char* out) {
    static_assert(std::is_integral_v<O> && sizeof(O) <= 4, "fits an int32");
    const __m128d lo = _mm_set1_pd(static_cast<double>(std::numeric_limits<O>::min()));
    const __m128d hi = _mm_set1_pd(static_cast<double>(std::numeric_limits<O>::max()));
    bool nan = false;
    ptrdiff_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const __m128d v = _mm_loadu_pd(in + i);
        int32_t q[4];
        if (_mm_movemask_pd(_mm_cmpunord_pd(v, v)) != 0) {
            q[0] = to_integer<O, R>(in[i], nan, true);
            q[1] = to_integer<O, R>(in[i + 1], nan, true);
        } else {
            const __m128d c = _mm_min_pd(_mm_max_pd(v, lo), hi);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(q), R == Rounding::truncate ? _mm_cvttpd_epi32(c) : _mm_cvtpd_epi32(c));
        }
        const O pair[2] = {static_cast<O>(q[0]), static_cast<O>(q[1])};
        std::memcpy(out + i * static_cast<ptrdiff_t>(sizeof(O)), pair, sizeof pair);
    }
    for (; i < n; ++i) {
        const O o = to_integer<O, R>(in[i], nan, true);
        std::memcpy(out + i * static_cast<ptrdiff_t>(sizeof(O)), &o, sizeof o);
    }
    return nan;
}
#endif

// Writes `width` filtered pixels (interleaved doubles) to row r, columns c0 .. of `out`.
// True when one was NaN and went to an integer output.
template <class O, Rounding R>
bool write_row(const double* in, ptrdiff_t width, int channels, const Strided& out, ptrdiff_t r, ptrdiff_t c0,
               bool rounds_to_nearest) {
    char* row = static_cast<char*>(const_cast<void*>(out.data)) + r * out.stride_h + c0 * out.stride_w;
    bool nan = false;
    const bool interleaved = out.stride_w == static_cast<ptrdiff_t>(sizeof(O)) * channels &&
                             (channels == 1 || out.stride_c == static_cast<ptrdiff_t>(sizeof(O)));
    if (interleaved) {  // one run of width x channels values
#if defined(__x86_64__)
        if constexpr (std::is_integral_v<O> && sizeof(O) <= 4) {
            if (R == Rounding::truncate || rounds_to_nearest) return to_integers<O, R>(in, width * channels, row);
        }
#endif
        for (ptrdiff_t i = 0; i < width * channels; ++i) {
            const O o = convert_output<O, R>(in[i], nan, rounds_to_nearest);
            std::memcpy(row + i * static_cast<ptrdiff_t>(sizeof(O)), &o, sizeof o);
        }
        return nan;
    }
    for (ptrdiff_t x = 0; x < width; ++x) {
        for (int k = 0; k < channels; ++k) {
            const O o = convert_output<O, R>(in[x * channels + k], nan, rounds_to_nearest);
            std::memcpy(row + x * out.stride_w + k * out.stride_c, &o, sizeof o);
        }
    }
    return nan;
}

using RowWriter = bool (*)(const double*, ptrdiff_t, int, const Strided&, ptrdiff_t, ptrdiff_t, bool);

// Where filtered rows go: float64 rows of interleaved pixels are written in place; anything else
// through a row of doubles and a converting writer.
struct OutputTarget {
    char* direct = nullptr;  // element (0, 0, 0) of a float64 output with interleaved pixels
    ptrdiff_t direct_row_bytes = 0;
    Strided out;
    RowWriter write = nullptr;
};

inline OutputTarget output_target(const Strided& out, Rounding rounding) {
    OutputTarget t;
    const bool interleaved = out.stride_w == 8 * static_cast<ptrdiff_t>(out.channels) &&
                             (out.channels == 1 || out.stride_c == 8);
    if (out.sample == Sample::float64 && interleaved && reinterpret_cast<uintptr_t>(out.data) % alignof(double) == 0 &&
        out.stride_h % static_cast<ptrdiff_t>(alignof(double)) == 0) {
        t.direct = static_cast<char*>(const_cast<void*>(out.data));
        t.direct_row_bytes = out.stride_h;
        return t;
    }
    t.out = out;
    with_sample(out.sample, [&t, rounding](auto sample) {
        using O = decltype(sample);
        t.write = rounding == Rounding::truncate ? write_row<O, Rounding::truncate> : write_row<O, Rounding::half_even>;
    });
    return t;
}

}  // namespace sovelk::fused::detail
