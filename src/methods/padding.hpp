// The padded working copies of image and guidance (lines 40 and 41).
#pragma once
#include "module/pyref.hpp"

namespace sovelk {

// cv2.copyMakeBorder(source, self.pad_w, self.pad_w, self.pad_w, self.pad_w, border_type)
//     .astype(np.int32)
// The constructor makes the statement's reads (cv2, its copyMakeBorder, pad_w four times);
// finish() makes the rest. In between, defer() may put off the calls of OpenCV's and numpy's own
// functions: where no read can run anybody's code and the source is a plain array, when those
// C functions run relative to the reads cannot be seen, so the fast path may skip them and
// finish() makes them only if it declines.
class BorderStatement {
public:
    BorderStatement(PyObject* self, PyObject* source, PyObject* border_type);

    // Reads np.int32 (the statement's remaining read) and keeps the calls for later. True when
    // deferred: the source is a plain numpy array, copyMakeBorder, the border type and np.int32
    // are the ones imported and pad_w is one plain int. False otherwise; finish() then completes
    // the statement.
    bool defer();

    // pad_w as read (defer() returned true).
    Py_ssize_t pad() const { return pad_; }

    // The statement's calls (and, unless deferred, its remaining reads): the padded int32 array.
    // Before OpenCV's call, a source whose contiguous copy and padded result cannot fit in the
    // memory the process can get is refused with MemoryError.
    Ref finish();

private:
    PyObject* source_;
    PyObject* border_type_;
    Ref copy_make_border_, top_, bottom_, left_, right_;
    Ref int32_;  // read by defer()
    Py_ssize_t pad_ = -1;
};

}  // namespace sovelk
