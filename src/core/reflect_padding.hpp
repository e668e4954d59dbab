// Mirror padding of an 8-bit image into a buffer of its own: the border OpenCV's copyMakeBorder
// makes in BORDER_REFLECT mode, edge pixel repeated. Plain C++, no interpreter headers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sovelk::padding {

// An h x w x ch source of bytes, read through byte strides (any sign, zero included).
struct Source {
    const uint8_t* data = nullptr;  // address of element (0, 0, 0)
    ptrdiff_t h = 0, w = 0, ch = 0;
    ptrdiff_t stride_h = 0, stride_w = 0, stride_c = 0;
};

// Writes the (h + 2 pad) x (w + 2 pad) x ch C-contiguous padded copy of `src` to `dst`.
// False, writing nothing, for a source with an empty side or a negative pad.
bool pad_reflect(const Source& src, ptrdiff_t pad, uint8_t* dst);

}  // namespace sovelk::padding
