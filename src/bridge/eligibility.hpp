// Whether the fused kernel may stand in for the filtering statements of one call: no Python code
// of anybody's would have run in what it replaces, numpy and OpenCV would have computed from the
// same arrays and weights, and no floating-point event occurred that numpy would have reported.
// Each check returns a Verdict that says which of these failed, in words for the explain log.
#pragma once
#include "core/fused_kernel.hpp"
#include "module/method_object.hpp"
#include "glue/pyref.hpp"

#include <vector>

namespace sovelk {

class Verdict {
public:
    static Verdict eligible() { return Verdict(nullptr); }
    static Verdict declined(const char* reason) { return Verdict(reason); }
    bool ok() const { return reason_ == nullptr; }
    const char* reason() const { return reason_; }

private:
    explicit Verdict(const char* reason) : reason_(reason) {}
    const char* reason_;
};

// The attribute reads of the statements on the filter object, and their lookups of np, can run
// nobody's code: reading more or fewer times than they do cannot be seen.
Verdict reads_unobservable(PyObject* self);
// The same for the padding statements' reads of cv2.
Verdict cv2_reads_unobservable();
// numpy's functions on the statements' way read, at each call, the names they read at import;
// `final_cast` adds those of the final clip and cast to uint8.
Verdict numpy_as_imported(bool final_cast);

// Image and guidance as the kernel takes them.
struct Inputs {
    Py_ssize_t h = 0, w = 0, img_ch = 0, guid_ch = 0;
};
enum class InputRule {
    uint8_unpadded,  // plain 8-bit arrays, their border mirrored by the kernel as it reads them
    any_padded,      // arrays the statements padded to int32 (any input dtype)
};
Verdict check_inputs(PyObject* img, PyObject* guidance, InputRule rule, Inputs& inputs);

// What the kernel reads from the filter object: the window geometry, the spatial weights and the
// range table for the guidance's channel count, copied because it runs without the GIL. Declined
// unless self's get_range_kernel is `range_kernel`, the class's own.
struct Weights {
    Py_ssize_t pad = -1, wndw_size = -1;
    std::vector<double> kernel_s, table;
};
Verdict read_weights(PyObject* self, const MethodInfo* range_kernel, Py_ssize_t guid_ch, Weights& weights);

// The kernel's result is the statements' in every observable way: no floating-point event that
// numpy's error settings would report. Raises (PyErrorSet) only if reading the settings fails.
Verdict events_unobservable(const fused::Result& result);

}  // namespace sovelk
