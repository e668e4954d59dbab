// Driver of the fused kernel: checks the request, picks the instruction-set path, decides once per
// call whether the FMA quotient may be used, and runs rows on the process's worker pool, the
// workers claiming rows through an atomic counter. Each worker keeps the window's padded rows
// in a small planar cache; the hot loop itself is in fused_kernel_body.hpp.

#include "core/fused_kernel.hpp"

#include <algorithm>
#include <atomic>
#include <cfenv>
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

// Sizes derived from a request, all checked against overflow.
struct Layout {
    ptrdiff_t h, w, pad, window, offsets;  // window = 2 pad + 1, offsets = window^2
    ptrdiff_t padded_h, padded_w;
    ptrdiff_t guid_values, img_values;  // elements in the padded buffers
    int img_ch, guid_ch;
};

bool make_layout(const Request& q, Layout& l) {
    constexpr ptrdiff_t limit = std::numeric_limits<ptrdiff_t>::max() / 16;  // room for bytes
    if (q.h < 0 || q.w < 0 || q.pad < 0 || q.img_ch < 1 || q.guid_ch < 1) return false;
    if (q.pad > limit / 4 || q.h > limit / 2 || q.w > limit / 2) return false;
    l.h = q.h;
    l.w = q.w;
    l.pad = q.pad;
    l.img_ch = q.img_ch;
    l.guid_ch = q.guid_ch;
    l.window = 2 * q.pad + 1;
    l.padded_h = q.h + 2 * q.pad;
    l.padded_w = q.w + 2 * q.pad;
    ptrdiff_t plane = 0, out = 0, scratch = 0;
    return checked_mul(l.window, l.window, l.offsets) &&
           checked_mul(l.offsets, kMaxLanes, scratch) && scratch <= limit &&
           checked_mul(l.padded_h, l.padded_w, plane) &&
           checked_mul(plane, l.guid_ch, l.guid_values) && l.guid_values <= limit &&
           checked_mul(plane, l.img_ch, l.img_values) && l.img_values <= limit &&
           checked_mul(l.h * 1, l.w, out) && checked_mul(out, l.img_ch, out) && out <= limit;
}

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
bool weights_in_fma_domain(const Request& q, ptrdiff_t offsets, int64_t span) {
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
    const ptrdiff_t used = static_cast<ptrdiff_t>(std::min<int64_t>(q.table_len, span + 1));
    if (!bounds(q.kernel_s, offsets, k_lo, k_hi) || !bounds(q.table, used, t_lo, t_hi))
        return true;  // every weight is zero, infinite or NaN
    const int64_t gc = q.guid_ch;
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
#else
    return false;  // only the x86 vector paths use the FMA form
#endif
}

// Enter the caller's floating-point environment with traps masked: a trap enabled by the caller
// must not kill the process from a worker; the raised flags are reported instead.
void enter_environment(const fenv_t& env) {
    std::fesetenv(&env);
#if defined(__GLIBC__)
    fedisableexcept(FE_ALL_EXCEPT);
#endif
    std::feclearexcept(FE_ALL_EXCEPT);
}

struct AlignedFree {
    void operator()(void* p) const { ::operator delete[](p, std::align_val_t{kScratchAlign}); }
};
template <class T>
using AlignedArray = std::unique_ptr<T[], AlignedFree>;

template <class T>
AlignedArray<T> aligned_array(ptrdiff_t n) {  // throws std::bad_alloc
    void* p = ::operator new[](static_cast<size_t>(n) * sizeof(T), std::align_val_t{kScratchAlign});
    return AlignedArray<T>(static_cast<T*>(p));
}

// The padded rows of one window, in planar layout (see RowArgs), kept in window-side slots: slot
// pr % window holds padded row pr. Consecutive rows of one worker share all but a few rows.
// With `packed`, the guidance is cached as RowArgs::packed_rows describes; a packed row (two
// uint32_t per pixel) takes no more room than a planar one of two or more channels.
class RowCache {
public:
    RowCache(const Request& q, const Layout& l, int32_t guid_min, bool packed)
        : q_(q), l_(l), guid_min_(guid_min), packed_(packed),
          guid_stride_(packed ? 2 * l.padded_w : l.padded_w * l.guid_ch),
          guid_(aligned_array<uint32_t>(l.window * l.padded_w * l.guid_ch)),
          img_(aligned_array<double>(l.window * l.padded_w * l.img_ch)),
          tag_(static_cast<size_t>(l.window), -1),
          guid_rows_(static_cast<size_t>(l.window)),
          packed_rows_(static_cast<size_t>(l.window)),
          img_rows_(static_cast<size_t>(l.window)) {}

