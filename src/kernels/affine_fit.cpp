#include "kernels/affine_fit.hpp"

#include <cmath>

#include "kernels/pairwise_sum.hpp"

namespace kt::kernels {

namespace {

// np.maximum: NaN wins.
double nan_max(double a, double b) { return std::isnan(a) || a > b ? a : b; }

}  // namespace

AffineFitter::AffineFitter(std::span<const double> y, double min_valid)
    : y_(y), min_valid_(min_valid), y_finite_(y.size()), valid_(y.size()), z_(y.size()),
      y_kept_(y.size()), dz_(y.size()), dy_(y.size()), dy_all_(y.size()), product_(y.size()) {
    const std::size_t n = y.size();
    y_all_finite_ = true;
    for (std::size_t i = 0; i < n; ++i) {
        y_finite_[i] = std::isfinite(y[i]);
        y_all_finite_ = y_all_finite_ && y_finite_[i];
    }
    // A row defined everywhere meets y defined everywhere: y's side of its fit is the same for
    // every such row.
    if (y_all_finite_) {
        my_all_ = numpy_sum(y.data(), n) / (double)(n > 1 ? n : 1);
        for (std::size_t i = 0; i < n; ++i) dy_all_[i] = y[i] - my_all_;
        syy_all_ = sum_of_products(dy_all_, dy_all_);
    }
}

double AffineFitter::sum_of_products(const std::vector<double>& u, const std::vector<double>& v) {
    const std::size_t n = y_.size();
    for (std::size_t i = 0; i < n; ++i) product_[i] = u[i] * v[i];
    return numpy_sum(product_.data(), n);
}

AffineFit AffineFitter::operator()(std::span<const double> z) {
    const std::size_t n = y_.size();
    bool all = y_all_finite_;
    for (std::size_t i = 0; all && i < n; ++i) all = std::isfinite(z[i]);
    long count = 0;
    double my;
    const std::vector<double>* dy = &dy_;
    const double* kept = z_.data();  // z with undefined points at 0
    if (all) {
        kept = z.data();
        count = (long)n;
        my = my_all_;
        dy = &dy_all_;
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            const bool valid = y_finite_[i] && std::isfinite(z[i]);
            valid_[i] = valid;
            z_[i] = valid ? z[i] : 0.0;
            y_kept_[i] = valid ? y_[i] : 0.0;
            count += valid;
        }
    }
    const double points = (double)(count > 1 ? count : 1);
    const double mz = numpy_sum(kept, n) / points;
    if (all) {
        for (std::size_t i = 0; i < n; ++i) dz_[i] = z[i] - mz;
    } else {
        my = numpy_sum(y_kept_.data(), n) / points;
        for (std::size_t i = 0; i < n; ++i) {
            dz_[i] = valid_[i] ? z_[i] - mz : 0.0;
            dy_[i] = valid_[i] ? y_kept_[i] - my : 0.0;
        }
    }
    const double szz = sum_of_products(dz_, dz_);
    const double syy = all ? syy_all_ : sum_of_products(dy_, dy_);
    const double szy = sum_of_products(dz_, *dy);
    double r2 = szy * szy / (szz * syy);
    const double a = szy / szz;
    const double b = my - a * mz;
    const bool flat = !(szz > 1e-24 * nan_max(mz * mz, 1e-300) * points);
    const bool enough = (double)count >= min_valid_ * (double)n;
    r2 = enough && !flat && std::isfinite(r2) ? (r2 < 1.0 ? r2 : 1.0) : 0.0;
    return {r2, a, b};
}

}  // namespace kt::kernels
