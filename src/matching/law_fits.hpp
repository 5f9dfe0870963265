// Which law forms a formula equals numerically: law_fit.py's `fits` for formulas of at most
// `kMaxFullSearch` variables, where every mapping of the formula's variables onto the law's is
// tried. For each form with as many variables as the formula: its values under every mapping
// (itertools.permutations order), the affine fit y ~ a*z + b of each (kernels/affine_fit.hpp),
// and the best accepted one. Pure C++: the caller supplies the law's values.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace kt {

constexpr int kMaxFullSearch = 6;  // law_fit.MAX_FULL_SEARCH: 6! = 720 mappings

// Mappings of n formula variables onto n law variables: row r gives law variable j the formula
// variable `row(r)[j]`.
struct Mappings {
    int width = 0, rows = 0;
    std::vector<int> index;  // rows x width
    std::span<const int> row(int r) const {
        return {index.data() + (size_t)r * width, (size_t)width};
    }
};

// Every permutation of 0..n-1 in the order itertools.permutations gives them (lexicographic).
const Mappings& permutations(int n);

// What law_fit.py reads of a law form.
struct FitForm {
    int symbols;                // its variables
    std::optional<double> room; // with constants folded in: the largest |a - 1| accepted
};

struct FitSettings {
    double threshold;  // R² from which a fit is accepted (law_fit.R2_THRESHOLD)
    double min_valid;  // share of points both must be defined at (law_fit.MIN_VALID)
};

// The best accepted fit of one form.
struct FormFit {
    int form;  // index into the forms given
    double r2, a, b;
    std::vector<int> mapping;  // law variable j -> formula variable mapping[j]
};

// The values of form `form` at the points under each mapping: row r of `out` (mappings.rows x
// points) with law variable j at the formula's column mappings.row(r)[j]. False where the law
// cannot be evaluated (it then fits nothing).
using FormValues = std::function<bool(int form, const Mappings& mappings, std::span<double> out)>;

// The best accepted fit of every form with as many variables as `columns` (one per formula
// variable, each as long as y), in the forms' order; empty by `fits`'s early outs (no variable,
// too few finite values of y, a constant y). Nothing for more than kMaxFullSearch variables,
// which law_fit.py searches otherwise. std::invalid_argument for columns of other lengths or no
// points.
std::optional<std::vector<FormFit>> law_fits(std::span<const double> y,
                                             std::span<const std::span<const double>> columns,
                                             std::span<const FitForm> forms,
                                             const FitSettings& settings, const FormValues& values);

}  // namespace kt
