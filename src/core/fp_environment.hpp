// The caller's floating-point environment as the workers take it, and the facts on which the FMA
// quotient's proof rests. Internal to the driver.
#pragma once

#include <cfenv>
#include <cstddef>
#include <cstdint>

namespace sovelk::fused::detail {

// The flags a call reports (Result::fp_flags).
constexpr int kReportedFlags = FE_DIVBYZERO | FE_OVERFLOW | FE_INVALID | FE_UNDERFLOW;

// Whether every nonzero finite weight kernel_s[i] * table[d_0] * ... * table[d_{guid_ch-1}], and
// every partial product on the way, lies within [2^-960, 2^960]. Together with the per-pixel
// check |sum| in [2^-60, 2^60] (done in the row loop) this puts every quotient in the domain
// where the FMA form is exact.
bool weights_in_fma_domain(const double* kernel_s, ptrdiff_t offsets, const double* table, ptrdiff_t table_len,
                           int64_t span, int guid_ch);

// Whether the current thread rounds to nearest without flush-to-zero or denormals-are-zero,
// which the FMA quotient's proof assumes.
bool environment_allows_fma_division();

// Whether the current thread rounds to nearest, in both the C environment and the SSE unit.
bool environment_rounds_to_nearest();

// Enter the caller's floating-point environment with traps masked: a trap enabled by the caller
// must not kill the process from a worker; the raised flags are reported instead.
void enter_environment(const fenv_t& env);

// Restores the calling thread's environment, status flags included, on every way out.
struct EnvironmentRestorer {
    const fenv_t& env;
    ~EnvironmentRestorer() { std::fesetenv(&env); }
};

}  // namespace sovelk::fused::detail
