// The instruction-set paths: which the CPU has, which SOVELK_ISA allows, and the row loop of each.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>

#include "core/batch.hpp"
#include "core/process_limits.hpp"

namespace sovelk::fused {

namespace detail {

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

const char* isa_name(Isa isa) {
    switch (isa) {
        case Isa::avx512: return "avx512";
        case Isa::avx2: return "avx2";
        case Isa::neon: return "neon";
        default: return "scalar";
    }
}

}  // namespace detail

const char* path_name() { return detail::isa_name(detail::best_isa()); }

}  // namespace sovelk::fused
