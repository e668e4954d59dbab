// The one border index of the core: what a window reads beyond an axis, in every border mode.
#include "core/fused_kernel.hpp"

namespace sovelk::fused {

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

}  // namespace sovelk::fused
