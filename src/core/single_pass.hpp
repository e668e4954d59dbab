// The single-precision cheap pass: the weights computed in float32 from the squared guidance
// distance instead of looked up, a row in steps of kSingleStep pixels, the exact sequence for
// the pixels it cannot decide.
//
// Part of the row loop (fused_kernel_body.hpp), included by it: the same anonymous namespace, the
// same rule of calling no library function.

namespace sovelk::fused::detail {
namespace {

// The decision of the double-precision pass (double_pass.hpp) from weights computed in float32
// (FloatPass): per offset, the squared guidance distance D^2 (exact: integers below 2^24), the
// range weight 2^(kappa D^2) by exp2_eighths, times the float32 spatial weight; sums in float32
// over runs of `chunk` offsets, added up in float64; one divide per pixel. No table lookup at
// all: a gray and a colour guidance cost alike.
// docs/exact_decision.md bounds |exact - v| <= abs_margin + rel_margin * v and shows that no step
// raises a floating-point event.

// The largest finite double: no float sum reaches it.
constexpr double kMaxDouble = 0x1.fffffffffffffp+1023;

// The vector types without a float32 counterpart (the scalar path): no single-precision pass.
struct NoFloat {
    static constexpr bool available = false;
};

// 2^((hi + lo) / 8) for hi in [-512, 0] and |lo| <= 2^-14: hi's nearest integer n = 8 m + j
// (j = 0 .. 7) gives 2^m (the exponent field) and 2^(j / 8) (a table), the rest f = (hi - n) + lo
// (hi - n is exact) the polynomial. The product of table entry and polynomial lies in
// [0.95, 1.92], so the result is a normal float.
// poly: kExp2Poly, each coefficient in every lane.
template <class F>
inline typename F::W exp2_eighths(typename F::W hi, typename F::W lo, const typename F::W* poly) {
    const typename F::W n = F::round(hi);
    const typename F::W f = F::add(F::sub(hi, n), lo);
    typename F::W q = poly[3];
    for (int k = 2; k >= 0; --k) q = F::fmadd(q, f, poly[k]);
    return F::scale_eighths(q, n, kExp2Eighths);
}

template <class F>
inline typename F::W exp2_eighths(typename F::W hi, typename F::W lo) {
    typename F::W poly[4];
    for (int k = 0; k < 4; ++k) poly[k] = F::set1(kExp2Poly[k]);
    return exp2_eighths<F>(hi, lo, poly);
}

// The values float_values reads at every offset without changing them: the centre pixels'
// guidance and the range weight's constants.
// Parameterised by F rather than by its vector type: a vector type as a template argument loses
// its attributes (GCC's -Wignored-attributes).
template <class F>
struct LoopInvariants {
    typename F::W centre[4];
    typename F::W kappa_hi, kappa_lo, cap;
    typename F::W poly[4];  // kExp2Poly
};

// p, made opaque to the compiler at this point of the loop when F asks for it, so that what p
// points to is read from memory (an operand of the instruction using it) wherever it is used.
// On the AVX2 path the loop's sums, centre and constants outnumber the sixteen vector registers:
// GCC keeps the sums in registers and takes the rest from memory, but Clang keeps the constants
// and stores and reloads sums at every offset instead (docs/install.md). GCC needs no help, and
// the barrier would only constrain its scheduling.
template <class F, class T>
__attribute__((always_inline)) inline const T* reread(const T* p) {
#if defined(__clang__) && (defined(__x86_64__) || defined(__i386__))
    if constexpr (F::reread_invariants) __asm__ volatile("" : "+r"(p));
#endif
    return p;
}

// The single-precision cheap values v = N_k / S of the F::lanes pixels from column c: M = F::lanes
// / V::lanes blocks side by side (two on the AVX2 path, whose short vectors otherwise leave too
// little independent work in flight), block j's values into acc[(j K + k) V::lanes + lane].
// Returns the lanes it cannot decide, bit j V::lanes + lane.
template <class V, class F, int GC, int K>
inline unsigned float_values(const RowArgs& a, ptrdiff_t c, double* acc) {
    using W = typename F::W;
    using D = typename V::D;
    constexpr int M = F::lanes / V::lanes;
    static_assert(M * V::lanes == F::lanes, "whole blocks of V");
    const FloatPass& fp = a.float_pass;
    const int gc = GC > 0 ? GC : a.guid_ch;
    const ptrdiff_t pw = a.padded_width;
    const ptrdiff_t ws = 2 * a.pad + 1;
    LoopInvariants<F> invariant;
    for (int k = 0; k < gc; ++k) invariant.centre[k] = F::load(a.centre_f32 + k * pw + c + a.pad);
    invariant.kappa_hi = F::set1(fp.kappa_hi);
    invariant.kappa_lo = F::set1(fp.kappa_lo);
    invariant.cap = F::set1(fp.d2_cap);
    for (int k = 0; k < 4; ++k) invariant.poly[k] = F::set1(kExp2Poly[k]);
    D sum[M], num[K][M], part[M];
    for (int j = 0; j < M; ++j) {
        sum[j] = V::zero();
        for (int k = 0; k < K; ++k) num[k][j] = V::zero();
    }
    // A run is chunk_rows whole window rows, or `chunk` offsets of one row.
    for (ptrdiff_t row = 0; row < ws; row += fp.chunk_rows) {
        const ptrdiff_t rows_end = row + fp.chunk_rows < ws ? row + fp.chunk_rows : ws;
        for (ptrdiff_t start = 0; start < ws; start += fp.chunk) {
            const ptrdiff_t end = start + fp.chunk < ws ? start + fp.chunk : ws;
            W s = F::zero();
            W n[K];
            for (int k = 0; k < K; ++k) n[k] = F::zero();
            for (ptrdiff_t ox = row; ox < rows_end; ++ox) {
                const float* g = a.guid_rows_f32[ox] + c;
                const float* p = a.img_rows_f32[ox] + c;
                const float* spatial = fp.kernel + ox * ws;
                for (ptrdiff_t oy = start; oy < end; ++oy) {
                    const LoopInvariants<F>& fixed = *reread<F>(&invariant);
                    W d = F::sub(F::load(g + oy), fixed.centre[0]);
                    W d2 = F::mul(d, d);
                    for (int k = 1; k < gc; ++k) {
                        d = F::sub(F::load(g + k * pw + oy), fixed.centre[k]);
                        d2 = F::fmadd(d, d, d2);
                    }
                    d2 = F::min_nonnegative(d2, fixed.cap);
                    // 8 kappa D^2 as hi + lo: the product's rounding error, exactly, plus kappa_lo D^2.
                    const W hi = F::mul(fixed.kappa_hi, d2);
                    const W lo = F::fmadd(fixed.kappa_lo, d2, F::fmsub(fixed.kappa_hi, d2, hi));
                    const W w = F::mul(exp2_eighths<F>(hi, lo, fixed.poly), F::set1(spatial[oy]));
                    s = F::add(s, w);
                    for (int k = 0; k < K; ++k) n[k] = F::fmadd(w, F::load(p + k * pw + oy), n[k]);
                }
            }
            F::widen(s, part);
            for (int j = 0; j < M; ++j) sum[j] = V::add(sum[j], part[j]);
            for (int k = 0; k < K; ++k) {
                F::widen(n[k], part);
                for (int j = 0; j < M; ++j) num[k][j] = V::add(num[k][j], part[j]);
            }
        }
    }
    unsigned lanes = 0;
    const D rel = V::set1(fp.rel_margin), abs_margin = V::set1(fp.abs_margin);
    for (int j = 0; j < M; ++j) lanes |= V::outside(sum[j], fp.min_sum, kMaxDouble) << (j * V::lanes);
    for (int j = 0; j < M; ++j)
        for (int k = 0; k < K; ++k) {
            const D v = V::div(num[k][j], sum[j]);
            // As in undecided(): a reach of at least rel_margin keeps it normal.
            const D reach = V::add(V::mul(V::max(v, V::set1(1.0)), rel), abs_margin);
            lanes |= V::differ(convert<V>(a.conversion, V::sub(v, reach)), convert<V>(a.conversion, V::add(v, reach)))
                     << (j * V::lanes);
            V::store(acc + (j * K + k) * V::lanes, v);
        }
    return lanes;
}

// Undecided lanes up to this many in a block are filtered one pixel at a time by the scalar
// exact sequence (the same bits as the vector paths); more, and the whole block runs the vector
// exact sequence.
constexpr int kLoneLanes = 3;

struct FloatOutcome {
    unsigned undecided;  // lanes, as float_values() returns them
    bool failed;         // some block ran the vector exact sequence
};

// Writes the cheap values of the F::lanes pixels from column c (acc as float_values() leaves
// them), and filters the `undecided` lanes by the exact sequence: one by one where a block has
// few of them, else the whole block. True when some block ran whole.
template <class V, class F, int GC, Weigh How, int K>
inline bool settle_step(const RowArgs& a, ptrdiff_t c, const double* acc, unsigned undecided) {
    constexpr int M = F::lanes / V::lanes;
    constexpr unsigned block_lanes = (1u << V::lanes) - 1;
    bool failed = false;
    for (int j = 0; j < M; ++j) {
        const ptrdiff_t cj = c + j * V::lanes;
        scatter<V>(a, cj, acc + j * K * V::lanes, 0, K);
        const unsigned mine = undecided >> (j * V::lanes) & block_lanes;
        if (count_lanes(mine) > kLoneLanes) {
            exact_block<V, GC, How>(a, cj);
            failed = true;
        } else {
            for (unsigned m = mine; m != 0; m &= m - 1) exact_block<ScalarVec, GC, How>(a, cj + __builtin_ctz(m));
        }
    }
    return failed;
}

// The F::lanes pixels from column c by the single-precision cheap pass, and by the exact
// sequence where it cannot decide.
template <class V, class F, int GC, Weigh How, int K>
__attribute__((noinline)) FloatOutcome float_block(const RowArgs& a, ptrdiff_t c) {
    alignas(kScratchAlign) double acc[F::lanes / V::lanes * K * kMaxLanes];
    const unsigned lanes = float_values<V, F, GC, K>(a, c, acc);
    return {lanes, settle_step<V, F, GC, How, K>(a, c, acc, lanes)};
}

// A row by the single-precision cheap pass in steps of F::lanes pixels (its width is at least
// that), with one history entry per step.
template <class V, class F, int GC, Weigh How, int K>
void float_row(const RowArgs& a) {
    static_assert(F::lanes == kSingleStep, "one history entry per step of kSingleStep pixels");
    constexpr int M = F::lanes / V::lanes;
    const ptrdiff_t last = a.width - F::lanes;
    constexpr unsigned all_lanes = F::lanes == 32 ? ~0u : (1u << F::lanes) - 1;
    uint16_t* history = a.block_history;
    for (ptrdiff_t c = 0;; c += F::lanes) {
        unsigned counted = all_lanes;
        if (c > last) {  // as in filter_row_for
            counted &= ~0u << (c - last);
            c = last;
        }
        if (a.stop != nullptr && a.stop->load(std::memory_order_relaxed)) return;
        if (skips_cheap_pass(a, history)) {
            for (int j = 0; j < M; ++j) exact_block<V, GC, How>(a, c + j * V::lanes);
        } else {
            const FloatOutcome r = float_block<V, F, GC, How, K>(a, c);
            note_cheap_pass(a, history, r.undecided, counted, r.failed);
            if (a.counters != nullptr) ++a.counters->single_blocks;
        }
        if (history != nullptr) ++history;
        if (c == last) break;
    }
}

}  // namespace
}  // namespace sovelk::fused::detail
