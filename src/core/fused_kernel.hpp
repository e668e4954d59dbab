// Fused native kernel of the joint bilateral filter: plain C++17, no interpreter headers.
//
// For every output pixel it reproduces, operation for operation, what the whole-array numpy
// statements of the filter compute: the range weight of each window offset (table lookups of the
// absolute guidance differences, multiplied channel by channel), times the spatial weight, summed
// over the offsets in offset order from +0.0, each weight divided by that sum, times the image
// value, summed in offset order from +0.0. Every step is one correctly rounded double operation,
// so the result is bit-identical to numpy's float64 result, whose truncating cast to uint8 would
// turn a one-ulp difference into a whole intensity level.
//
// The translation units must be compiled with -ffp-contract=off (GCC would otherwise fuse a
// product and a sum into one FMA, which rounds once instead of twice) and without -ffast-math.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace sovelk::fused {

enum class Status {
    ok,
    cancelled,         // poll() asked to stop; `out` is partly written
    out_of_memory,     // scratch could not be allocated; `out` is untouched
    invalid_argument,  // inconsistent request (null buffer, bad size, guidance difference
                       // outside the table); nothing was computed
    non_finite_image,  // a NaN or infinity was read from a floating-point image; the output is
                       // partly written
    unusable_guidance,  // a NaN, an infinity or a value beyond +-kMaxGuidance was read from a
                        // floating-point guidance; the output is partly written
};

struct Result {
    Status status = Status::ok;
    // FE_DIVBYZERO | FE_OVERFLOW | FE_INVALID | FE_UNDERFLOW raised by the filter arithmetic,
    // OR'd over all workers. Only meaningful with Status::ok.
    int fp_flags = 0;
    // Some result was NaN and went to an integer output, as 0: numpy's cast would decide its value.
    bool nan_in_output = false;
};

// ---- The request --------------------------------------------------------------------------------
//
// filter() reads the image and the guidance where they are, through their strides, and applies
// the border while it converts a window row into the row cache: no padded copy of either is
// made. An image the caller has padded already is an image whose output block starts pad rows and
// columns in: its windows never reach a border.

// What a window reaches beyond the image, pictured for a row abcd:
enum class Border {
    reflect,   // cba|abcd|dcb   edge repeated (OpenCV BORDER_REFLECT)
    mirror,    // dcb|abcd|cba   edge not repeated (OpenCV BORDER_REFLECT_101)
    nearest,   // aaa|abcd|ddd
    wrap,      // bcd|abcd|abc
    constant,  // kkk|abcd|kkk   FilterRequest::cval, guidance_cval for the guidance
};

// The input position that position p of an axis of n >= 1 cells reads, or -1 for a constant
// border. Borders wider than the axis keep reflecting (or wrapping) back and forth.
ptrdiff_t border_index(ptrdiff_t p, ptrdiff_t n, Border border);

enum class Sample { uint8, uint16, int16, int32, float32, float64 };

// An h x w x channels array, read (or written) in place through byte strides of any sign.
// Elements need not be aligned.
struct Strided {
    const void* data = nullptr;  // element (0, 0, 0)
    Sample sample = Sample::uint8;
    ptrdiff_t h = 0, w = 0;
    int channels = 0;
    ptrdiff_t stride_h = 0, stride_w = 0, stride_c = 0;
};

// How a filtered value becomes an integer output. Both clip to the type's range first.
enum class Rounding {
    half_even,  // to nearest, ties to even (numpy's rint)
    truncate,   // toward zero: for uint8, numpy's clip(x, 0, 255).astype(uint8)
};

// The range weight of a guidance of any sample type but uint8: a function of the channels'
// differences d_k computed with float32 operations in a fixed order, so that every path, thread
// count and machine gives the same bits (the numbers of make_range_rule(); the rule and its
// error against exp(-D^2 / (2 sigma^2)) are in docs/joint_bilateral.md):
//   d_k = float32(g_k(neighbour) - g_k(centre))   (the difference exact, then rounded once)
//   D2  = min(float32 sum over k of float32(d_k * d_k), cap)
//   hi  = kappa_hi * D2,  lo = (kappa_hi * D2 - hi, exact) + kappa_lo * D2
//   n   = hi rounded to an integer, f = (hi - n) + lo
//   R   = float32(2^((n mod 8) / 8) * q(f)) * 2^floor(n / 8),  q(f) ~ 2^(f / 8) by Horner's rule
// with 8 kappa = kappa_hi + kappa_lo = -8 / (2 sigma^2 ln 2) and plain float32 additions and
// multiplications (no fused multiply-add, except for the exact residual). R lies in
// [2^-121, 1 + 2^-16]; the offset's weight is the float64 product of its spatial weight and R.
struct RangeRule {
    float kappa_hi = 0.0f, kappa_lo = 0.0f;
    float cap = 0.0f;  // beyond it the weight stays at about 2^-120 instead of falling further
};

// The rule of a Gaussian range weight of standard deviation sigma (in the guidance's units);
// sigma must lie within [kMinRuleSigma, kMaxRuleSigma].
RangeRule make_range_rule(double sigma);
constexpr double kMinRuleSigma = 0x1p-40, kMaxRuleSigma = 0x1p40;
// Floating-point guidance values beyond this magnitude are refused (Status::unusable_guidance):
// within it no difference or square of the rule can overflow.
constexpr double kMaxGuidance = 0x1p60;

