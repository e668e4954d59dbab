// Requests for buffers padded already: the tests state most cases as padded int32 (or uint8)
// buffers, as the class's padding statements make them, and hand them to fused::filter() as an
// image whose output block starts pad rows and columns in, so that no window reaches a border.
#pragma once

#include <cstddef>

#include "core/fused_kernel.hpp"

namespace sovelk::fused::testing {

// A C-contiguous h x w x channels array of `sample` elements.
inline Strided contiguous(const void* data, Sample sample, ptrdiff_t h, ptrdiff_t w, int channels) {
    const ptrdiff_t item = sample == Sample::uint8 ? 1 : sample == Sample::float64 ? 8 : 4;
    Strided a;
    a.data = data;
    a.sample = sample;
    a.h = h;
    a.w = w;
    a.channels = channels;
    a.stride_c = item;
    a.stride_w = item * channels;
    a.stride_h = item * channels * w;
    return a;
}

// Image and guidance of (h + 2 pad) x (w + 2 pad) pixels of `sample` (uint8 or int32), weighed by
// the table, filtered into h x w x img_ch doubles (request), or bytes as numpy's clip and cast to
// uint8 gives them (request_u8).
struct Padded {
    const void* img = nullptr;
    const void* guid = nullptr;
    Sample sample = Sample::int32;
    ptrdiff_t h = 0, w = 0, pad = 0;
    int img_ch = 1, guid_ch = 1;
    const double* kernel_s = nullptr;
    const double* table = nullptr;
    ptrdiff_t table_len = 0;

    FilterRequest request(double* out) const { return to(out, Sample::float64); }
    FilterRequest request_u8(unsigned char* out_u8) const { return to(out_u8, Sample::uint8); }

private:
    FilterRequest to(void* out, Sample out_sample) const {
        FilterRequest q;
        q.image = contiguous(img, sample, h + 2 * pad, w + 2 * pad, img_ch);
        q.guidance = contiguous(guid, sample, h + 2 * pad, w + 2 * pad, guid_ch);
        q.row0 = q.col0 = q.pad = pad;
        q.rows = h;
        q.cols = w;
        q.kernel_s = kernel_s;
        q.table = table;
        q.table_len = table_len;
        q.out = contiguous(out, out_sample, h, w, img_ch);
        q.rounding = Rounding::truncate;
        return q;
    }
};

}  // namespace sovelk::fused::testing