    // Point guid_rows()/img_rows() at padded rows r .. r + 2 pad.
    void load_window(ptrdiff_t r) {
        for (ptrdiff_t j = 0; j < l_.window; ++j) {
            const ptrdiff_t row = r + j;
            const ptrdiff_t slot = row % l_.window;
            if (tag_[slot] != row) fill(slot, row);
            guid_rows_[j] = guid_.get() + slot * guid_stride_;
            packed_rows_[j] = reinterpret_cast<const uint64_t*>(guid_rows_[j]);
            img_rows_[j] = img_.get() + slot * l_.padded_w * l_.img_ch;
        }
    }
    // Exactly one of the two is non-null.
    const uint32_t* const* guid_rows() const { return packed_ ? nullptr : guid_rows_.data(); }
    const uint64_t* const* packed_rows() const { return packed_ ? packed_rows_.data() : nullptr; }
    const double* const* img_rows() const { return img_rows_.data(); }

private:
    void fill(ptrdiff_t slot, ptrdiff_t row) {
        if (q_.element == Element::uint8)
            fill_from(static_cast<const uint8_t*>(q_.padded_guid), static_cast<const uint8_t*>(q_.padded_img), slot, row);
        else
            fill_from(static_cast<const int32_t*>(q_.padded_guid), static_cast<const int32_t*>(q_.padded_img), slot, row);
        tag_[slot] = row;
    }

    template <class T>
    void fill_from(const T* guid, const T* img, ptrdiff_t slot, ptrdiff_t row) {
        const ptrdiff_t pw = l_.padded_w;
        const T* g = guid + row * pw * l_.guid_ch;
        const T* p = img + row * pw * l_.img_ch;
        with_channel_count(l_.guid_ch, [&](auto gc) { fill_guidance<decltype(gc)::value>(g, slot); });
        with_channel_count(l_.img_ch, [&](auto ic) {
            fill_image<decltype(ic)::value>(p, img_.get() + slot * pw * l_.img_ch);
        });
    }

    // Calls f with std::integral_constant<int, n> for the common channel counts and with 0 (the
    // count then read at run time) for others: a count the compiler knows lets it convert several
    // values per instruction. Row refills are a fifth of a call at sigma_s 1.
    template <class F>
    static void with_channel_count(int n, F&& f) {
        switch (n) {
            case 1: f(std::integral_constant<int, 1>{}); break;
            case 3: f(std::integral_constant<int, 3>{}); break;
            default: f(std::integral_constant<int, 0>{}); break;
        }
    }

    template <int GC, class T>
    void fill_guidance(const T* g, ptrdiff_t slot) {
        const ptrdiff_t pw = l_.padded_w;
        const int gc = GC > 0 ? GC : l_.guid_ch;
        const int64_t base = guid_min_;
        if (packed_) {  // 0 .. span, below 2^15: each value fits its 16-bit field
            uint64_t* gd = reinterpret_cast<uint64_t*>(guid_.get() + slot * guid_stride_);
            for (ptrdiff_t x = 0; x < pw; ++x) {
                uint64_t v = 0;
                for (int k = 0; k < gc; ++k) v |= static_cast<uint64_t>(g[x * gc + k] - base) << (16 * k);
                gd[x] = v;
            }
        } else {
            uint32_t* gd = guid_.get() + slot * guid_stride_;
            for (int k = 0; k < gc; ++k)  // 0 .. span: fits, since the span is below 2^32
                for (ptrdiff_t x = 0; x < pw; ++x) gd[k * pw + x] = static_cast<uint32_t>(g[x * gc + k] - base);
        }
    }

