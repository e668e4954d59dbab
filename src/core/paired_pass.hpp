// Paired rows of the single-precision pass: each pixel pair's weight computed once. Part of
// fused_kernel_body.hpp, included by it: the same anonymous namespace, the same rule of calling
// no library function.
//
// The weight of a pair depends on the pair alone: the squared guidance distance is the same
// from either pixel, and so is the spatial weight where the kernel is symmetric (the plan checks
// it). A row computes the weights between its pixels and the pixels of the rows below it (and
// to its right within the row), window row by window row, into PairedRows::weights; each weight
// goes into this row's sums and into the lower pixel's. Those sums are float32 runs, one window
// row each, widened and added in float64 to the pixel's slot in PairedRows::totals; the bound of
// the single-precision pass does not depend on the order of the terms in a run or of the runs
// (docs/exact_decision.md), so the row decides its pixels from the slot as float_values() would.
// Where a row above did not add its pairs (the first rows of a band, or a row filtered unpaired),
// the missing window rows are computed directly.

namespace sovelk::fused::detail {
namespace {

// The sums of block row q: its slot, emptied first if it held another row's.
inline double* paired_slot(const RowArgs& a, ptrdiff_t q) {
    PairedRows& p = *a.paired;
    const ptrdiff_t s = q % (a.pad + 1);
    double* slot = p.totals + s * (1 + a.img_ch) * a.padded_width;
    if (p.slot_row[s] != q) {
        p.slot_row[s] = q;
        p.delivered[s] = 0;
        for (ptrdiff_t i = 0; i < (1 + a.img_ch) * a.padded_width; ++i) slot[i] = 0.0;
    }
    return slot;
}

// A paired row's steps of `lanes` pixels, left to right, the last moved left to end at the row's
// last pixel: each(body) calls body(x, fresh), where fresh holds the lane factors of that last
// step, 0 where the step before has the sums already (it overlaps that one), and is null for
// every other step.
struct PairedSteps {
    ptrdiff_t lanes, last, overlap;
    alignas(kScratchAlign) double fresh[kMaxLanes];
    PairedSteps(const RowArgs& a, ptrdiff_t step)
        : lanes(step), last(a.width - step), overlap((step - a.width % step) % step) {
        for (ptrdiff_t l = 0; l < lanes; ++l) fresh[l] = l < overlap ? 0.0 : 1.0;
    }
    // The lanes of a step that are new in this row (all but those the last step overlaps).
    unsigned counted(const double* step_fresh) const {
        const unsigned all = lanes == 32 ? ~0u : (1u << lanes) - 1;
        return step_fresh ? ~0u << overlap & all : all;
    }
    template <class Body>
    void each(Body body) const {
        for (ptrdiff_t x = 0;; x += lanes) {
            const bool shifted = x > last;
            if (shifted) x = last;
            body(x, shifted && overlap > 0 ? fresh : nullptr);
            if (x == last) break;
        }
    }
    // The steps again once the row's pairs are added, one history entry each: a step the history
    // skips goes to skip(x); the others compute each window row above that no row above added
    // (bit dy of `have` clear), direct(x, dy, fresh), then decide(x, fresh, entry). A step's
    // direct runs add to the lanes it shares with the step before only if that one skipped them.
    template <class Skip, class Direct, class Decide>
    void try_each(const RowArgs& a, uint64_t have, Skip skip, Direct direct, Decide decide) const {
        uint16_t* history = a.block_history;
        bool previous_tried = false;
        each([&](ptrdiff_t x, const double* f) {
            uint16_t* h = history;
            if (history != nullptr) ++history;
            if (skips_cheap_pass(a, h)) {
                skip(x);
                previous_tried = false;
                return;
            }
            for (ptrdiff_t dy = 1; dy <= a.pad; ++dy)
                if ((have >> dy & 1) == 0) direct(x, dy, previous_tried ? f : nullptr);
            previous_tried = true;
            decide(x, f, h);
        });
    }
};

// The constants of the weight's computation, held in registers where they fit (see reread()).
template <class F>
inline LoopInvariants<F> pair_constants(const FloatPass& fp) {
    LoopInvariants<F> invariant;
    invariant.kappa_hi = F::set1(fp.kappa_hi);
    invariant.kappa_lo = F::set1(fp.kappa_lo);
    invariant.cap = F::set1(fp.d2_cap);
    for (int k = 0; k < 4; ++k) invariant.poly[k] = F::set1(kExp2Poly[k]);
    return invariant;
}

// The weights of the F::lanes pixels from cache column xc of window row `row` with their
// neighbours in window row `row` + dy, dx columns on: as float_values() computes them, whose
// spatial weight is that of offset (dy, dx).
template <class F, int GC>
inline typename F::W pair_weight(const RowArgs& a, const LoopInvariants<F>& invariant, ptrdiff_t row, ptrdiff_t dy,
                                 ptrdiff_t dx, ptrdiff_t xc) {
    using W = typename F::W;
    const int gc = GC > 0 ? GC : a.guid_ch;
    const ptrdiff_t pad = a.pad, pw = a.padded_width;
    const float* centre = a.guid_rows_f32[row] + xc;
    const float* neighbour = a.guid_rows_f32[row + dy] + xc + dx;
    const LoopInvariants<F>& fixed = *reread<F>(&invariant);
    W d = F::sub(F::load(neighbour), F::load(centre));
    W d2 = F::mul(d, d);
    for (int k = 1; k < gc; ++k) {
        d = F::sub(F::load(neighbour + k * pw), F::load(centre + k * pw));
        d2 = F::fmadd(d, d, d2);
    }
    d2 = F::min_nonnegative(d2, fixed.cap);
    const W h = F::mul(fixed.kappa_hi, d2);
    const W l = F::fmadd(fixed.kappa_lo, d2, F::fmsub(fixed.kappa_hi, d2, h));
    const float sigma = a.float_pass.kernel[(pad + dy) * (2 * pad + 1) + pad + dx];
    return F::mul(exp2_eighths<F>(h, l, fixed.poly), F::set1(sigma));
}

// The pair weights of this row's pixels with window row pad + dy, for column offsets dx from
// -pad (1 when dy is 0) to pad: plane dx + pad, at the upper (left) pixel's cache column, over
// the columns this row's pixels (cache columns pad .. width + pad - 1) and the lower pixels
// (whose partners lie dx to their left) need.
template <class F, int GC>
void paired_weights(const RowArgs& a, ptrdiff_t dy) {
    const ptrdiff_t pad = a.pad, pw = a.padded_width;
    const LoopInvariants<F> invariant = pair_constants<F>(a.float_pass);
    for (ptrdiff_t dx = dy == 0 ? 1 : -pad; dx <= pad; ++dx) {
        const ptrdiff_t lo = dx > 0 ? pad - dx : pad, hi = dx < 0 ? a.width + pad - dx : a.width + pad;
        float* out = a.paired->weights + (dx + pad) * pw;
        for (ptrdiff_t xc = lo;; xc += F::lanes) {
            if (xc > hi - F::lanes) xc = hi - F::lanes;  // the last block ends at hi
            F::store(out + xc, pair_weight<F, GC>(a, invariant, pad, dy, dx, xc));
            if (xc == hi - F::lanes) break;
        }
    }
}

// Adds float32 runs to the float64 sums of the F::lanes pixels at column x of a slot: weights
// in s, weighted values in n. `fresh` lanes only (the last block of a row overlaps the one
// before it, whose sums have them already).
template <class V, class F, int K>
inline void add_runs(const RowArgs& a, double* slot, ptrdiff_t x, typename F::W s, const typename F::W* n,
                     const double* fresh) {
    constexpr int M = F::lanes / V::lanes;
    const ptrdiff_t pw = a.padded_width;
    typename V::D part[M];
    auto add = [&](double* plane) {
        for (int j = 0; j < M; ++j) {
            double* p = plane + x + j * V::lanes;
            const typename V::D v = fresh ? V::mul(part[j], V::load(fresh + j * V::lanes)) : part[j];
            V::store(p, V::add(V::load(p), v));
        }
    };
    F::widen(s, part);
    add(slot);
    for (int k = 0; k < K; ++k) {
        F::widen(n[k], part);
        add(slot + (1 + k) * pw);
    }
}

// One run of the pixels at column x: the weights of plane dx + pad at cache column x + pad +
// shift(dx), times the image values of window row `image_row` at the same column plus `reach`
// times dx. Runs of at most fp.chunk offsets.
template <class V, class F, int K, class Weight>
inline void paired_run(const RowArgs& a, double* slot, ptrdiff_t x, const float* image_row, const double* fresh,
                       Weight weight) {
    using W = typename F::W;
    const ptrdiff_t pad = a.pad, ws = 2 * pad + 1, pw = a.padded_width;
    for (ptrdiff_t start = 0; start < ws; start += a.float_pass.chunk) {
        const ptrdiff_t end = start + a.float_pass.chunk < ws ? start + a.float_pass.chunk : ws;
        W s = F::zero();
        W n[K > 0 ? K : 1];
        for (int k = 0; k < K; ++k) n[k] = F::zero();
        for (ptrdiff_t i = start; i < end; ++i) {
            ptrdiff_t column;
            const W w = weight(i - pad, column);
            s = F::add(s, w);
            for (int k = 0; k < K; ++k) n[k] = F::fmadd(w, F::load(image_row + k * pw + column), n[k]);
        }
        add_runs<V, F, K>(a, slot, x, s, n, fresh);
    }
}

// The window row pad - dy (dy > 0) of this row's pixels at column x, its weights computed here:
// a row above did not pair them.
template <class V, class F, int GC, int K>
void direct_run(const RowArgs& a, double* slot, ptrdiff_t x, ptrdiff_t dy, const double* fresh) {
    const ptrdiff_t pad = a.pad;
    const LoopInvariants<F> invariant = pair_constants<F>(a.float_pass);
    paired_run<V, F, K>(a, slot, x, a.img_rows_f32[pad - dy], fresh, [&](ptrdiff_t dx, ptrdiff_t& column) {
        column = x + pad + dx;
        return pair_weight<F, GC>(a, invariant, pad, -dy, dx, x + pad);
    });
}

// The cheap values of the pixels at column x from their slot, as float_values() decides them.
template <class V, class F, int K>
inline unsigned paired_values(const RowArgs& a, const double* slot, ptrdiff_t x, double* acc) {
    using D = typename V::D;
    constexpr int M = F::lanes / V::lanes;
    const FloatPass& fp = a.float_pass;
    const D rel = V::set1(fp.rel_margin), abs_margin = V::set1(fp.abs_margin);
    unsigned lanes = 0;
    for (int j = 0; j < M; ++j) {
        const D sum = V::load(slot + x + j * V::lanes);
        for (int k = 0; k < K; ++k) {
            const D v = V::div(V::load(slot + (1 + k) * a.padded_width + x + j * V::lanes), sum);
            const D reach = V::add(V::mul(V::max(v, V::set1(1.0)), rel), abs_margin);
            lanes |= V::differ(convert<V>(a.conversion, V::sub(v, reach)), convert<V>(a.conversion, V::add(v, reach)))
                     << (j * V::lanes);
            V::store(acc + (j * K + k) * V::lanes, v);
        }
    }
    return lanes;
}

// Windows of a smaller reach are filtered unpaired: their short runs cost more than the
// weights they save (docs/exact_decision.md).
constexpr ptrdiff_t kMinPairedPad = 4;

// Whether a row does better paired: nearly every step tries the pass (flat areas, where the
// history skips it, would pay for pairs they never use).
inline bool pairs_pay(const RowArgs& a) {
    if (a.paired == nullptr || !a.float_pass.paired || a.width < kSingleStep || a.pad < kMinPairedPad) return false;
    if (!a.cheap.predict || a.block_history == nullptr) return true;
    const ptrdiff_t steps = (a.width + kSingleStep - 1) / kSingleStep;
    ptrdiff_t trying = 0;
    for (ptrdiff_t i = 0; i < steps; ++i) trying += (a.block_history[i] & 0xFF) == 0;
    return 4 * trying >= 3 * steps;
}

// A row by the single-precision pass in paired form, in steps of F::lanes pixels with one
// history entry each, as float_row() does.
template <class V, class F, int GC, Weigh How, int K>
void paired_row(const RowArgs& a) {
    static_assert(F::lanes == kSingleStep, "one history entry per step of kSingleStep pixels");
    constexpr int M = F::lanes / V::lanes;
    PairedRows& pr = *a.paired;
    const ptrdiff_t pad = a.pad, pw = a.padded_width, r = pr.row;
    const PairedSteps steps(a, F::lanes);

    if (a.counters != nullptr) ++a.counters->paired_rows;
    double* mine = paired_slot(a, r);
    for (ptrdiff_t dy = 0; dy <= pad; ++dy) {
        if (a.stop != nullptr && a.stop->load(std::memory_order_relaxed)) return;
        const bool lower = dy > 0 && r + dy < pr.band_end;
        // All of the window row's weights first, then the runs that read them, which keeps the
        // runs to loads and additions (docs/exact_decision.md, "Tried and dropped").
        paired_weights<F, GC>(a, dy);
        double* theirs = lower ? paired_slot(a, r + dy) : nullptr;
        const float* planes = pr.weights;
        steps.each([&](ptrdiff_t x, const double* f) {
            if (dy == 0) {
                // This row's own window row: the pairs to the right from here, those to the
                // left from the left pixel, the centre's spatial weight times the range weight 1.
                const float centre_weight = a.float_pass.kernel[pad * (2 * pad + 1) + pad];
                paired_run<V, F, K>(a, mine, x, a.img_rows_f32[pad], f, [&](ptrdiff_t dx, ptrdiff_t& column) {
                    column = x + pad + dx;
                    if (dx == 0) return F::set1(centre_weight);
                    const ptrdiff_t e = dx > 0 ? dx : -dx;
                    return F::load(planes + (e + pad) * pw + (dx > 0 ? x + pad : x + pad + dx));
                });
                return;
            }
            paired_run<V, F, K>(a, mine, x, a.img_rows_f32[pad + dy], f, [&](ptrdiff_t dx, ptrdiff_t& column) {
                column = x + pad + dx;
                return F::load(planes + (dx + pad) * pw + x + pad);
            });
            if (lower)
                paired_run<V, F, K>(a, theirs, x, a.img_rows_f32[pad], f, [&](ptrdiff_t dx, ptrdiff_t& column) {
                    column = x + pad - dx;
                    return F::load(planes + (dx + pad) * pw + column);
                });
        });
        if (lower) pr.delivered[(r + dy) % (pad + 1)] |= uint64_t{1} << dy;
    }

    // Steps that try the pass, and the window rows above that no row paired for them.
    steps.try_each(
        a, pr.delivered[r % (pad + 1)],
        [&](ptrdiff_t x) {
            for (int j = 0; j < M; ++j) exact_block<V, GC, How>(a, x + j * V::lanes);
        },
        [&](ptrdiff_t x, ptrdiff_t dy, const double* f) { direct_run<V, F, GC, K>(a, mine, x, dy, f); },
        [&](ptrdiff_t x, const double* f, uint16_t* h) {
            alignas(kScratchAlign) double acc[F::lanes / V::lanes * K * kMaxLanes];  // M blocks
            const unsigned lanes = paired_values<V, F, K>(a, mine, x, acc);
            note_cheap_pass(a, h, lanes, steps.counted(f), settle_step<V, F, GC, How, K>(a, x, acc, lanes));
            if (a.counters != nullptr) ++a.counters->single_blocks;
        });
}

}  // namespace
}  // namespace sovelk::fused::detail