struct FilterRequest {
    Strided image;     // any Sample; a NaN or infinity read from it stops the call
    // The image's h and w, 1 or more channels. Offsets are weighed by `table` where it is set
    // (uint8 and int32 guidance), by `rule` where it is not (any guidance but uint8).
    Strided guidance;
    Border border = Border::reflect;
    double cval = 0.0;           // image value of a constant border (must be finite)
    double guidance_cval = 0.0;  // guidance value of a constant border: for uint8 guidance an
                                 // integer 0 .. 255, else a value the guidance's type holds
    ptrdiff_t pad = 0;           // window side is 2 pad + 1
    const double* kernel_s = nullptr;  // (2 pad + 1)^2 spatial weights, row-major
    // table_len range weights, indexed by |difference|: for uint8 guidance at least 256; for int32
    // guidance more than the span (max - min) of the guidance values the windows can reach,
    // which filter() measures and checks.
    const double* table = nullptr;
    ptrdiff_t table_len = 0;
    RangeRule rule;                    // without a table
    // The output block: image rows row0 .. row0 + rows - 1 and columns col0 .. col0 + cols - 1,
    // each pixel filtered exactly as when the whole image is filtered (windows read the image
    // around the block, and the border only beyond the image).
    ptrdiff_t row0 = 0, rows = 0, col0 = 0, cols = 0;
    // rows x cols x image channels; `data` is written (the const is Strided's). Must not overlap
    // the image or the guidance.
    Strided out;
    Rounding rounding = Rounding::half_even;  // integer outputs only
};

// Filters on up to `threads` threads of the process-wide worker pool (clamped to 1 .. the output's
// pieces of rows and strips, and to max_threads of the pool); the calling thread only waits, also
// while the pool's threads finish other calls, and about every 50 ms calls poll() (never from a
// worker). When poll() returns true the workers stop before their next row and filter() returns
// Status::cancelled. If poll() throws, the workers are stopped and joined and the exception
// propagates. Workers run in the caller's floating-point environment (rounding mode,
// flush-to-zero) with traps masked; the caller's own environment, status flags included, is left
// as it was. The result does not depend on the thread count. A NaN result (possible only from NaN
// weights) goes to an integer output as 0 and is reported in Result::nan_in_output.
Result filter(const FilterRequest& request, int threads, const std::function<bool()>& poll);

// Memory one worker thread allocates for `request` (its window's row cache and weight scratch),
// in bytes; 0 for a request filter() would refuse. Lets the caller fit the thread count to the
// memory the process can get: a huge window needs hundreds of megabytes per thread.
uint64_t bytes_per_thread(const FilterRequest& request);

// Worker threads a call may use: the shared pool's size (the CPUs of the affinity mask, lowered
// to the cgroup CPU quota and SOVELK_NUM_THREADS), at least 1.
int default_thread_count();

// The instruction-set path filter() takes: "avx512", "avx2", "neon" or "scalar".
const char* path_name();

namespace detail {

// Instruction-set paths, for tests and benchmarks; filter() picks the best one the CPU has.
enum class Isa { scalar, avx2, avx512, neon };
// Every path of every architecture, for iterating over them (isa_available() tells which run).
constexpr Isa kEveryIsa[] = {Isa::scalar, Isa::avx2, Isa::avx512, Isa::neon};
// How the AVX2 path divides each weight by the weight sum. `automatic` uses one reciprocal per
// pixel and an FMA correction for half of the lanes wherever that provably gives the correctly
// rounded quotient, and real divides elsewhere; `real_divide` always divides. The other paths
// always divide.
enum class Division { automatic, real_divide };

bool isa_available(Isa isa);
// The best path this CPU has, capped by the environment variable SOVELK_ISA ("avx2" or
// "scalar" keep wider vectors unused, where they would slow the clock or be compared against
// another machine; on ARM "scalar" keeps NEON unused); read once. Every path gives the same bits.
Isa best_isa();
const char* isa_name(Isa isa);
// `hardware` lowered to the path named by `setting` where that CPU runs it (scalar everywhere,
// AVX2 below AVX-512); any other setting, a path of another architecture too, leaves it as it is.
Isa capped_isa(Isa hardware, const char* setting);

// Whether the row loop may decide a pixel from a cheap pass where the driver converts the result
// itself (integer and float32 outputs):
// `automatic` lets blocks that needed the exact sequence lately skip it for a few rows;
// `every_block` tries it on every block (for tests and for counting); `off` never.
enum class CheapPassMode { automatic, every_block, off };
struct CheapPassCounters;  // fused_kernel_row.hpp

struct Options {
    Isa isa = best_isa();
    Division division = Division::automatic;
    CheapPassMode cheap_pass = CheapPassMode::automatic;
    CheapPassCounters* statistics = nullptr;  // when set, the call's counts are added to it
    // The vector paths' single-precision cheap pass where it can be planned; false leaves them
    // the double-precision one (for tests and benchmarks).
    bool float_pass = true;
    // Filter on the calling thread as when no worker thread can be started (it then polls
    // between rows itself); for testing that fallback.
    bool on_calling_thread = false;
    // Output columns per strip of the row cache; 0 lets the driver choose from its cache budget.
    // Tests force narrow strips, which must not change any result.
    ptrdiff_t strip_width = 0;
};

// filter() with chosen paths; Status::invalid_argument if the CPU lacks options.isa.
Result filter_with(const FilterRequest& request, int threads, const std::function<bool()>& poll,
                   const Options& options);

}  // namespace detail
}  // namespace sovelk::fused