    template <int IC, class T>
    void fill_image(const T* p, double* pd) const {
        const ptrdiff_t pw = l_.padded_w;
        const int ic = IC > 0 ? IC : l_.img_ch;
        for (int k = 0; k < ic; ++k)  // integers to double is exact and raises no flag
            for (ptrdiff_t x = 0; x < pw; ++x) pd[k * pw + x] = static_cast<double>(p[x * ic + k]);
    }

    const Request& q_;
    const Layout& l_;
    const int32_t guid_min_;
    const bool packed_;
    const ptrdiff_t guid_stride_;  // uint32_t elements per cached guidance row
    AlignedArray<uint32_t> guid_;
    AlignedArray<double> img_;
    std::vector<ptrdiff_t> tag_;
    std::vector<const uint32_t*> guid_rows_;
    std::vector<const uint64_t*> packed_rows_;
    std::vector<const double*> img_rows_;
};

struct WorkerState {
    WorkerState(const Request& q, const Layout& l, int32_t guid_min, bool packed)
        : cache(q, l, guid_min, packed), scratch(aligned_array<double>(l.offsets * kMaxLanes)),
          row_out(q.out_u8 ? aligned_array<double>(l.w * l.img_ch) : nullptr),
          block_history(static_cast<size_t>(l.w) + 1, 0) {}
    RowCache cache;
    AlignedArray<double> scratch;
    AlignedArray<double> row_out;  // one filtered row before its 8-bit cast (out_u8 only)
    std::vector<uint16_t> block_history;  // RowArgs::block_history
    CheapPassCounters counters;
};

// trunc(clip(x, 0, 255)) for a row, as numpy's clip and cast to uint8 give it. A NaN is found
// from its bits (an ordered compare would raise the invalid flag) and written as 0. Converting
// values inside 0 .. 255 raises nothing but inexact, which no one reports.
bool write_uint8_row(const double* in, ptrdiff_t n, uint8_t* out) {
    bool nan = false;
    for (ptrdiff_t i = 0; i < n; ++i) {
        const double x = in[i];
        uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        if ((bits & 0x7FFFFFFFFFFFFFFFull) > 0x7FF0000000000000ull) {
            nan = true;
            out[i] = 0;
        } else {
            out[i] = x <= 0.0 ? 0 : x >= 255.0 ? 255 : static_cast<uint8_t>(x);
        }
    }
    return nan;
}

// State shared by the workers of one call.
struct Job {
    Job(const Request& q, const Layout& l, RowFunction f, const double* folded, bool fma)
        : request(q), layout(l), row(f), folded_table(folded), fma_by_data(fma) {}
    const Request& request;
    const Layout& layout;
    RowFunction row;
    const double* folded_table;
    int64_t span = 0;
    bool fma_by_data;  // weights_in_fma_domain() and not disabled by the caller
    OutputConversion conversion;
    CheapPass cheap;  // plan_cheap_pass(); the environment is checked per worker
    fenv_t env{};  // the caller's, entered by every worker
    // Workers claim bands of consecutive rows, so that each output row refills one cached row,
    // not one per worker (with single rows claimed in turn, each worker's next row is `threads`
    // rows further down). At sigma_s 1, where refilling is a fifth of the work, two threads used
    // 7-10% less CPU and wall time with bands of 16 rows (1024x1024 gray). A band is at most an
    // eighth of a worker's share, so a worker that gets less of the CPU holds up little of the end;
    // bands that shrink towards the end measured no better.
    ptrdiff_t band = 1;
    std::atomic<ptrdiff_t> next_row{0};
    std::atomic<bool> stop{false};       // workers finish their current row and leave
    std::atomic<bool> cancelled{false};  // poll() asked for the stop
    std::atomic<int> flags{0};
    std::atomic<bool> nan_in_output{false};
};

