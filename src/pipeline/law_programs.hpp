// The library's law forms (law_fit.law_forms: each law, and each with constants folded in) as
// native programs (of each law's expression as given, as law_fit evaluates it) and as the law
// fits read them, made once per list of forms and kept while the same forms are asked for
// again.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "matching/law_fits.hpp"
#include "runtime/py.hpp"
#include "symbolic/program.hpp"

namespace kt {

struct LawPrograms {
    std::vector<object> forms;  // the LawForm objects: the cache key, by identity
    std::vector<FitForm> fit_forms;
    std::vector<std::optional<symbolic::Program>> programs;  // absent where it does not compile

    // Whether every form of n variables has its program (else law_fit evaluates one natively
    // uncompiled, and the row is judged there).
    bool complete(int n) const;

    // The values of form `k` under every mapping of the columns (rows x points), NaN where
    // they are not finite; false where the law cannot be evaluated there.
    bool values(const symbolic::Backend& math, int k, const Mappings& mappings,
                std::span<const std::span<const double>> columns, std::span<double> out) const;
};

std::shared_ptr<const LawPrograms> law_programs(handle forms);

}  // namespace kt
