#include "core/fused_kernel.hpp"

namespace sovelk::fused {

RangeRule make_range_rule(double sigma) {
    // Plain double operations in a fixed order (built with -ffp-contract=off): the numpy model in
    // the tests repeats them for the same bits.
    constexpr double kLn2 = 0x1.62e42fefa39efp-1;
    const double kappa8 = -8.0 / (2.0 * sigma * sigma * kLn2);
    RangeRule rule;
    rule.kappa_hi = static_cast<float>(kappa8);
    rule.kappa_lo = static_cast<float>(kappa8 - static_cast<double>(rule.kappa_hi));
    // 8 kappa D2 >= -960 up to roundings: n >= -961 keeps 2^floor(n / 8) >= 2^-121, normal.
    rule.cap = static_cast<float>(960.0 / -kappa8);
    return rule;
}

}  // namespace sovelk::fused