// Filter rows until none is left or the job is stopped. With inline_poll (used only when no
// worker thread could be started) the calling thread itself polls between rows.
void work(Job& job, WorkerState& state, const std::function<bool()>* inline_poll) {
    enter_environment(job.env);
    const Layout& l = job.layout;
    RowArgs args{};
    args.width = l.w;
    args.pad = l.pad;
    args.padded_width = l.padded_w;
    args.img_ch = l.img_ch;
    args.guid_ch = l.guid_ch;
    args.kernel_s = job.request.kernel_s;
    args.folded_table = job.folded_table;
    args.span = job.span;
    args.scratch = state.scratch.get();
    args.fma_division_allowed = job.fma_by_data && environment_allows_fma_division();
    args.conversion = job.conversion;
    args.cheap = job.cheap;
    args.cheap.enabled = job.cheap.enabled && environment_allows_fma_division();
    args.block_history = state.block_history.data();
    args.counters = &state.counters;
    args.stop = &job.stop;
    auto last_poll = std::chrono::steady_clock::now();
    const ptrdiff_t row_values = l.w * l.img_ch;
    while (!job.stop.load(std::memory_order_relaxed)) {
        const ptrdiff_t first = job.next_row.fetch_add(job.band, std::memory_order_relaxed);
        if (first >= l.h) break;
        const ptrdiff_t end = std::min(first + job.band, l.h);
        for (ptrdiff_t r = first; r < end && !job.stop.load(std::memory_order_relaxed); ++r) {
            state.cache.load_window(r);
            args.guid_rows = state.cache.guid_rows();
            args.packed_rows = state.cache.packed_rows();
            args.img_rows = state.cache.img_rows();
            args.out_row = state.row_out ? state.row_out.get() : job.request.out + r * row_values;
            job.row(args);
            if (state.row_out &&
                write_uint8_row(state.row_out.get(), row_values, job.request.out_u8 + r * row_values))
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
        default: return false;
    }
}

Isa capped_isa(Isa hardware, const char* setting) {
    if (setting == nullptr) return hardware;
    for (Isa cap : {Isa::scalar, Isa::avx2, Isa::avx512})
        if (std::strcmp(setting, isa_name(cap)) == 0)
            return static_cast<int>(cap) < static_cast<int>(hardware) ? cap : hardware;
    return hardware;  // not a path name: ignored, like a malformed SOVELK_NUM_THREADS
}

Isa best_isa() {
    static const Isa best = capped_isa(isa_available(Isa::avx512) ? Isa::avx512
                                       : isa_available(Isa::avx2) ? Isa::avx2
                                                                  : Isa::scalar,
                                       std::getenv("SOVELK_ISA"));
    return best;
}

const char* isa_name(Isa isa) {
    switch (isa) {
        case Isa::avx512: return "avx512";
        case Isa::avx2: return "avx2";
        default: return "scalar";
    }
}

Result run_with(const Request& q, int threads, const std::function<bool()>& poll, const Options& options) {
    const Isa isa = options.isa;
    Result result;
    Layout layout{};
    if (!isa_available(isa) || !make_layout(q, layout)) return {Status::invalid_argument, 0};
    if (layout.h == 0 || layout.w == 0) return result;
    if (!q.padded_img || !q.padded_guid || !q.kernel_s || !q.table || !(q.out || q.out_u8) || q.table_len < 1)
        return {Status::invalid_argument, 0};
    // Every lookup index is a difference of two guidance values, at most the span.
    const size_t guid_values = static_cast<size_t>(layout.guid_values);
    const ValueRange range = q.element == Element::uint8
                                 ? value_range(static_cast<const uint8_t*>(q.padded_guid), guid_values)
                                 : value_range(static_cast<const int32_t*>(q.padded_guid), guid_values);
    const int64_t span = range.span();
    if (span >= q.table_len || span > kMaxFoldedSpan) return {Status::invalid_argument, 0};

    // The row loops look up a folded copy of the table: entry span + d is table[|d|]. Only
    // loads and stores: copying raises no floating-point flag, whatever the values.
    AlignedArray<double> folded;
    try {
        folded = aligned_array<double>(2 * span + 1);
    } catch (const std::bad_alloc&) {
        return {Status::out_of_memory, 0};
    }
    for (int64_t d = -span; d <= span; ++d) folded[span + d] = q.table[d < 0 ? -d : d];
    const double* folded_middle = folded.get() + span;

    fenv_t env;
    std::fegetenv(&env);

    // Only the AVX2 path splits its quotients between the divider and the FMA units (see Pair).
    const bool fma_by_data = options.division == Division::automatic && isa == Isa::avx2 &&
                             weights_in_fma_domain(q, layout.offsets, span);
    const bool packed = layout.guid_ch >= 2 && layout.guid_ch <= kMaxPackedChannels &&
                        span <= kMaxPackedSpan;
    // No more scratch than the pool can put to work.
    const ptrdiff_t most = std::min<ptrdiff_t>(layout.h, options.on_calling_thread ? 1 : pool::max_threads());
    const int wanted = static_cast<int>(std::clamp<ptrdiff_t>(threads, 1, most));

    std::vector<std::unique_ptr<WorkerState>> states;
    try {
        states.reserve(static_cast<size_t>(wanted));
        for (int i = 0; i < wanted; ++i)
            states.push_back(std::make_unique<WorkerState>(q, layout, range.lo, packed));
    } catch (const std::bad_alloc&) {
        if (states.empty()) return {Status::out_of_memory, 0};  // fewer threads otherwise
    }
    const int slots = static_cast<int>(states.size());

    Job job(q, layout, row_function(isa), folded_middle, fma_by_data);
    job.env = env;
    job.span = span;
    job.band = std::clamp<ptrdiff_t>(layout.h / (8 * static_cast<ptrdiff_t>(slots)), 1, 16);
    if (q.out_u8 != nullptr && options.cheap_pass != CheapPassMode::off) {
        job.conversion = {Conversion::truncate, 0.0, 255.0};
        CheapPassFacts facts;
        facts.kernel_s = q.kernel_s;
        facts.offsets = layout.offsets;
        facts.table = q.table;
        facts.table_used = static_cast<ptrdiff_t>(std::min<int64_t>(q.table_len, span + 1));
        facts.guid_ch = layout.guid_ch;
        const ValueRange img = q.element == Element::uint8 ? ValueRange{0, 255}
                                                           : value_range(static_cast<const int32_t*>(q.padded_img),
                                                                         static_cast<size_t>(layout.img_values));
        facts.img_lo = img.lo;
        facts.img_hi = img.hi;
        facts.conversion = job.conversion;
        job.cheap = plan_cheap_pass(facts);
        job.cheap.predict = options.cheap_pass == CheapPassMode::automatic;
    }
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
    batch.reset();  // every worker has left the job
    if (job.cancelled.load()) return {Status::cancelled, 0};
    if (options.statistics != nullptr) {
        for (const auto& state : states) {
            options.statistics->blocks += state->counters.blocks;
            options.statistics->exact_blocks += state->counters.exact_blocks;
            options.statistics->skipped_blocks += state->counters.skipped_blocks;
            options.statistics->lanes += state->counters.lanes;
            options.statistics->exact_lanes += state->counters.exact_lanes;
        }
    }
    result.fp_flags = job.flags.load();
    result.nan_in_output = job.nan_in_output.load();
    return result;
}

}  // namespace detail

Result run(const Request& request, int threads, const std::function<bool()>& poll) {
    return detail::run_with(request, threads, poll, detail::Options{});
}

uint64_t bytes_per_thread(const Request& request) {
    detail::Layout l{};
    if (!detail::make_layout(request, l)) return 0;
    const uint64_t cached_row = static_cast<uint64_t>(l.padded_w) *
                                (sizeof(uint32_t) * static_cast<uint64_t>(l.guid_ch) +
                                 sizeof(double) * static_cast<uint64_t>(l.img_ch));
    const uint64_t row_out = request.out_u8 ? static_cast<uint64_t>(l.w) * l.img_ch * sizeof(double) : 0;
    const uint64_t block_history = (static_cast<uint64_t>(l.w) + 1) * sizeof(uint16_t);
    return static_cast<uint64_t>(l.window) * cached_row +
           static_cast<uint64_t>(l.offsets) * detail::kMaxLanes * sizeof(double) + row_out + block_history;
}

int default_thread_count() { return pool::max_threads(); }

const char* path_name() { return detail::isa_name(detail::best_isa()); }

int64_t value_span(const int32_t* data, size_t n) { return detail::value_range(data, n).span(); }

}  // namespace sovelk::fused
