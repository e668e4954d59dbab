// Driver of the fused kernel: checks the request, picks the instruction-set path, decides once per
// call whether the FMA quotient may be used, and runs the output on the process's worker pool in
// pieces of up to 16 rows of one column strip, the workers claiming them through an atomic
// counter. Each worker keeps the window's rows in a small planar cache (row_cache.hpp); the hot
// loop itself is in fused_kernel_body.hpp.

#include "core/fused_kernel.hpp"

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <cmath>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <new>
#include <type_traits>
#include <vector>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#define SOVELK_HAVE_MXCSR 1
#endif

#include "core/cheap_pass.hpp"
#include "core/fused_kernel_row.hpp"
#include "core/fused_kernel_body.hpp"
#include "core/process_limits.hpp"
#include "core/row_cache.hpp"
#include "core/worker_pool.hpp"

namespace sovelk::fused {

namespace detail {

void filter_row_scalar(const RowArgs& args) { filter_row<ScalarVec>(args); }

namespace {

constexpr int kReportedFlags = FE_DIVBYZERO | FE_OVERFLOW | FE_INVALID | FE_UNDERFLOW;
constexpr auto kPollInterval = std::chrono::milliseconds(50);

using RowFunction = void (*)(const RowArgs&);

// The folded table has 2 span + 1 entries. Past this span (only a caller's own huge table with a
// guidance of that range gets there) the request is refused and the caller's statements run.
constexpr int64_t kMaxFoldedSpan = int64_t{1} << 24;

RowFunction row_function(Isa isa) {
#if defined(__x86_64__) || defined(__i386__)
    if (isa == Isa::avx512) return filter_row_avx512;
    if (isa == Isa::avx2) return filter_row_avx2;
#endif
#if defined(__aarch64__)
    if (isa == Isa::neon) return filter_row_neon;
#endif
    (void)isa;
    return filter_row_scalar;
}

// a * b, or false when it would not fit in ptrdiff_t (both non-negative).
bool checked_mul(ptrdiff_t a, ptrdiff_t b, ptrdiff_t& product) {
    if (a != 0 && b > std::numeric_limits<ptrdiff_t>::max() / a) return false;
    product = a * b;
    return true;
}

struct ValueRange {
    int32_t lo = 0, hi = 0;
    int64_t span() const { return static_cast<int64_t>(hi) - lo; }
};

template <class T>
ValueRange value_range(const T* data, size_t n) {
    ValueRange r;
    if (n == 0 || data == nullptr) return r;
    r.lo = r.hi = data[0];
    for (size_t i = 1; i < n; ++i) {
        r.lo = std::min<int32_t>(r.lo, data[i]);
        r.hi = std::max<int32_t>(r.hi, data[i]);
    }
    return r;
}



// Channels of image and guidance the single-precision pass takes (one float32 sum per image
// channel in registers; a range weight of at most four squared distances).
constexpr int kMaxFloatChannels = 4;

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

// Whether every nonzero finite weight kernel_s[i] * table[d_0] * ... * table[d_{guid_ch-1}], and
// every partial product on the way, lies within [2^-960, 2^960]. Together with the per-pixel
// check |sum| in [2^-60, 2^60] (done in the row loop) this puts every quotient in the domain
// where the FMA form is exact. Rounding is monotone, so products of values bounded by powers of
// two stay bounded by the product of those powers while no bound leaves the normal range.
// Zero factors give zero weights (fine for either form); infinite or NaN factors give an
// infinite or NaN sum, which the per-pixel check sends to the real divide.
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

// Whether the current thread rounds to nearest without flush-to-zero or denormals-are-zero,
// which the FMA quotient's proof assumes.
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

// Whether the current thread rounds to nearest, in both the C environment and the SSE unit.
bool environment_rounds_to_nearest() {
    if (std::fegetround() != FE_TONEAREST) return false;
#if defined(SOVELK_HAVE_MXCSR)
    constexpr unsigned kRounding = 3u << 13;
    return (_mm_getcsr() & kRounding) == 0;
#else
    return true;
#endif
}

// Enter the caller's floating-point environment with traps masked: a trap enabled by the caller
// must not kill the process from a worker; the raised flags are reported instead.
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


// The sizes of a call, or false when they would overflow. `strip_request` > 0 fixes the strip
// width (tests); otherwise a worker's row cache is held to about kCacheBudget by splitting the
// output columns into strips.
constexpr ptrdiff_t kLimit = std::numeric_limits<ptrdiff_t>::max() / 16;  // room for bytes
// A row cache of the whole width grows with it: window x (width + 2 pad) x about 28 bytes, 4.2 GB
// per thread for a row of 10^7 colour pixels at sigma_s 2. Past this budget the columns are
// split into strips, so the cache stays bounded whatever the width.
constexpr ptrdiff_t kCacheBudget = ptrdiff_t{8} << 20;
// Each strip caches the 2 pad columns beside it again; at least four windows (and 256 columns)
// per strip keep that repeated work below a quarter even for windows too large for the budget.
constexpr ptrdiff_t kMinStrip = 256;
constexpr ptrdiff_t kMinStripWindows = 4;

// Bytes a cached guidance value takes: table indices (and their float32 copies for the
// single-precision pass) or the rule's float32 or float64 values.
ptrdiff_t guidance_value_bytes(const Geometry& g) {
    switch (g.range) {
        case RangeWeights::table: return 4 + (g.float_rows ? 4 : 0);
        case RangeWeights::rule_float: return 4;
        default: return 8;
    }
}

bool make_geometry(ptrdiff_t rows, ptrdiff_t cols, ptrdiff_t pad, int img_ch, int guid_ch, RangeWeights range,
                   int64_t span, ptrdiff_t strip_request, Geometry& g) {
    if (rows < 0 || cols < 0 || pad < 0 || img_ch < 1 || guid_ch < 1) return false;
    if (pad > kLimit / 4 || rows > kLimit / 2 || cols > kLimit / 2) return false;
    g.rows = rows;
    g.cols = cols;
    g.pad = pad;
    g.img_ch = img_ch;
    g.guid_ch = guid_ch;
    g.window = 2 * pad + 1;
    g.range = range;
    g.packed = range == RangeWeights::table && guid_ch >= 2 && guid_ch <= kMaxPackedChannels && span <= kMaxPackedSpan;
    g.float_rows = range == RangeWeights::table && img_ch <= kMaxFloatChannels && guid_ch <= kMaxFloatChannels;
    g.paired = g.float_rows && pad <= kMaxPairedPad;
    // Per cached column: guidance and image as double, and the image again as float for the
    // single-precision pass.
    const ptrdiff_t image_value = 8 + (g.float_rows ? 4 : 0);
    ptrdiff_t scratch = 0, column_bytes = 0;
    if (!checked_mul(g.window, g.window, g.offsets) || !checked_mul(g.offsets, kMaxLanes, scratch) || scratch > kLimit ||
        !checked_mul(g.window,
                     guidance_value_bytes(g) * static_cast<ptrdiff_t>(guid_ch) + image_value * static_cast<ptrdiff_t>(img_ch),
                     column_bytes) ||
        column_bytes > kLimit)
        return false;
    ptrdiff_t strip = strip_request;
    if (strip <= 0) {
        const ptrdiff_t fit = kCacheBudget / column_bytes - 2 * pad;
        strip = std::max({fit, kMinStrip, kMinStripWindows * g.window});
    }
    strip = std::clamp<ptrdiff_t>(strip, 1, std::max<ptrdiff_t>(cols, 1));
    g.strips = cols == 0 ? 0 : (cols + strip - 1) / strip;
    g.strip = g.strips == 0 ? strip : (cols + g.strips - 1) / g.strips;  // strips of even width
    g.cache_w = g.strip + 2 * pad;
    ptrdiff_t cache = 0;
    return checked_mul(g.cache_w, column_bytes, cache) && cache <= kLimit;
}

// PairedRows' buffers: a window row's weights, and the sums of pad + 1 rows.
uint64_t paired_bytes(const Geometry& g) {
    if (!g.paired) return 0;
    const uint64_t w = static_cast<uint64_t>(g.cache_w), slots = static_cast<uint64_t>(g.pad) + 1;
    return static_cast<uint64_t>(g.window) * w * sizeof(float) +
           slots * (1 + static_cast<uint64_t>(g.img_ch)) * w * sizeof(double) + slots * 16;
}

uint64_t bytes_per_thread(const Geometry& g, bool row_out) {
    const uint64_t per_value = g.float_rows ? sizeof(float) : 0;
    const uint64_t cache = static_cast<uint64_t>(g.window) * static_cast<uint64_t>(g.cache_w) *
                           (static_cast<uint64_t>(guidance_value_bytes(g)) * static_cast<uint64_t>(g.guid_ch) +
                            (sizeof(double) + per_value) * static_cast<uint64_t>(g.img_ch));
    const uint64_t scratch = static_cast<uint64_t>(g.offsets) * kMaxLanes * sizeof(double);
    const uint64_t columns = static_cast<uint64_t>(g.cache_w) * sizeof(ptrdiff_t);
    const uint64_t out = row_out ? static_cast<uint64_t>(g.strip) * static_cast<uint64_t>(g.img_ch) * sizeof(double) : 0;
    const uint64_t history = (static_cast<uint64_t>(g.strip) + 1) * sizeof(uint16_t);  // WorkerState
    return cache + scratch + columns + out + history + paired_bytes(g);
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

OutputTarget output_target(const Strided& out, Rounding rounding) {
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

struct WorkerState {
    WorkerState(const Source& s, const Geometry& g, bool row_out)
        : cache(s, g), scratch(aligned_array<double>(g.offsets * kMaxLanes)),
          row_out(row_out ? aligned_array<double>(g.strip * g.img_ch) : nullptr),
          block_history(static_cast<size_t>(g.strip) + 1, 0) {
        if (g.paired) {
            pair_weights = aligned_array<float>(g.window * g.cache_w);
            pair_totals = aligned_array<double>((g.pad + 1) * (1 + g.img_ch) * g.cache_w);
            slot_row.assign(static_cast<size_t>(g.pad) + 1, -1);
            delivered.assign(static_cast<size_t>(g.pad) + 1, 0);
            paired.weights = pair_weights.get();
            paired.totals = pair_totals.get();
            paired.slot_row = slot_row.data();
            paired.delivered = delivered.data();
        }
    }
    RowCache cache;
    AlignedArray<double> scratch;
    AlignedArray<double> row_out;  // one filtered row before its conversion (OutputTarget::write)
    AlignedArray<float> pair_weights;
    AlignedArray<double> pair_totals;
    std::vector<ptrdiff_t> slot_row;
    std::vector<uint64_t> delivered;
    PairedRows paired;
    // RowArgs::block_history, one entry per block of a strip. A worker that moves to another
    // strip keeps the entries: they only predict, and a wrong prediction costs time, not bits.
    std::vector<uint16_t> block_history;
    CheapPassCounters counters;
};

// State shared by the workers of one call.
struct Job {
    Job(const Source& s, const Geometry& g, const OutputTarget& t, const double* kernel, RowFunction f,
        const double* folded, bool fma)
        : source(s), geometry(g), target(t), kernel_s(kernel), row(f), folded_table(folded), fma_by_data(fma) {}
    const Source& source;
    const Geometry& geometry;
    const OutputTarget& target;
    const double* kernel_s;
    RowFunction row;
    const double* folded_table;
    bool fma_by_data;  // weights_in_fma_domain() and not disabled by the caller
    OutputConversion conversion;
    CheapPass cheap;  // plan_cheap_pass(); the environment is checked per worker
    FloatPass float_pass;  // plan_float_pass(), likewise
    fenv_t env{};  // the caller's, entered by every worker
    // Workers claim bands of consecutive rows of one strip, so that each output row refills one
    // cached row, not one per worker (with single rows claimed in turn, each worker's next row is
    // `threads` rows further down); this matters most at small windows, where refilling is a
    // large part of the work (docs/performance.md). A band is at most an eighth of a worker's
    // share, so a worker that gets less of the CPU holds up little of the end; bands that shrink
    // towards the end measured no better.
    ptrdiff_t band = 1, bands = 0, units = 0;  // units: bands x strips, strip by strip
    std::atomic<ptrdiff_t> next_unit{0};
    RangeRule rule;  // RangeWeights::rule_float and rule_double
    std::atomic<bool> stop{false};       // workers finish their current row and leave
    std::atomic<bool> cancelled{false};  // poll() asked for the stop
    std::atomic<bool> non_finite{false};
    std::atomic<bool> unusable_guidance{false};
    std::atomic<int> flags{0};
    std::atomic<bool> nan_in_output{false};

    // Back to the state before any work, for a run from the start.
    void restart() {
        next_unit.store(0);
        stop.store(false);
        non_finite.store(false);
        unusable_guidance.store(false);
        flags.store(0);
        nan_in_output.store(false);
    }
};

// Filter bands until none is left or the job is stopped. With inline_poll (used only when no
// worker thread could be started) the calling thread itself polls between rows.
void work(Job& job, WorkerState& state, const std::function<bool()>* inline_poll) {
    enter_environment(job.env);
    const Geometry& g = job.geometry;
    const OutputTarget& target = job.target;
    RowArgs args{};
    args.pad = g.pad;
    args.padded_width = g.cache_w;
    args.img_ch = g.img_ch;
    args.guid_ch = g.guid_ch;
    args.kernel_s = job.kernel_s;
    args.folded_table = job.folded_table;
    args.span = job.source.span;
    args.range = g.range;
    args.rule = job.rule;
    args.scratch = state.scratch.get();
    args.fma_division_allowed = job.fma_by_data && environment_allows_fma_division();
    args.conversion = job.conversion;
    args.cheap = job.cheap;
    args.cheap.enabled = job.cheap.enabled && environment_allows_fma_division();
    const bool cheap_enabled = args.cheap.enabled;
    args.float_pass = job.float_pass;
    args.float_pass.enabled = job.float_pass.enabled && args.cheap.enabled;
    args.block_history = state.block_history.data();
    args.paired = g.paired ? &state.paired : nullptr;
    args.counters = &state.counters;
    args.stop = &job.stop;
    const bool rounds_to_nearest = environment_rounds_to_nearest();
    auto last_poll = std::chrono::steady_clock::now();
    while (!job.stop.load(std::memory_order_relaxed)) {
        const ptrdiff_t unit = job.next_unit.fetch_add(1, std::memory_order_relaxed);
        if (unit >= job.units) break;
        const ptrdiff_t c0 = unit / job.bands * g.strip;
        args.width = std::min(g.strip, g.cols - c0);
        state.cache.start_strip(c0, args.width);
        const ptrdiff_t first = unit % job.bands * job.band;
        const ptrdiff_t end = std::min(first + job.band, g.rows);
        if (args.paired) {  // this band's rows share their pairs' sums among themselves only
            std::fill(state.slot_row.begin(), state.slot_row.end(), -1);
            state.paired.band_end = end;
        }
        for (ptrdiff_t r = first; r < end && !job.stop.load(std::memory_order_relaxed); ++r) {
            if (args.paired) state.paired.row = r;
            const RowCache::Refill refill = state.cache.load_window(r);
            if (refill != RowCache::Refill::ok) {
                (refill == RowCache::Refill::non_finite_image ? job.non_finite : job.unusable_guidance).store(true);
                job.stop.store(true);
                break;
            }
            args.guid_rows = state.cache.guid_rows();
            args.packed_rows = state.cache.packed_rows();
            args.img_rows = state.cache.img_rows();
            args.guid_rows_f32 = state.cache.guid_rows_f32();
            args.img_rows_f32 = state.cache.img_rows_f32();
            args.guid_rows_f64 = state.cache.guid_rows_f64();
            if (g.magnitudes) {  // rows of larger magnitudes run the exact sequence
                const double magnitude = state.cache.window_magnitude();
                args.cheap.enabled = cheap_enabled && magnitude <= args.cheap.magnitude_limit;
                args.reach = magnitude_reach(args.cheap, magnitude);
            }
            if (args.float_pass.enabled && single_pass_tries(args)) state.cache.ensure_float_rows();
            args.out_row = target.direct ? reinterpret_cast<double*>(target.direct + r * target.direct_row_bytes) + c0 * g.img_ch
                                         : state.row_out.get();
            job.row(args);
            if (!target.direct && target.write(state.row_out.get(), args.width, g.img_ch, target.out, r, c0, rounds_to_nearest))
                job.nan_in_output.store(true, std::memory_order_relaxed);
            if (inline_poll && *inline_poll && std::chrono::steady_clock::now() - last_poll >= kPollInterval) {
                if ((*inline_poll)()) {
                    job.cancelled.store(true);
                    job.stop.store(true);
                }
                last_poll = std::chrono::steady_clock::now();
            }
        }
    }
    job.flags.fetch_or(std::fetestexcept(kReportedFlags));
}

// Tells the workers to stop on every way out, including an exception thrown by poll(); declared
// after the batch, so that the batch's destructor, which waits for them, comes second.
struct StopOnExit {
    Job& job;
    ~StopOnExit() { job.stop.store(true); }
};

// Restores the calling thread's environment, status flags included, on every way out.
struct EnvironmentRestorer {
    const fenv_t& env;
    ~EnvironmentRestorer() { std::fesetenv(&env); }
};

// The least and the greatest range weight the rule can give (RangeRule): what the plans below
// need to know of its weights, in the place of a table's entries.
constexpr double kRuleWeights[2] = {0x1p-122, 0x1.0001p0};

// Runs a checked call, the geometry made. Range weights from `table`, which has more than span
// entries, or from `rule` where it is not null. `converted` holds the conversion the output
// target applies to every value (Conversion::none where the values are the result) and the range
// of the image values the windows can read; the kernel and table fields are filled in here.
Result execute(const Source& src, const Geometry& geometry, const OutputTarget& target, const double* kernel_s,
               const double* table, ptrdiff_t table_len, const RangeRule* rule, int threads,
               const std::function<bool()>& poll, const Options& options, CheapPassFacts converted) {
    // A rule's weight is one factor within kRuleWeights; a table's, one entry per channel.
    const int64_t span = rule ? 1 : src.span;
    const int factors = rule ? 1 : geometry.guid_ch;
    if (rule) {
        table = kRuleWeights;
        table_len = 2;
    }
    // The row loops look up a folded copy of the table: entry span + d is table[|d|]. Only
    // loads and stores: copying raises no floating-point flag, whatever the values.
    AlignedArray<double> folded;
    const double* folded_middle = nullptr;
    if (!rule) {
        try {
            folded = aligned_array<double>(2 * span + 1);
        } catch (const std::bad_alloc&) {
            return {Status::out_of_memory, 0};
        }
        for (int64_t d = -span; d <= span; ++d) folded[span + d] = table[d < 0 ? -d : d];
        folded_middle = folded.get() + span;
    }

    fenv_t env;
    std::fegetenv(&env);

    OutputConversion conversion;
    CheapPass cheap;
    FloatPlan float_plan;
    if (converted.conversion.kind != Conversion::none && options.cheap_pass != CheapPassMode::off) {
        converted.kernel_s = kernel_s;
        converted.offsets = geometry.offsets;
        converted.window = geometry.window;
        converted.table = table;
        converted.table_used = static_cast<ptrdiff_t>(std::min<int64_t>(table_len, span + 1));  // the reachable
        converted.guid_ch = factors;
        conversion = converted.conversion;
        cheap = plan_cheap_pass(converted);
        cheap.predict = options.cheap_pass == CheapPassMode::automatic;
        if (!rule && options.float_pass && options.isa != Isa::scalar && geometry.img_ch <= kChannelGroup) {
            EnvironmentRestorer restore{env};  // the plan's exp2 and log2 raise inexact
            enter_environment(env);            // and read subnormal table entries: never a trap
            try {
                float_plan = plan_float_pass(converted, cheap);
            } catch (const std::bad_alloc&) {  // its float32 kernel: the double pass serves
            }
        }
    }
    // The row cache converts rows to float32 too only for the single-precision pass.
    Geometry g = geometry;
    g.float_rows = float_plan.pass.enabled;
    g.paired = g.paired && float_plan.pass.enabled && float_plan.pass.paired;
    g.magnitudes = cheap.enabled && cheap.magnitudes;

    // Only the AVX2 path splits its quotients between the divider and the FMA units (see Pair).
    const bool fma_by_data = options.division == Division::automatic && options.isa == Isa::avx2 &&
                             weights_in_fma_domain(kernel_s, g.offsets, table, table_len, span, factors);
    // No more scratch than the pool can put to work.
    const ptrdiff_t pieces = g.rows * g.strips;
    const ptrdiff_t most = std::min<ptrdiff_t>(pieces, options.on_calling_thread ? 1 : pool::max_threads());
    const int wanted = static_cast<int>(std::clamp<ptrdiff_t>(threads, 1, most));

    std::vector<std::unique_ptr<WorkerState>> states;
    try {
        states.reserve(static_cast<size_t>(wanted));
        for (int i = 0; i < wanted; ++i) states.push_back(std::make_unique<WorkerState>(src, g, target.direct == nullptr));
    } catch (const std::bad_alloc&) {
        if (states.empty()) return {Status::out_of_memory, 0};  // fewer threads otherwise
    }
    const int slots = static_cast<int>(states.size());

    Job job(src, g, target, kernel_s, row_function(options.isa), folded_middle, fma_by_data);
    job.env = env;
    job.band = std::clamp<ptrdiff_t>(pieces / (8 * static_cast<ptrdiff_t>(slots)), 1, 16);
    // Paired rows get their pairs' sums from the rows above them in the band: the first pad rows
    // of a band compute those themselves, so longer bands waste less.
    if (g.paired) job.band = std::max(job.band, std::min<ptrdiff_t>(8 * (g.pad + 1), g.rows / slots + 1));
    job.bands = (g.rows + job.band - 1) / job.band;
    job.units = job.bands * g.strips;
    job.conversion = conversion;
    job.cheap = cheap;
    job.float_pass = float_plan.pass;
    job.float_pass.kernel = float_plan.kernel.data();
    if (rule) job.rule = *rule;
    std::optional<pool::Batch> batch;
    if (!options.on_calling_thread) {
        try {
            batch.emplace(slots, [&job, &states](int slot) { work(job, *states[static_cast<size_t>(slot)], nullptr); });
        } catch (const std::bad_alloc&) {  // the calling thread then filters alone
        }
    }
    if (!batch || !batch->has_threads()) {
        EnvironmentRestorer restore{job.env};
        work(job, *states[0], &poll);
    } else {
        StopOnExit stop_on_exit{job};
        while (!batch->wait_for(kPollInterval)) {
            if (!poll || job.stop.load()) continue;
            if (poll()) {
                job.cancelled.store(true);
                job.stop.store(true);
                batch->close();  // a batch still waiting for a thread is not worth one now
            }
        }
    }
    const bool orphaned = batch && batch->orphaned();
    batch.reset();  // every worker has left the job
    if (job.cancelled.load()) return {Status::cancelled, 0};
    std::unique_ptr<WorkerState> fresh;
    if (orphaned) {
        // Forked while the workers filtered (a signal handler called fork): this process has none
        // of them, and their rows and caches stopped anywhere. The calling thread does it all
        // again, from fresh caches.
        try {
            fresh = std::make_unique<WorkerState>(src, g, target.direct == nullptr);
        } catch (const std::bad_alloc&) {
            return {Status::out_of_memory, 0};
        }
        job.restart();
        EnvironmentRestorer restore{job.env};
        work(job, *fresh, &poll);
        if (job.cancelled.load()) return {Status::cancelled, 0};
    }
    if (job.non_finite.load()) return {Status::non_finite_image, 0};
    if (job.unusable_guidance.load()) return {Status::unusable_guidance, 0};
    if (options.statistics != nullptr) {
        auto add = [&options](const CheapPassCounters& c) {
            options.statistics->blocks += c.blocks;
            options.statistics->single_blocks += c.single_blocks;
            options.statistics->exact_blocks += c.exact_blocks;
            options.statistics->skipped_blocks += c.skipped_blocks;
            options.statistics->lanes += c.lanes;
            options.statistics->exact_lanes += c.exact_lanes;
            options.statistics->lone_lanes += c.lone_lanes;
            options.statistics->paired_rows += c.paired_rows;
        };
        if (fresh)
            add(fresh->counters);  // the rows the lost workers counted were all filtered again
        else
            for (const auto& state : states) add(state->counters);
    }
    Result result;
    result.fp_flags = job.flags.load();
    result.nan_in_output = job.nan_in_output.load();
    return result;
}

Sample sample_of(Element e) { return e == Element::uint8 ? Sample::uint8 : Sample::int32; }

// A C-contiguous h x w x channels buffer.
Strided contiguous(const void* data, Sample sample, ptrdiff_t h, ptrdiff_t w, int channels) {
    const ptrdiff_t item = sample == Sample::uint8 ? 1 : 4;
    Strided a;
    a.data = data;
    a.sample = sample;
    a.h = h;
    a.w = w;
    a.channels = channels;
    a.stride_c = item;
    a.stride_w = item * channels;
    a.stride_h = item * channels * w;
    return a;
}

// The conversion write_row<O, rounding> applies to an integer output sample O: numpy's clip to
// O's range, then trunc or rint. Conversion::none for a float output, whose every bit counts.
OutputConversion integer_conversion(Sample out, Rounding rounding) {
    OutputConversion c;
    with_sample(out, [&c, rounding](auto sample) {
        using O = decltype(sample);
        if constexpr (std::is_integral_v<O>) {
            c.kind = rounding == Rounding::truncate ? Conversion::truncate : Conversion::round_half_even;
            c.lo = static_cast<double>(std::numeric_limits<O>::min());
            c.hi = static_cast<double>(std::numeric_limits<O>::max());
        }
    });
    return c;
}

// What filter() can tell the cheap pass without reading the image: its conversion, and the
// range of the values a window can read where the image's type bounds them to non-negative
// integers (uint8, uint16; a constant border adds cval, which must then be an integer too).
// Signed and float images leave the range unknown, and the cheap pass off.
CheapPassFacts converted_by_filter(const SourceRequest& q) {
    CheapPassFacts f;
    f.conversion = integer_conversion(q.out.sample, q.rounding);
    if (q.out.sample == Sample::float32) f.conversion.kind = Conversion::to_float32;
    if (f.conversion.kind == Conversion::none) return f;  // float64: every bit is the result
    double lo = 0.0, hi = q.image.sample == Sample::uint8 ? 255.0 : 65535.0;
    bool whole = q.image.sample == Sample::uint8 || q.image.sample == Sample::uint16;
    if (whole && q.border == Border::constant) {
        // nearbyint raises no inexact flag, and cval is finite (source_request_ok).
        whole = std::nearbyint(q.cval) == q.cval && q.cval >= 0.0;
        hi = std::max(hi, q.cval);
    }
    if (whole) {
        f.img_lo = lo;
        f.img_hi = hi;
    } else {
        f.magnitudes = true;  // signed or fractional values: bounded row by row
    }
    return f;
}

// The padded buffers' sizes, checked; false where run() refuses them.
bool padded_sizes_fit(const Request& q) {
    if (q.h < 0 || q.w < 0 || q.pad < 0 || q.img_ch < 1 || q.guid_ch < 1) return false;
    if (q.pad > kLimit / 4 || q.h > kLimit / 2 || q.w > kLimit / 2) return false;
    ptrdiff_t plane = 0, values = 0, out = 0;
    return checked_mul(q.h + 2 * q.pad, q.w + 2 * q.pad, plane) &&
           checked_mul(plane, std::max(q.img_ch, q.guid_ch), values) && values <= kLimit &&
           checked_mul(q.h, q.w, out) && checked_mul(out, q.img_ch, out) && out <= kLimit;
}

// The same geometry as run() will use, with the guidance span that only changes the packing.
bool request_geometry(const Request& q, int64_t span, ptrdiff_t strip_request, Geometry& g) {
    return padded_sizes_fit(q) &&
           make_geometry(q.h, q.w, q.pad, q.img_ch, q.guid_ch, RangeWeights::table, span, strip_request, g);
}

bool strided_ok(const Strided& a) { return a.data != nullptr && a.h >= 0 && a.w >= 0 && a.channels >= 1; }

// A rule make_range_rule() could have made: the row loop relies on 8 kappa D2 staying within
// [-961, 0] for every D2 up to the cap, so that its powers of two stay normal.
bool rule_ok(const RangeRule& r) {
    const double hi = r.kappa_hi, lo = r.kappa_lo, cap = r.cap;
    return hi < 0.0 && hi >= -0x1p100 && !non_finite(lo) && std::fabs(lo) <= -hi * 0x1p-20 && cap > 0.0 &&
           !non_finite(cap) && -hi * cap <= 960.5;
}

// The guidance value of a constant border: a table index for uint8 guidance, else a value the
// rule takes and the guidance's type holds exactly (the float cache rounds nothing).
bool guidance_cval_ok(const SourceRequest& q) {
    const double v = q.guidance_cval;
    if (q.guidance.sample == Sample::uint8) return v >= 0.0 && v <= 255.0 && std::nearbyint(v) == v;
    if (unusable_guidance(v)) return false;
    return range_weights_of(q.guidance.sample) == RangeWeights::rule_double ||
           static_cast<double>(static_cast<float>(v)) == v;
}

// filter()'s checks; the output block must lie inside the image.
bool source_request_ok(const SourceRequest& q) {
    const Strided& img = q.image;
    if (!strided_ok(img) || !strided_ok(q.guidance) || !strided_ok(q.out)) return false;
    if (q.guidance.h != img.h || q.guidance.w != img.w) return false;
    if (q.row0 < 0 || q.col0 < 0 || q.rows < 0 || q.cols < 0 || q.row0 > img.h - q.rows || q.col0 > img.w - q.cols)
        return false;
    if (q.out.h != q.rows || q.out.w != q.cols || q.out.channels != img.channels) return false;
    const bool weights = q.guidance.sample == Sample::uint8 ? q.table != nullptr : rule_ok(q.rule);
    return weights && q.kernel_s != nullptr && !non_finite(q.cval) && guidance_cval_ok(q);
}

}  // namespace

bool isa_available(Isa isa) {
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
    __builtin_cpu_init();  // needed if this runs before the CPU model is initialised
#endif
    switch (isa) {
        case Isa::scalar: return true;
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
        case Isa::avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case Isa::avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                   __builtin_cpu_supports("avx512vl") && isa_available(Isa::avx2);
#endif
#if defined(__aarch64__)
        case Isa::neon: return true;
#endif
        default: return false;
    }
}

namespace {
std::optional<Isa> isa_named(const char* setting) {
    for (Isa isa : kEveryIsa)
        if (std::strcmp(setting, isa_name(isa)) == 0) return isa;
    return std::nullopt;
}

// The paths SOVELK_ISA can name on this architecture, as its warning lists them.
#if defined(__x86_64__) || defined(__i386__)
constexpr const char* kIsaSettings = "avx512, avx2 or scalar";
constexpr Isa kArchitectureIsas[] = {Isa::scalar, Isa::avx2, Isa::avx512};
#elif defined(__aarch64__)
constexpr const char* kIsaSettings = "neon or scalar";
constexpr Isa kArchitectureIsas[] = {Isa::scalar, Isa::neon};
#else
constexpr const char* kIsaSettings = "scalar";
constexpr Isa kArchitectureIsas[] = {Isa::scalar};
#endif

bool isa_of_this_architecture(const char* setting) {
    const std::optional<Isa> isa = isa_named(setting);
    const Isa* end = std::end(kArchitectureIsas);
    return isa && std::find(std::begin(kArchitectureIsas), end, *isa) != end;
}

// Whether a CPU whose best path is `hardware` runs `narrower` too.
bool runs_below(Isa narrower, Isa hardware) {
    return narrower == Isa::scalar || narrower == hardware || (narrower == Isa::avx2 && hardware == Isa::avx512);
}
}  // namespace

Isa capped_isa(Isa hardware, const char* setting) {
    const std::optional<Isa> cap = setting == nullptr ? std::nullopt : isa_named(setting);
    if (!cap) return hardware;  // not a path name: ignored, like a malformed SOVELK_NUM_THREADS
    return runs_below(*cap, hardware) ? *cap : hardware;
}

Isa best_isa() {
    static const Isa best = [] {
        const char* setting = std::getenv("SOVELK_ISA");
        // Empty counts as unset, as `SOVELK_ISA= command` means in a shell.
        if (setting != nullptr && *setting != '\0' && !isa_of_this_architecture(setting))
            limits::warn_ignored_setting("SOVELK_ISA", setting, kIsaSettings);
        return capped_isa(isa_available(Isa::avx512) ? Isa::avx512
                          : isa_available(Isa::avx2) ? Isa::avx2
                          : isa_available(Isa::neon) ? Isa::neon
                                                     : Isa::scalar,
                          setting);
    }();
    return best;
}

int64_t value_span(const int32_t* data, size_t n) { return value_range(data, n).span(); }

const char* isa_name(Isa isa) {
    switch (isa) {
        case Isa::avx512: return "avx512";
        case Isa::avx2: return "avx2";
        case Isa::neon: return "neon";
        default: return "scalar";
    }
}

Result run_with(const Request& q, int threads, const std::function<bool()>& poll, const Options& options) {
    Geometry g;
    if (!isa_available(options.isa) || !request_geometry(q, 0, options.strip_width, g)) return {Status::invalid_argument, 0};
    if (q.h == 0 || q.w == 0) return {};
    if (!q.padded_img || !q.padded_guid || !q.kernel_s || !q.table || !(q.out || q.out_u8) || q.table_len < 1)
        return {Status::invalid_argument, 0};
    const ptrdiff_t ph = q.h + 2 * q.pad, pw = q.w + 2 * q.pad;
    // Every lookup index is a difference of two guidance values, at most the span.
    const size_t guid_values = static_cast<size_t>(ph * pw * q.guid_ch);
    const ValueRange range = q.element == Element::uint8
                                 ? value_range(static_cast<const uint8_t*>(q.padded_guid), guid_values)
                                 : value_range(static_cast<const int32_t*>(q.padded_guid), guid_values);
    const int64_t span = range.span();
    if (span >= q.table_len || span > kMaxFoldedSpan) return {Status::invalid_argument, 0};
    request_geometry(q, span, options.strip_width, g);

    // The padded buffers are an image whose block starts pad rows and columns in: every window
    // lies inside it and no border is ever applied.
    Source src;
    src.image = contiguous(q.padded_img, sample_of(q.element), ph, pw, q.img_ch);
    src.guidance = contiguous(q.padded_guid, sample_of(q.element), ph, pw, q.guid_ch);
    src.guid_min = range.lo;
    src.span = span;
    src.row0 = src.col0 = src.pad = q.pad;
    src.rows = q.h;
    src.cols = q.w;
    OutputTarget target;
    CheapPassFacts converted;
    if (q.out_u8) {
        target = output_target(contiguous(q.out_u8, Sample::uint8, q.h, q.w, q.img_ch), Rounding::truncate);
        converted.conversion = integer_conversion(Sample::uint8, Rounding::truncate);
        // The windows read the padded image and nothing else.
        const ValueRange img = q.element == Element::uint8
                                   ? ValueRange{0, 255}
                                   : value_range(static_cast<const int32_t*>(q.padded_img),
                                                 static_cast<size_t>(ph * pw * q.img_ch));
        converted.img_lo = img.lo;
        converted.img_hi = img.hi;
    } else {
        target.direct = reinterpret_cast<char*>(q.out);
        target.direct_row_bytes = q.w * q.img_ch * static_cast<ptrdiff_t>(sizeof(double));
    }
    return execute(src, g, target, q.kernel_s, q.table, q.table_len, nullptr, threads, poll, options, converted);
}

Result filter_with(const SourceRequest& q, int threads, const std::function<bool()>& poll, const Options& options) {
    constexpr int64_t kUint8Span = 255;
    Geometry g;
    if (!isa_available(options.isa) || !source_request_ok(q) ||
        !make_geometry(q.rows, q.cols, q.pad, q.image.channels, q.guidance.channels,
                       range_weights_of(q.guidance.sample), kUint8Span, options.strip_width, g))
        return {Status::invalid_argument, 0};
    if (q.rows == 0 || q.cols == 0) return {};
    // 8-bit guidance, cached as it is (minimum 0, span 255): every table index is provably in
    // range, whatever the guidance holds, even if someone writes it while the call runs. Other
    // guidance is cached as values, which no index depends on.
    Source src;
    src.image = q.image;
    src.guidance = q.guidance;
    src.border = q.border;
    src.cval = q.cval;
    src.guidance_cval = q.guidance_cval;
    src.span = kUint8Span;
    src.row0 = q.row0;
    src.col0 = q.col0;
    src.rows = q.rows;
    src.cols = q.cols;
    src.pad = q.pad;
    const bool table = g.range == RangeWeights::table;
    return execute(src, g, output_target(q.out, q.rounding), q.kernel_s, table ? q.table : nullptr,
                   table ? kUint8Span + 1 : 0, table ? nullptr : &q.rule, threads, poll, options, converted_by_filter(q));
}

}  // namespace detail

ptrdiff_t border_index(ptrdiff_t p, ptrdiff_t n, Border border) {
    if (p >= 0 && p < n) return p;
    auto modulo = [](ptrdiff_t a, ptrdiff_t m) {
        const ptrdiff_t r = a % m;
        return r < 0 ? r + m : r;
    };
    switch (border) {
        case Border::constant: return -1;
        case Border::nearest: return p < 0 ? 0 : n - 1;
        case Border::wrap: return modulo(p, n);
        case Border::reflect: {  // period 2n: 0 .. n-1 | n-1 .. 0
            if (n == 1) return 0;
            const ptrdiff_t q = modulo(p, 2 * n);
            return q < n ? q : 2 * n - 1 - q;
        }
        case Border::mirror: {  // period 2n - 2: 0 .. n-1 | n-2 .. 1
            if (n == 1) return 0;
            const ptrdiff_t q = modulo(p, 2 * n - 2);
            return q < n ? q : 2 * n - 2 - q;
        }
    }
    return -1;
}

Result run(const Request& request, int threads, const std::function<bool()>& poll) {
    return detail::run_with(request, threads, poll, detail::Options{});
}

Result filter(const SourceRequest& request, int threads, const std::function<bool()>& poll) {
    return detail::filter_with(request, threads, poll, detail::Options{});
}

uint64_t bytes_per_thread(const Request& request) {
    // The span only decides the packing of a guidance of 2 to 4 channels, which takes no more
    // room than the planar layout: the largest is assumed.
    detail::Geometry g;
    if (!detail::request_geometry(request, std::numeric_limits<int64_t>::max(), 0, g)) return 0;
    return detail::bytes_per_thread(g, request.out_u8 != nullptr);
}

uint64_t bytes_per_thread(const SourceRequest& request) {
    detail::Geometry g;
    if (!detail::source_request_ok(request) ||
        !detail::make_geometry(request.rows, request.cols, request.pad, request.image.channels,
                               request.guidance.channels, detail::range_weights_of(request.guidance.sample), 255, 0, g))
        return 0;
    return detail::bytes_per_thread(g, detail::output_target(request.out, request.rounding).direct == nullptr);
}

int default_thread_count() { return pool::max_threads(); }

const char* path_name() { return detail::isa_name(detail::best_isa()); }

}  // namespace sovelk::fused
