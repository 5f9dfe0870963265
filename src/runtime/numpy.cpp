#include "runtime/numpy.hpp"

#include <cstring>

namespace kt {

Float64View::Float64View(handle obj, int ndim, bool writable) {
    // Only genuine numpy arrays: other buffer exporters may mean something else by their items.
    if (!is_instance(obj, state().np.attr("ndarray"))) return;
    if (PyObject_GetBuffer(obj.ptr(), &view_,
                           PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_ND |
                               (writable ? PyBUF_WRITABLE : 0)) < 0) {
        PyErr_Clear();
        return;
    }
    held_ = true;
    if (view_.ndim != ndim || view_.itemsize != 8 || !view_.format ||
        (std::strcmp(view_.format, "d") != 0 && std::strcmp(view_.format, "=d") != 0 &&
         std::strcmp(view_.format, "<d") != 0))
        return;
    data_ = static_cast<const double*>(view_.buf);
    size_ = view_.len / 8;
    rows_ = ndim >= 1 ? view_.shape[0] : 1;
    cols_ = ndim >= 2 ? view_.shape[1] : 1;
}

}  // namespace kt
