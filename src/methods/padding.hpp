// The padding statements of joint_bilateral_filter (lines::joint_bilateral_filter::kPadImg and
// kPadGuidance): image and guidance with a mirrored border of pad_w pixels, as int32.
#pragma once
#include "glue/pyref.hpp"
#include "module/traceback.hpp"

#include <optional>

namespace sovelk {

// cv2.copyMakeBorder(source, self.pad_w, self.pad_w, self.pad_w, self.pad_w, border_type)
//     .astype(np.int32)
// The constructor makes the statement's reads (cv2, its copyMakeBorder, pad_w four times);
// finish() makes the rest. In between, defer() may put off the calls of OpenCV's and numpy's own
// functions: where no read can run anybody's code and the source is a plain array, when those C
// functions run relative to the reads cannot be seen.
class BorderStatement {
public:
    BorderStatement(PyObject* self, PyObject* source, PyObject* border_type);

    // Reads np.int32 (the statement's remaining read) and keeps the calls for later. True when
    // deferred: the source is a plain numpy array, copyMakeBorder, the border type and np.int32
    // are the ones imported and pad_w is one plain int.
    bool defer();
    // pad_w as read (defer() returned true).
    Py_ssize_t pad() const { return pad_; }
    // The statement's calls (and, unless deferred, its remaining read): the padded int32 array.
    // Refuses, with MemoryError, padding the process cannot get the memory for.
    Ref finish();
    // The padded array came from numpy's own astype of a plain array (finish() has run).
    bool made_by_numpy() const { return made_by_numpy_; }

private:
    PyObject* source_;
    PyObject* border_type_;
    Ref copy_make_border_, top_, bottom_, left_, right_;
    Ref int32_;  // read by defer()
    Py_ssize_t pad_ = -1;
    bool made_by_numpy_ = false;
};

// Both padding statements, in order: the calls wait where they may.
class Padding {
public:
    // Makes the reads of both statements and, unless `may_wait` and both can wait, their calls.
    Padding(PyObject* self, PyObject* img, PyObject* guidance, PyObject* border_type, bool may_wait,
            StatementLine& line);
    // pad_w as read, while the calls wait; -1 once they are made (or when they could not wait).
    Py_ssize_t waiting_pad() const { return waiting_ ? img_->pad() : -1; }
    // Makes the calls that waited, each reported at its own statement's line.
    void finish();
    // The padded int32 arrays, once finished.
    PyObject* padded_img() const { return padded_img_.get(); }
    PyObject* padded_guidance() const { return padded_guidance_.get(); }
    // Both were made by numpy's own astype from plain arrays: new arrays that only this call can
    // reach.
    bool made_by_numpy() const { return img_->made_by_numpy() && guidance_->made_by_numpy(); }
    // Lets the padded arrays go once nothing needs them.
    void release() {
        padded_img_.reset();
        padded_guidance_.reset();
    }

private:
    StatementLine& line_;
    std::optional<BorderStatement> img_, guidance_;
    bool waiting_ = false;
    Ref padded_img_, padded_guidance_;
};

}  // namespace sovelk
