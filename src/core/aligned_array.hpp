// Buffers aligned for the row loop's vector loads and stores (kScratchAlign), owned by a
// unique_ptr. Internal to the driver.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

#include "core/fused_kernel_row.hpp"

namespace sovelk::fused::detail {

struct AlignedFree {
    void operator()(void* p) const { ::operator delete[](p, std::align_val_t{kScratchAlign}); }
};
template <class T>
using AlignedArray = std::unique_ptr<T[], AlignedFree>;

template <class T>
AlignedArray<T> aligned_array(ptrdiff_t n) {  // throws std::bad_alloc
    void* p = ::operator new[](static_cast<size_t>(n) * sizeof(T), std::align_val_t{kScratchAlign});
    return AlignedArray<T>(static_cast<T*>(p));
}

}  // namespace sovelk::fused::detail
