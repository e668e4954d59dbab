// The row loop's vector types: ScalarVec (one pixel), LaneIndices (the scalar side of N lanes:
// table bases and packed fields), Pair (two vectors side by side), and the float32 rounding of
// doubles that the cheap pass compares on the bits. Each instruction set's translation unit adds
// its own vector type beside these.
//
// Part of the row loop (fused_kernel_body.hpp), included by it: the same anonymous namespace, the
// same rule of calling no library function.

namespace sovelk::fused::detail {
namespace {

// The range weight of one lane of packed guidance: its channels' table entries multiplied left to
// right, one rounding each, as numpy's prod does. Done in scalar registers, so that a vector
// type builds one vector per offset from the products instead of one per channel.
template <int GC>
inline double lane_product(const double* folded_start, uint64_t fields, int gc_runtime) {
    const int gc = GC > 0 ? GC : gc_runtime;
    double p = folded_start[fields & 0xFFFF];
    for (int k = 1; k < gc; ++k) p = p * folded_start[(fields >> (16 * k)) & 0xFFFF];
    return p;
}

// Float32 rounding of doubles by their bits, raising no flag: the pattern rounded to the nearest
// one with 24 significant bits, ties to even, as converting to float32 and back gives it for
// values of float32's normal range, [2^-126, 2^127] in magnitude (the rounding mode must be to
// nearest, as it is wherever the cheap pass runs). Every vector path computes it so.
constexpr uint64_t kFloat32Half = 0x0FFFFFFF;            // below half of float32's last place
constexpr uint64_t kFloat32Cut = ~uint64_t{0x1FFFFFFF};  // the bits float32 keeps
constexpr uint64_t kFloat32Low = uint64_t{1023 - 126} << 52, kFloat32High = uint64_t{1023 + 127} << 52;
inline uint64_t float32_bits(uint64_t b) { return (b + kFloat32Half + (b >> 29 & 1)) & kFloat32Cut; }
inline bool float32_differs(double a, double b) {
    uint64_t x, y;
    __builtin_memcpy(&x, &a, sizeof x);
    __builtin_memcpy(&y, &b, sizeof y);
    const uint64_t mx = x & 0x7FFFFFFFFFFFFFFFull, my = y & 0x7FFFFFFFFFFFFFFFull;
    const bool normal = mx >= kFloat32Low && mx < kFloat32High && my >= kFloat32Low && my < kFloat32High;
    return !normal || float32_bits(x) != float32_bits(y);
}

// One pixel at a time: the portable path, and the path for rows narrower than a vector. It
// looks up the folded table like the vector paths (base pointer folded_table - centre).
struct ScalarVec {
    static constexpr int lanes = 1;
    static constexpr bool has_fma = false;
    using D = double;
    struct Centre {
        const double* base;
    };
    using Narrower = ScalarVec;
    static D zero() { return 0.0; }
    static D set1(double x) { return x; }
    static D load(const double* p) { return *p; }
    static void store(double* p, D v) { *p = v; }
    static Centre centre(const RowArgs&, const double* folded, const uint32_t* c) { return {folded - c[0]}; }
    static D lookup(const Centre& c, const uint32_t* g) { return c.base[g[0]]; }
    // Packed guidance (see RowArgs::packed_rows): `span_fields` holds span in every channel's
    // field, so fields() gives g_k - c_k + span per field, the folded table index from its start.
    struct Fields {
        uint64_t sum;
    };
    static Fields bias(uint64_t span_fields, const uint64_t* c) { return {span_fields - c[0]}; }
    static Fields fields(const Fields& bias, const uint64_t* g) { return {g[0] + bias.sum}; }
    template <int GC>
    static D field_product(const double* folded_start, const Fields& f, int gc) {
        return lane_product<GC>(folded_start, f.sum, gc);
    }
    static D add(D a, D b) { return a + b; }
    static D sub(D a, D b) { return a - b; }
    static D mul(D a, D b) { return a * b; }
    static D div(D a, D b) { return a / b; }
    // For the cheap pass (finite values, |x| <= 2^32 once clipped, round to nearest in force).
    static D min(D a, D b) { return b < a ? b : a; }
    static D max(D a, D b) { return b > a ? b : a; }
    static D trunc(D x) { return static_cast<double>(static_cast<int64_t>(x)); }
    // Adding and subtracting 1.5 x 2^52 leaves x rounded to an integer, ties to even.
    // Without -ffast-math the compiler keeps both roundings.
    static D nearest(D x) { return (x + 0x1.8p52) - 0x1.8p52; }
    static unsigned differ(D a, D b) { return a != b ? 1u : 0u; }
    static unsigned float32_differ(D a, D b) { return float32_differs(a, b) ? 1u : 0u; }
    static unsigned outside(D x, double lo, double hi) { return x > lo && x <= hi ? 0u : 1u; }
    static D keep_inside(D x, double lo, double hi, double other) { return x > lo && x <= hi ? x : other; }
};

// The scalar side of a vector type of N lanes: per lane, the table base shifted by the centre's
// value (base[l][g] is table[|g - centre|] for every guidance value g of the window), and for
// packed guidance the 64-bit sum of the neighbour's fields and the centre's bias (see
// ScalarVec). Lookups from these need no index arithmetic in vector registers.
template <int N>
struct LaneIndices {
    struct Centre {
        const double* base[N];
    };
    static Centre centre(const RowArgs&, const double* folded, const uint32_t* c) {
        Centre r;
        for (int l = 0; l < N; ++l) r.base[l] = folded - c[l];
        return r;
    }
    struct Fields {
        uint64_t sum[N];
    };
    static Fields bias(uint64_t span_fields, const uint64_t* c) {
        Fields r;
        for (int l = 0; l < N; ++l) r.sum[l] = span_fields - c[l];
        return r;
    }
    static Fields fields(const Fields& b, const uint64_t* g) {
        Fields r;
        for (int l = 0; l < N; ++l) r.sum[l] = g[l] + b.sum[l];
        return r;
    }
    // Each lane's range weight of packed guidance (lane_product) into p, for field_product.
    template <int GC>
    __attribute__((always_inline)) static void lane_products(const double* t, const Fields& f, int gc, double* p) {
        for (int l = 0; l < N; ++l) {
            double v = lane_product<GC>(t, f.sum[l], gc);
#if defined(__clang__) && (defined(__x86_64__) || defined(__i386__))
            // The empty asm hands each product on as an opaque scalar register: Clang's SLP
            // vectoriser would otherwise merge the lanes' table loads into gather instructions,
            // which lose to scalar loads here (docs/install.md). GCC makes the scalar code
            // unasked, and the barrier would only constrain its scheduling.
            __asm__("" : "+x"(v));
#endif
            p[l] = v;
        }
    }
};

// weight / sum by Markstein's method: with round-to-nearest, no flush-to-zero, sum and 1/sum
// normal, weight zero or at least 2^-960 and a normal quotient, each residual fma(-q, sum,
// weight) is exact and the second correction yields the correctly rounded quotient. Stopping
// after one correction is usually right but not provably, so both are done. Inside that domain
// neither this form nor a real divide raises any flag but inexact, so the flags the caller sees
// do not depend on the choice.
template <class V>
inline typename V::D fma_quotient(typename V::D weight, typename V::D sum, typename V::D reciprocal) {
    typename V::D q = V::mul(weight, reciprocal);
    q = V::fmadd(V::fnmadd(q, sum, weight), reciprocal, q);
    return V::fmadd(V::fnmadd(q, sum, weight), reciprocal, q);
}

// Two vectors side by side, 2 x V::lanes pixels. Each accumulation in the loops below is a chain
// of dependent additions; two independent vectors keep the adder busy while each waits for its
// previous sum. In the FMA domain the first half divides and the second uses fma_quotient, so
// the divider and the FMA units work at the same time; both give the same bits. It pays only where
// the divider limits pass 2, the AVX2 path, where alone the driver asks for it (docs/performance.md
// has the figures and commands). fma_quotient for both halves would put five FMA-unit operations
// per weight in competition with pass 2's products.
template <class V>
struct Pair {
    static constexpr int lanes = 2 * V::lanes;
    static constexpr bool has_fma = V::has_fma;
    struct D {
        typename V::D lo, hi;
    };
    struct Centre {
        typename V::Centre lo, hi;
    };
    using Narrower = V;
    static D zero() { return {V::zero(), V::zero()}; }
    static D set1(double x) { return {V::set1(x), V::set1(x)}; }
    static D load(const double* p) { return {V::load(p), V::load(p + V::lanes)}; }
    static void store(double* p, D v) {
        V::store(p, v.lo);
        V::store(p + V::lanes, v.hi);
    }
    static Centre centre(const RowArgs& a, const double* folded, const uint32_t* c) {
        return {V::centre(a, folded, c), V::centre(a, folded, c + V::lanes)};
    }
    static D lookup(const Centre& c, const uint32_t* g) {
        return {V::lookup(c.lo, g), V::lookup(c.hi, g + V::lanes)};
    }
    struct Fields {
        typename V::Fields lo, hi;
    };
    static Fields bias(uint64_t span_fields, const uint64_t* c) {
        return {V::bias(span_fields, c), V::bias(span_fields, c + V::lanes)};
    }
    static Fields fields(const Fields& bias, const uint64_t* g) {
        return {V::fields(bias.lo, g), V::fields(bias.hi, g + V::lanes)};
    }
    static D add(D a, D b) { return {V::add(a.lo, b.lo), V::add(a.hi, b.hi)}; }
    static D sub(D a, D b) { return {V::sub(a.lo, b.lo), V::sub(a.hi, b.hi)}; }
    static D mul(D a, D b) { return {V::mul(a.lo, b.lo), V::mul(a.hi, b.hi)}; }
    static D div(D a, D b) { return {V::div(a.lo, b.lo), V::div(a.hi, b.hi)}; }
    static D fmadd(D a, D b, D c) { return {V::fmadd(a.lo, b.lo, c.lo), V::fmadd(a.hi, b.hi, c.hi)}; }
    static D min(D a, D b) { return {V::min(a.lo, b.lo), V::min(a.hi, b.hi)}; }
    static D max(D a, D b) { return {V::max(a.lo, b.lo), V::max(a.hi, b.hi)}; }
    static D trunc(D x) { return {V::trunc(x.lo), V::trunc(x.hi)}; }
    static D nearest(D x) { return {V::nearest(x.lo), V::nearest(x.hi)}; }
    // Lane masks: bit l for lane l, the high half's lanes above the low half's.
    static unsigned differ(D a, D b) { return V::differ(a.lo, b.lo) | V::differ(a.hi, b.hi) << V::lanes; }
    static unsigned float32_differ(D a, D b) {
        return V::float32_differ(a.lo, b.lo) | V::float32_differ(a.hi, b.hi) << V::lanes;
    }
    static unsigned outside(D x, double lo, double hi) {
        return V::outside(x.lo, lo, hi) | V::outside(x.hi, lo, hi) << V::lanes;
    }
    static D keep_inside(D x, double lo, double hi, double other) {
        return {V::keep_inside(x.lo, lo, hi, other), V::keep_inside(x.hi, lo, hi, other)};
    }
    static D quotient_in_fma_domain(D w, D sum, D reciprocal) {
        return {V::div(w.lo, sum.lo), fma_quotient<V>(w.hi, sum.hi, reciprocal.hi)};
    }
    static bool abs_in_range(D x, double lo, double hi) {
        return V::abs_in_range(x.lo, lo, hi) && V::abs_in_range(x.hi, lo, hi);
    }
};

template <class V>
struct IsPair {
    static constexpr bool value = false;
};
template <class V>
struct IsPair<Pair<V>> {
    static constexpr bool value = true;
};

// Keeps a value loaded from memory in a register from here on: GCC may otherwise load it again
// as the memory operand of a later instruction, which loops bound by their loads (the paired
// rows' runs) cannot spare. keep_in_register(v, 0) takes a vector or a pair of halves.
template <class T>
__attribute__((always_inline)) inline void keep_in_register(T& v, long) {
#if defined(__x86_64__) || defined(__i386__)
    __asm__("" : "+v"(v));
#else
    (void)v;
#endif
}
template <class T>
__attribute__((always_inline)) inline auto keep_in_register(T& v, int) -> decltype(v.lo, void()) {
    keep_in_register(v.lo, 0L);
    keep_in_register(v.hi, 0L);
}

}  // namespace
}  // namespace sovelk::fused::detail
