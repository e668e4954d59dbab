// The padded working copies of image and guidance.
#pragma once
#include "module/pyref.hpp"

namespace sovelk {

// cv2.copyMakeBorder(source, self.pad_w, self.pad_w, self.pad_w, self.pad_w, border_type)
//     .astype(np.int32)
// An empty source (None, or an array with a zero-length height or width) is refused with a
// ValueError naming `arg_name`: some OpenCV releases never return from padding it.
Ref pad_with_border(PyObject* self, PyObject* source, PyObject* border_type, const char* arg_name);

}  // namespace sovelk
