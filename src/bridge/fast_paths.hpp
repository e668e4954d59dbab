// The bridge between joint_bilateral_filter's statements and the fused native kernel. The
// statements make their padding reads, then call try_fast_paths() once: it gives back the call's
// result, or the weighted sums, or nothing (the padding finished) for the statements to go on.
#pragma once
#include "bridge/eligibility.hpp"
#include "module/pyref.hpp"
#include "module/traceback.hpp"

namespace sovelk {

// The statements' padding of image and guidance, whose calls of OpenCV's and numpy's own
// functions the bridge may put off and, when the 8-bit path takes the call, skip.
class DeferredPadding {
public:
    // pad_w as read, while the calls are put off; -1 once they are made (or when they could not
    // wait).
    virtual Py_ssize_t deferred_pad() const = 0;
    // Makes the calls that were put off, each reported at its own statement's line.
    virtual void finish() = 0;
    // The padded int32 arrays, once finished.
    virtual PyObject* padded_img() const = 0;
    virtual PyObject* padded_guidance() const = 0;
    // Both were made by numpy's own astype from plain arrays: new arrays that nothing but this
    // call can reach, which the kernel may read without the GIL as they are.
    virtual bool made_by_numpy() const = 0;

protected:
    ~DeferredPadding() = default;
};

// Whether the padding's calls may wait: the reads of the statements on the filter object and of
// cv2 can run nobody's code.
Verdict padding_may_wait(PyObject* self);

struct FastPathOutcome {
    Ref result;  // the 8-bit result: the call is done
    Ref output;  // the float64 weighted sums: the final clip and cast remain
    // Neither: the statements go on from the window stacks, the padding finished.
};

// `waiting` is padding_may_wait() as the caller found it before making the padding reads.
FastPathOutcome try_fast_paths(PyObject* self, PyObject* img, PyObject* guidance, DeferredPadding& padding,
                               Verdict waiting, StatementLine& line);

}  // namespace sovelk
