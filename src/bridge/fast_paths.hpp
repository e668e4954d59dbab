// The fused kernel's two attempts at joint_bilateral_filter's work. The method's body decides
// when each is made (methods/joint_bilateral_filter.cpp); each attempt does its whole part of the
// call and gives back its result or the reason it declined, leaving nothing half done.
#pragma once
#include "bridge/eligibility.hpp"
#include "module/method_object.hpp"
#include "glue/pyref.hpp"
#include "module/traceback.hpp"

namespace sovelk {

// One call of joint_bilateral_filter, as the attempts see it.
struct FilterCall {
    PyObject* self;
    PyObject* img;
    PyObject* guidance;
    // The class's own get_range_kernel: where self's resolves to anything else, the statements
    // would run somebody's code, and every attempt declines.
    const MethodInfo* range_kernel;
    // Where the attempt's own failures report (MemoryError, KeyboardInterrupt).
    StatementLine& line;
};

// An attempt's outcome: `value` when the kernel ran and its result stands; otherwise empty, and
// `verdict` says why it declined.
struct Attempt {
    Ref value;
    Verdict verdict = Verdict::eligible();
    bool ran() const { return static_cast<bool>(value); }
};

// Whether the padding statements' calls may wait until the 8-bit attempt has declined: the
// reads of the statements on the filter object and of cv2 can run nobody's code.
Verdict padding_may_wait(PyObject* self);

// The whole call for plain 8-bit arrays whose padding waited, `pad` being pad_w as the padding
// statements read it: the kernel reads the caller's arrays where they are, mirrors the border as
// OpenCV's BORDER_REFLECT pads it, and writes the 8-bit result. `value` is that result.
Attempt try_uint8_kernel(const FilterCall& call, Py_ssize_t pad);

// The float64 weighted sums from the padded int32 arrays the padding statements made, which
// only the final clip and cast then remain to turn into the result. `owned`: both were made by
// numpy's own astype from plain arrays, new arrays that only this call can reach, which the
// kernel may read without the GIL as they are (others are copied first).
Attempt try_int32_kernel(const FilterCall& call, PyObject* padded_img, PyObject* padded_guidance, bool owned);

// With SOVELK_EXPLAIN_PATH=1 at import, tells the logger "Sovelk" which path the call took and
// why the paths before it declined.
enum class PathTaken { statements, int32_kernel, uint8_kernel };
void explain_path(PathTaken path, const char* reason);

}  // namespace sovelk
