#include "matching/law_fit_arrays.hpp"

#include "kernels/affine_fit.hpp"
#include "runtime/numpy.hpp"

namespace kt {

object affine_fit_arrays(handle y, handle z, double min_valid) {
    Float64View ys(y, 1), zs(z, 2);
    if (!ys.valid() || !zs.valid())
        raise(PyExc_ValueError,
              "y and z must be C-contiguous float64 arrays of 1 and 2 dimensions");
    if (zs.cols() != ys.size()) raise(PyExc_ValueError, "every row of z must be as long as y");
    const Py_ssize_t rows = zs.rows(), points = ys.size();
    object out[3];
    double* at[3];
    for (int k = 0; k < 3; ++k) {
        out[k] = np_fn("empty")(pyint(rows));
        Float64View view(out[k], 1, true);
        at[k] = view.mutable_data();
    }
    kernels::AffineFitter fitter({ys.data(), (size_t)points}, min_valid);
    for (Py_ssize_t r = 0; r < rows; ++r) {
        const kernels::AffineFit fit = fitter({zs.data() + r * points, (size_t)points});
        at[0][r] = fit.r2;
        at[1][r] = fit.a;
        at[2][r] = fit.b;
    }
    return nb::make_tuple(out[0], out[1], out[2]);
}

}  // namespace kt
