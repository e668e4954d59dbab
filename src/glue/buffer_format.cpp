#include "glue/buffer_format.hpp"

namespace sovelk {

std::optional<SampleFormat> sample_format(const Py_buffer& view) {
    const char* f = view.format != nullptr ? view.format : "B";
    constexpr bool kBigEndian = PY_BIG_ENDIAN != 0;
    bool swapped = false;
    switch (*f) {
        case '@':
        case '=': ++f; break;
        case '<': swapped = kBigEndian; ++f; break;
        case '>':
        case '!': swapped = !kBigEndian; ++f; break;
        default: break;
    }
    if (f[0] == '\0' || f[1] != '\0') return std::nullopt;
    using fused::Sample;
    Sample sample;
    Py_ssize_t size;
    switch (f[0]) {
        case 'B': sample = Sample::uint8, size = 1; break;
        case 'H': sample = Sample::uint16, size = 2; break;
        case 'h': sample = Sample::int16, size = 2; break;
        case 'i':
        case 'l': sample = Sample::int32, size = 4; break;
        case 'f': sample = Sample::float32, size = 4; break;
        case 'd': sample = Sample::float64, size = 8; break;
        default: return std::nullopt;
    }
    if (view.itemsize != size) return std::nullopt;
    return SampleFormat{sample, swapped && size > 1};
}

}  // namespace sovelk
