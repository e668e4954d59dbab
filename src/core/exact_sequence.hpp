// Pass 2 of the exact sequence: each weight divided by the weight sum, times the pixel value,
// summed in offset order, the bits numpy's statements give; and a block of pixels filtered by
// passes 1 and 2 alone (exact_block).
//
// Part of the row loop (fused_kernel_body.hpp), included by it: the same anonymous namespace, the
// same rule of calling no library function.

namespace sovelk::fused::detail {
namespace {

// How pass 2 obtains weight / sum.
enum class Quotient {
    divide,      // one real division per weight
    fma_domain,  // the sum passed the domain check: Pair::quotient_in_fma_domain
    stored,      // already divided into the scratch by an earlier sweep
};

template <class V, Quotient Q>
inline typename V::D quotient(typename V::D weight, typename V::D sum, typename V::D reciprocal) {
    if constexpr (Q == Quotient::fma_domain) {
        return V::quotient_in_fma_domain(weight, sum, reciprocal);
    } else {
        (void)reciprocal;
        return V::div(weight, sum);
    }
}

// Pass 2 for K image channels k0 .. k0 + K - 1: sum over the offsets, in offset order from +0.0,
// of (weight / sum) * pixel. The K accumulators land in acc[k * lanes + lane].
template <class V, int K, Quotient Q>
inline void accumulate(const RowArgs& a, ptrdiff_t c, int k0, const double* weights,
                       typename V::D sum, typename V::D reciprocal, double* acc) {
    using D = typename V::D;
    const ptrdiff_t pw = a.padded_width;
    const ptrdiff_t ws = 2 * a.pad + 1;
    D total[K];
    for (int k = 0; k < K; ++k) total[k] = V::zero();
    const double* wp = weights;
    for (ptrdiff_t ox = 0; ox < ws; ++ox) {
        const double* p = a.img_rows[ox] + k0 * pw + c;
        for (ptrdiff_t oy = 0; oy < ws; ++oy) {
            D q;
            if constexpr (Q == Quotient::stored) {
                q = V::load(wp);
            } else {
                q = quotient<V, Q>(V::load(wp), sum, reciprocal);
            }
            wp += V::lanes;
            for (int k = 0; k < K; ++k) total[k] = V::add(total[k], V::mul(q, V::load(p + k * pw + oy)));
        }
    }
    for (int k = 0; k < K; ++k) V::store(acc + k * V::lanes, total[k]);
}

template <class V, Quotient Q>
inline void accumulate_group(int channels, const RowArgs& a, ptrdiff_t c, int k0,
                             const double* weights, typename V::D sum,
                             typename V::D reciprocal, double* acc) {
    switch (channels) {
        case 1: accumulate<V, 1, Q>(a, c, k0, weights, sum, reciprocal, acc); break;
        case 2: accumulate<V, 2, Q>(a, c, k0, weights, sum, reciprocal, acc); break;
        case 3: accumulate<V, 3, Q>(a, c, k0, weights, sum, reciprocal, acc); break;
        default: accumulate<V, 4, Q>(a, c, k0, weights, sum, reciprocal, acc); break;
    }
}

// acc[k * lanes + lane], channels k0 .. k0 + channels - 1, into the interleaved output row.
template <class V>
inline void scatter(const RowArgs& a, ptrdiff_t c, const double* acc, int k0, int channels) {
    const int ic = a.img_ch;
    for (int k = 0; k < channels; ++k)
        for (int lane = 0; lane < V::lanes; ++lane) a.out_row[(c + lane) * ic + k0 + k] = acc[k * V::lanes + lane];
}

// Pass 2, the exact sequence, from the weights and sum of pass 1. Inlined by force: among the
// many instantiations of the block functions the compiler otherwise keeps it out of line, at a
// cost docs/exact_decision.md ("Tried and dropped") records.
template <class V>
__attribute__((always_inline)) inline void exact_values(const RowArgs& a, ptrdiff_t c, double* weights, typename V::D sum) {
    using D = typename V::D;
    bool fma_domain = false;
    D reciprocal = sum;
    if constexpr (V::has_fma) {
        // |sum| within [2^-60, 2^60] (a NaN fails the quiet compares) and every nonzero weight
        // within [2^-960, 2^960] keep each quotient and 1/sum far from overflow and subnormals,
        // the domain where fma_quotient is provably exact. Any weight that is infinite or NaN
        // makes the sum infinite or NaN, so those never get there.
        if (a.fma_division_allowed && V::abs_in_range(sum, 0x1p-60, 0x1p60)) {
            fma_domain = true;
            reciprocal = V::div(V::set1(1.0), sum);
        }
    }

    const int ic = a.img_ch;
    alignas(kScratchAlign) double acc[kChannelGroup * kMaxLanes];
    if (ic <= kChannelGroup) {
        // One sweep divides and accumulates every channel.
        if constexpr (V::has_fma) {
            if (fma_domain) {
                accumulate_group<V, Quotient::fma_domain>(ic, a, c, 0, weights, sum, reciprocal, acc);
                scatter<V>(a, c, acc, 0, ic);
                return;
            }
        }
        accumulate_group<V, Quotient::divide>(ic, a, c, 0, weights, sum, reciprocal, acc);
        scatter<V>(a, c, acc, 0, ic);
        return;
    }

    // Many channels: divide once into the scratch, then accumulate a group of channels per sweep.
    const ptrdiff_t n = (2 * a.pad + 1) * (2 * a.pad + 1);
    bool divided = false;
    if constexpr (V::has_fma) {
        if (fma_domain) {
            for (ptrdiff_t i = 0; i < n; ++i) {
                double* wp = weights + i * V::lanes;
                V::store(wp, quotient<V, Quotient::fma_domain>(V::load(wp), sum, reciprocal));
            }
            divided = true;
        }
    }
    if (!divided) {
        for (ptrdiff_t i = 0; i < n; ++i) {
            double* wp = weights + i * V::lanes;
            V::store(wp, V::div(V::load(wp), sum));
        }
    }
    for (int k0 = 0; k0 < ic; k0 += kChannelGroup) {
        const int channels = ic - k0 < kChannelGroup ? ic - k0 : kChannelGroup;
        accumulate_group<V, Quotient::stored>(channels, a, c, k0, weights, sum, reciprocal, acc);
        scatter<V>(a, c, acc, k0, channels);
    }
}

// Output pixels c .. c + lanes - 1 of the row by the exact sequence. The block functions are
// kept out of line: each is then compiled on its own, and a block that skips the cheap pass
// runs the very code of a call without it.
template <class V, int GC, Weigh How>
__attribute__((noinline)) void exact_block(const RowArgs& a, ptrdiff_t c) {
    CheapSums<V, 0> none;
    exact_values<V>(a, c, a.scratch, pass_one<V, GC, How>(a, c, a.scratch, none));
}

}  // namespace
}  // namespace sovelk::fused::detail
