#include "core/reflect_padding.hpp"

#include "core/fused_kernel.hpp"

#include <cstring>

namespace sovelk::padding {

namespace {

ptrdiff_t reflect_index(ptrdiff_t p, ptrdiff_t len) { return fused::border_index(p, len, fused::Border::reflect); }

}  // namespace

bool pad_reflect(const Source& src, ptrdiff_t pad, uint8_t* dst) {
    if (src.h < 1 || src.w < 1 || src.ch < 1 || pad < 0 || src.data == nullptr || dst == nullptr)
        return false;
    const ptrdiff_t ch = src.ch;
    const ptrdiff_t row_bytes = (src.w + 2 * pad) * ch;
    const bool packed_pixels = src.stride_c == 1 && src.stride_w == ch;
    for (ptrdiff_t r = 0; r < src.h + 2 * pad; ++r) {
        uint8_t* out = dst + r * row_bytes;
        const uint8_t* in = src.data + reflect_index(r - pad, src.h) * src.stride_h;
        // The image part of the row first; the side borders then copy from it.
        uint8_t* middle = out + pad * ch;
        if (packed_pixels) {
            std::memcpy(middle, in, static_cast<size_t>(src.w * ch));
        } else {
            for (ptrdiff_t x = 0; x < src.w; ++x)
                for (ptrdiff_t k = 0; k < ch; ++k) middle[x * ch + k] = in[x * src.stride_w + k * src.stride_c];
        }
        for (ptrdiff_t x = 0; x < pad; ++x) {
            std::memcpy(out + x * ch, middle + reflect_index(x - pad, src.w) * ch, static_cast<size_t>(ch));
            const ptrdiff_t right = src.w + pad + x;
            std::memcpy(out + right * ch, middle + reflect_index(src.w + x, src.w) * ch, static_cast<size_t>(ch));
        }
    }
    return true;
}

}  // namespace sovelk::padding
