// The instruction-set paths: which the CPU has, which SOVELK_ISA allows, and the row loop of each.

#include <cstdlib>
#include <cstring>
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
        default: return false;
    }
}

namespace {
std::optional<Isa> isa_named(const char* setting) {
    for (Isa isa : {Isa::scalar, Isa::avx2, Isa::avx512})
        if (std::strcmp(setting, isa_name(isa)) == 0) return isa;
    return std::nullopt;
}
}  // namespace

Isa capped_isa(Isa hardware, const char* setting) {
    const std::optional<Isa> cap = setting == nullptr ? std::nullopt : isa_named(setting);
    if (!cap) return hardware;  // not a path name: ignored, like a malformed SOVELK_NUM_THREADS
    return static_cast<int>(*cap) < static_cast<int>(hardware) ? *cap : hardware;
}

Isa best_isa() {
    static const Isa best = [] {
        const char* setting = std::getenv("SOVELK_ISA");
        // Empty counts as unset, as `SOVELK_ISA= command` means in a shell.
        if (setting != nullptr && *setting != '\0' && !isa_named(setting))
            limits::warn_ignored_setting("SOVELK_ISA", setting, "avx512, avx2 or scalar");
        return capped_isa(isa_available(Isa::avx512) ? Isa::avx512
                          : isa_available(Isa::avx2) ? Isa::avx2
                                                     : Isa::scalar,
                          setting);
    }();
    return best;
}

const char* isa_name(Isa isa) {
    switch (isa) {
        case Isa::avx512: return "avx512";
        case Isa::avx2: return "avx2";
        default: return "scalar";
    }
}

}  // namespace detail

const char* path_name() { return detail::isa_name(detail::best_isa()); }

}  // namespace sovelk::fused
