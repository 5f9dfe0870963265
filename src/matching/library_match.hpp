// Which known law a detected structure is: the strongest of identical (a member is a law with
// its variables renamed), scaled (the same up to a constant factor or an added constant),
// instance (the law is the generalised formula with its wildcards bound), near (a small
// name-blind tree distance from a member), or none: a new structure. And `bind`: what each wildcard
// and each variable of a formula stands for in one expression.
#pragma once

#include <deque>
#include <optional>
#include <vector>

#include "matching/form_match.hpp"
#include "runtime/py.hpp"

namespace kt {

// Largest name-blind tree distance, divided by the larger tree's size, still called near. On
// the development benchmark (bench/bench_verdict.py) a library law's variants with a rescaled
// variable lie 0.07 to 0.14 from their law (two at 0.29), while the nearest law to a held-out
// law's variants lies 0.25 or more away; on the bundled bank unrelated small formulas lie 0.2
// from a law (one edit in five nodes: F*r*sin(theta) against m*g*h).
constexpr double kNearThreshold = 0.15;

// The LibraryMatch of a structure (a candidate, or a formula alone) against the library, or None.
object match_library(handle candidate_or_formula, handle library, double near_threshold);
// The LibraryMatch record of a hit against the prepared library (None for no hit).
object match_record(const PreparedLibrary& lib, const Hit& hit);
object match_record(const PreparedLibrary& lib, const std::optional<Hit>& hit);

// What match_library decides from read trees: for a structure, from its formula (read with its
// wildcards) and its distinct members; for a formula given alone, from the formula.
std::optional<Hit> structure_hit(const PreparedLibrary& lib, const Shaped& formula,
                                 const std::deque<Shaped>& members, double near_threshold);
std::optional<Hit> formula_hit(const PreparedLibrary& lib, const Shaped& formula,
                               double near_threshold);
// What each wildcard and variable of `formula` stands for in `expression`, or None.
object bind(handle formula, handle expression);
// The pattern's symbols in the order bind lists what they stand for after match `m`: the
// variables, then the wildcards, each by the length of its name, then the name.
std::vector<size_t> binding_order(const ExprTree& pattern, const Matcher& m);

}  // namespace kt
