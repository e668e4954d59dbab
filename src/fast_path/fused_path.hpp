// The fast paths of joint_bilateral_filter: the statements after the padding computed by the fused
// native kernel, wherever nothing observable can differ from them.
#pragma once
#include "module/pyref.hpp"

namespace sovelk {

class StatementLine;

// Null when the attribute reads and global lookups of the statements can run no code of
// anybody's, so that reading more or fewer times than they do cannot be seen; else the reason.
const char* reads_observable(PyObject* self);
// The same for the reads of lines 39 to 41 on cv2: null when cv2 is a plain module whose
// attribute reads run nobody's code.
const char* padding_reads_observable();

// The whole call for 8-bit image and guidance whose padding was deferred (pad: the pad_w read):
// the inputs are copied, mirror-padded, into buffers of the call's own, filtered, and the 8-bit
// result written directly. A null Ref when the call is not provably the same as the statements
// (the caller then makes the deferred padding and goes on). Throws PyErrorSet for a real error
// (Ctrl-C), with `line` set to the statement it is reported at.
Ref fused_uint8_result(PyObject* self, PyObject* img, PyObject* guidance, Py_ssize_t pad, StatementLine& line);

// The float64 `output` of the weighted sums from the padded int32 arrays, or a null Ref when the
// call is not provably the same as the statements (the caller then runs them). Throws PyErrorSet
// for a real error (Ctrl-C, out of memory), with `line` set to the statement it is reported at.
Ref fused_output(PyObject* self, PyObject* img, PyObject* guidance, PyObject* padded_img,
                 PyObject* padded_guidance, StatementLine& line);

// Remembers why the fast path declined the call (the latest reason counts).
void note_decline(const char* reason);
// With SOVELK_EXPLAIN_PATH=1 at import, tells the logger "Sovelk" which path the call took:
// INFO when the statements run (with the reason), DEBUG when the int32 fast path ran instead of
// the 8-bit one, and DEBUG when a fast path ran. Nothing at all when the switch was off.
enum class PathTaken { statements, int32_kernel, uint8_kernel };
void explain_path(PathTaken path);

}  // namespace sovelk
