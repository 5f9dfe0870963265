// The float64 reductions and sequences of numpy that describing a formula uses, computed in
// numpy's order of operations so that every result is numpy's to the bit.
#pragma once

#include <span>
#include <vector>

#include "symbolic/backend.hpp"

namespace kt::symbolic {

using Doubles = std::vector<double>;

// `np.sum(a)`, `np.mean(a)`, `np.nanmean(a)`, `np.nanvar(a)` of a 1-d float64 array.
double sum(std::span<const double> a);
double mean(std::span<const double> a);
double nanmean(std::span<const double> a);
double nanvar(std::span<const double> a);
// `np.linspace(lo, hi, n)` and `np.logspace(lo, hi, n)` of float64 bounds.
Doubles linspace(double lo, double hi, std::size_t n);
Doubles logspace(const Backend& math, double lo, double hi, std::size_t n);
// `np.diff(a)`, `np.cumsum(a)`, `np.abs(a)`.
Doubles diff(std::span<const double> a);
Doubles cumsum(std::span<const double> a);
Doubles absolute(std::span<const double> a);
// `np.sum(np.diff(np.sign(a)) != 0)`: how often the sign changes (NaN's sign differs from all).
long sign_changes(std::span<const double> a);
// `np.nan_to_num(x, nan=0.0)` of one value.
double nan_to_num(double x);

}  // namespace kt::symbolic
