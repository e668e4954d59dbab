// The fast path of joint_bilateral_filter: the statements between padding and the final cast,
// computed by the fused native kernel wherever nothing observable can differ from them.
#pragma once
#include "module/pyref.hpp"

namespace sovelk {

class StatementLine;

// The float64 `output` of the weighted sums, or a null Ref when the call is not provably the same
// as the statements (the caller then runs them). Throws PyErrorSet for a real error (Ctrl-C, out
// of memory), with `line` set to the statement it is reported at.
Ref fused_output(PyObject* self, PyObject* img, PyObject* guidance, PyObject* padded_img,
                 PyObject* padded_guidance, StatementLine& line);

// Captures what the eligibility checks compare against; called once numpy is imported.
void capture_numpy_originals(PyObject* numpy);
void release_numpy_originals();

}  // namespace sovelk
