#include "symbolic/array_math.hpp"

#include "kernels/pairwise_sum.hpp"

#include <cmath>
#include <limits>

namespace kt::symbolic {

// A reduction starts from add's identity.
double sum(std::span<const double> a) { return kernels::numpy_sum(a.data(), a.size()); }

double mean(std::span<const double> a) { return sum(a) / (double)a.size(); }

namespace {

// `_replace_nan(a, 0)`: the values with NaN as 0, and how many were not NaN.
Doubles without_nan(std::span<const double> a, std::size_t& count) {
    Doubles out(a.begin(), a.end());
    count = 0;
    for (double& x : out) {
        if (std::isnan(x))
            x = 0.0;
        else
            ++count;
    }
    return out;
}

}  // namespace

double nanmean(std::span<const double> a) {
    std::size_t count = 0;
    const Doubles arr = without_nan(a, count);
    return sum(arr) / (double)count;
}

double nanvar(std::span<const double> a) {
    std::size_t count = 0;
    Doubles arr = without_nan(a, count);
    const double avg = sum(arr) / (double)count;
    for (std::size_t i = 0; i < arr.size(); ++i) {
        if (std::isnan(a[i])) {
            arr[i] = 0.0;
            continue;
        }
        const double d = arr[i] - avg;
        arr[i] = d * d;
    }
    return sum(arr) / (double)count;
}

Doubles linspace(double lo, double hi, std::size_t n) {
    Doubles y(n);
    const std::size_t div = n - 1;
    const double delta = hi - lo;
    for (std::size_t k = 0; k < n; ++k) y[k] = (double)k;
    if (n > 1) {
        const double step = delta / (double)div;
        if (step == 0) {
            for (double& v : y) v = v / (double)div * delta;
        } else {
            for (double& v : y) v *= step;
        }
    } else {
        for (double& v : y) v *= delta;
    }
    for (double& v : y) v += lo;
    if (n > 1) y[n - 1] = hi;
    return y;
}

Doubles logspace(const Backend& math, double lo, double hi, std::size_t n) {
    const Doubles y = linspace(lo, hi, n);
    Doubles out(n);
    const double base = 10.0;
    math.power(&base, true, y.data(), false, out.data(), n);
    return out;
}

Doubles diff(std::span<const double> a) {
    Doubles out(a.size() > 0 ? a.size() - 1 : 0);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = a[i + 1] - a[i];
    return out;
}

Doubles cumsum(std::span<const double> a) {
    Doubles out(a.begin(), a.end());
    for (std::size_t i = 1; i < out.size(); ++i) out[i] = out[i - 1] + out[i];
    return out;
}

Doubles absolute(std::span<const double> a) {
    Doubles out(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) out[i] = std::fabs(a[i]);
    return out;
}

long sign_changes(std::span<const double> a) {
    auto sign = [](double x) { return std::isnan(x) ? x : x > 0 ? 1.0 : x < 0 ? -1.0 : 0.0; };
    long changes = 0;
    for (std::size_t i = 1; i < a.size(); ++i) changes += (sign(a[i]) - sign(a[i - 1])) != 0.0;
    return changes;
}

double nan_to_num(double x) {
    if (std::isnan(x)) return 0.0;
    if (std::isinf(x))
        return x > 0 ? std::numeric_limits<double>::max() : -std::numeric_limits<double>::max();
    return x;
}

}  // namespace kt::symbolic
