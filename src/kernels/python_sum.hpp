// Floats added up exactly as CPython 3.12's built-in `sum` adds them: the first item joins
// the start value 0 plainly, every later one with Neumaier's compensation, and the
// compensation is applied at the end only when it is finite. Scores compared after such a
// sum order candidates as Python's own `sum` would.
#pragma once

#include <cmath>

namespace kt::kernels {

class PythonSum {
public:
    void add(double x) {
        if (empty_) {
            total_ = 0.0 + x;  // `0 + x`: the int start turns into a float
            empty_ = false;
            return;
        }
        const double t = total_ + x;
        if (std::fabs(total_) >= std::fabs(x))
            compensation_ += (total_ - t) + x;
        else
            compensation_ += (x - t) + total_;
        total_ = t;
    }

    double value() const {
        if (compensation_ != 0.0 && std::isfinite(compensation_)) return total_ + compensation_;
        return total_;
    }

private:
    double total_ = 0.0, compensation_ = 0.0;
    bool empty_ = true;
};

}  // namespace kt::kernels
