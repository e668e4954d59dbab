// Joint bilateral upsampling on the fused kernel: a low-resolution image brought to the size of
// its guidance, each output pixel the weighted mean of the low-resolution samples around its
// place on the low grid. Plain C++17, no interpreter headers.
//
// Output pixel (Y, X) with Y = f k + py and X = f l + px (f the factor; the phase (py, px) in
// 0 .. f - 1) lies at (k + dy, l + dx) on the low grid, dy = (py + 0.5) / f - 0.5: pixel centres
// aligned. Its window is the low pixels (k + m, l + n), m and n in -pad .. pad, read with the
// border beyond the low image; the weight of offset (m, n) is the phase's spatial weight of that
// offset (the caller's kernel of the phase, f^2 kernels in all) times the range weight of the
// guidance at the sample against the guidance at (Y, X). A sample's guidance is the guidance at
// its own full-resolution place, (f i + (f - 1) / 2, f j + (f - 1) / 2), read with the low image's
// border, guidance_cval in a constant border. From there on the arithmetic is filter()'s, operand
// for operand (fused_kernel.hpp), with these differences:
//   - a pixel whose weights add up to 0 (every one underflowed) takes its nearest sample, (k, l),
//     instead of 0 / 0;
//   - with holes, a sample whose every channel equals `hole` takes no part: the image is filtered
//     with its channels set to 0 there and one channel more, 1 for a sample and 0 for a hole, and
//     the result is each channel's weighted mean divided by the extra channel's, or `hole` where
//     that is 0 (no sample in the window).
// Per phase, the output pixels form an h x w grid whose windows slide one low pixel at a time:
// each is filtered as a joint filter on the low grid, the row cache holding low rows only.
#pragma once

#include <cstdint>
#include <functional>

#include "core/fused_kernel.hpp"

namespace sovelk::fused {

struct UpsampleRequest {
    // The joint filter's request, with these fields read otherwise: `image` is the low image, h x w;
    // `guidance` is at full resolution, factor h x factor w; `kernel_s` holds factor^2 kernels of
    // (2 pad + 1)^2 spatial weights, phase (py, px)'s from (py factor + px) (2 pad + 1)^2 on; the
    // output block (row0, rows, col0, cols, out) is in full-resolution pixels.
    FilterRequest source;
    int factor = 1;
    bool holes = false;
    double hole = 0.0;  // with holes; finite
};

// Upsamples as filter() filters: the same worker pool, poll, results and statuses.
Result upsample(const UpsampleRequest& request, int threads, const std::function<bool()>& poll);

// Memory one worker thread allocates for `request`, in bytes; 0 for a request upsample() would
// refuse.
uint64_t bytes_per_thread(const UpsampleRequest& request);

namespace detail {

// upsample() with chosen paths; Status::invalid_argument if the CPU lacks options.isa.
Result upsample_with(const UpsampleRequest& request, int threads, const std::function<bool()>& poll,
                     const Options& options);

}  // namespace detail
}  // namespace sovelk::fused
