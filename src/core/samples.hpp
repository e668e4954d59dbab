// Reading the samples of a caller's array: unaligned loads, finiteness told from the bits (no
// floating-point flag raised), and the dispatch from a Sample to its C++ type. Internal to the
// driver.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "core/fused_kernel.hpp"

namespace sovelk::fused::detail {

template <class T>
inline T load(const char* p) {  // any alignment
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Exponent all ones: infinity or NaN, told from the bits so that no flag is raised.
inline bool non_finite(float x) {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return (bits & 0x7F800000u) == 0x7F800000u;
}
inline bool non_finite(double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return (bits & 0x7FF0000000000000ull) == 0x7FF0000000000000ull;
}
inline bool is_nan(double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return (bits & 0x7FFFFFFFFFFFFFFFull) > 0x7FF0000000000000ull;
}

// A guidance value the range rule cannot take: NaN, infinite or beyond kMaxGuidance. From the
// bits, raising no flag: magnitudes order as their patterns do.
inline bool unusable_guidance(double x) {
    uint64_t bits, limit;
    const double max = kMaxGuidance;
    std::memcpy(&bits, &x, sizeof bits);
    std::memcpy(&limit, &max, sizeof limit);
    return (bits & 0x7FFFFFFFFFFFFFFFull) > limit;
}

// Calls f(T{}) with the C++ type of a sample.
template <class F>
void with_sample(Sample s, F&& f) {
    switch (s) {
        case Sample::uint8: f(uint8_t{}); break;
        case Sample::uint16: f(uint16_t{}); break;
        case Sample::int16: f(int16_t{}); break;
        case Sample::int32: f(int32_t{}); break;
        case Sample::float32: f(float{}); break;
        case Sample::float64: f(double{}); break;
    }
}

// Calls f with std::integral_constant<int, n> for the common channel counts and with 0 (the
// count then read at run time) for others: a count the compiler knows lets it convert several
// values per instruction. Row refills are a fifth of a call at sigma_s 1.
template <class F>
void with_channel_count(int n, F&& f) {
    switch (n) {
        case 1: f(std::integral_constant<int, 1>{}); break;
        case 3: f(std::integral_constant<int, 3>{}); break;
        default: f(std::integral_constant<int, 0>{}); break;
    }
}

}  // namespace sovelk::fused::detail
