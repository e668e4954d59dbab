// The one reading of a buffer's format in both extension modules: which of the core's sample
// types its elements are, and in which byte order.
#pragma once
#include "core/fused_kernel.hpp"
#include "glue/pyref.hpp"

#include <optional>

namespace sovelk {

struct SampleFormat {
    fused::Sample sample;
    // The elements are stored in the other byte order than this machine's ('<' on a big-endian
    // one, '>' or '!' on a little-endian one): usable only by reversing each element's bytes.
    bool swapped;
};

// The sample type of a buffer's elements: one format character of uint8 ('B'), uint16 ('H'),
// int16 ('h'), int32 ('i', or 'l' of 4 bytes), float32 ('f') or float64 ('d'), which the item
// size must match, after at most one byte-order prefix. A buffer without a format holds bytes.
// Empty for anything else.
std::optional<SampleFormat> sample_format(const Py_buffer& view);

// The same, for elements in this machine's byte order only.
inline std::optional<fused::Sample> native_sample(const Py_buffer& view) {
    const std::optional<SampleFormat> f = sample_format(view);
    if (!f || f->swapped) return std::nullopt;
    return f->sample;
}

// An (h, w) or (h, w, channels) buffer of `sample` elements, as the core reads (or writes) it
// through its strides.
inline fused::Strided strided_of(const Py_buffer& view, fused::Sample sample) {
    fused::Strided a;
    a.data = view.buf;
    a.sample = sample;
    a.h = view.shape[0];
    a.w = view.shape[1];
    a.channels = view.ndim == 3 ? static_cast<int>(view.shape[2]) : 1;
    a.stride_h = view.strides[0];
    a.stride_w = view.strides[1];
    a.stride_c = view.ndim == 3 ? view.strides[2] : view.itemsize;
    return a;
}

}  // namespace sovelk
