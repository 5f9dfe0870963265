// The least-squares fit y ~ a*z + b of a law's values z to a formula's values y at the same
// points, and its R², as law_fit.py's `_affine` defines them: over the points where both are
// finite; R² is 0 where fewer than `min_valid` of the points are, where z does not vary (its
// spread is below 1e-24 of its mean squared, per point) or where R² is not finite, and at most 1.
//
// Every sum is numpy's pairwise sum (`np.sum` over a row) of the row's n values, undefined
// points counting 0 in their places, so that the fit does not depend on how many rows are
// fitted together, and law_fit.py, which calls this kernel, gets the same numbers as native
// callers.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace kt::kernels {

struct AffineFit {
    double r2, a, b;
};

// Fits rows z against one y, reusing its buffers.
class AffineFitter {
public:
    AffineFitter(std::span<const double> y, double min_valid);
    // z has as many values as y.
    AffineFit operator()(std::span<const double> z);

private:
    double sum_of_products(const std::vector<double>& u, const std::vector<double>& v);

    std::span<const double> y_;
    double min_valid_;
    std::vector<unsigned char> y_finite_, valid_;
    std::vector<double> z_, y_kept_, dz_, dy_, dy_all_, product_;
    bool y_all_finite_ = false;
    double my_all_ = 0.0, syy_all_ = 0.0;  // y's mean and spread where every point counts
};

}  // namespace kt::kernels
