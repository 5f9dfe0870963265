#include "pipeline/filter.hpp"

#include <cmath>
#include <limits>

#include "pipeline/compositions.hpp"
#include "runtime/library_trees.hpp"
#include "runtime/native_trees.hpp"
#include "runtime/state.hpp"
#include "runtime/symbols.hpp"

namespace kt {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Every sum and product of two library expressions (each expression also paired with
// itself), compared with each candidate's formula: natively where the formula's tree is held
// (compositions.hpp), else through sympy, the compositions flattened once per call.
class Compositions {
public:
    Compositions(handle lib_exprs, bool native)
        : lib_exprs_(nb::borrow(lib_exprs)), native_(native) {}

    // The smallest tree edit distance from each normalised formula to any composition;
    // infinite when none could be compared.
    std::vector<double> min_distances(const std::vector<handle>& formulas) {
        std::vector<double> out(formulas.size(), kInf);
        if (!native_ || PyList_GET_SIZE(lib_exprs_.ptr()) == 0) {
            for (size_t k = 0; k < formulas.size(); ++k) out[k] = sympy_distance(formulas[k]);
            return out;
        }
        std::shared_ptr<const CompositionTrees> compositions = CompositionTrees::of(lib_exprs_);
        symbolic::Pool pool;
        SympyOracle oracle;
        symbolic::Builder builder(pool, oracle);
        std::vector<kernels::FlatTree> trees;
        std::vector<size_t> at;
        for (size_t k = 0; k < formulas.size(); ++k) {
            try {
                const symbolic::Expr formula = from_sympy(pool, formulas[k]);
                trees.push_back(compositions->labelled(builder, formula));
                at.push_back(k);
            } catch (const symbolic::Unsupported&) {
                out[k] = sympy_distance(formulas[k]);
            }
        }
        const std::vector<long long> found = compositions->min_distances(trees);
        for (size_t j = 0; j < at.size(); ++j) out[at[j]] = found[j] < 0 ? kInf : (double)found[j];
        return out;
    }

    double min_distance(handle formula) { return min_distances({formula})[0]; }

private:
    double sympy_distance(handle formula) {
        object normalized = module_global("_normalize_wildcards")(formula);
        if (PyList_GET_SIZE(lib_exprs_.ptr()) == 0) return kInf;
        build();
        auto tree = tree_or_nothing(normalized, *labels_);
        if (!tree) return kInf;
        long long best = kt::min_distance(*tree, library_->pairs, scratch_);
        const long long own = kt::min_distance(*tree, self_pairs_, scratch_);
        if (own >= 0 && (best < 0 || own < best)) best = own;
        return best < 0 ? kInf : (double)best;
    }

    void build() {
        if (library_) return;
        auto library = library_trees(lib_exprs_);
        auto labels = std::make_unique<Labels>(&library->labels);
        std::vector<std::optional<kernels::FlatTree>> self_pairs;
        for (const object& a : library->exprs) {
            object sum = check(PyNumber_Add(a.ptr(), a.ptr()));
            self_pairs.push_back(tree_or_nothing(sum, *labels));
            object product = check(PyNumber_Multiply(a.ptr(), a.ptr()));
            self_pairs.push_back(tree_or_nothing(product, *labels));
        }
        library_ = std::move(library);
        labels_ = std::move(labels);
        self_pairs_ = std::move(self_pairs);
    }

    object lib_exprs_;
    bool native_;
    std::shared_ptr<const LibraryTrees> library_;
    std::unique_ptr<Labels> labels_;
    std::vector<std::optional<kernels::FlatTree>> self_pairs_;
    kernels::TreeDistanceScratch scratch_;
};

void discard(handle discarded, handle reason, handle candidate) {
    append(discarded, nb::make_tuple(reason, candidate));
}

void sort_by_novelty(handle list) {
    object key = import_module("operator").attr("attrgetter")("novelty");
    list.attr("sort")(nb::arg("key") = key, nb::arg("reverse") = true);
}

// The tests that come before the composition distance, which a caller measuring distances
// apart needs without the library.
class EarlyTests {
public:
    EarlyTests(handle min_members, double max_wildcard_density)
        : min_members_(min_members), max_density_(pyfloat(max_wildcard_density)),
          density_of_(module_global("_wildcard_density")) {}

    // Why the candidate is discarded, or an invalid object when it reaches the distance test.
    object reason(handle c) const {
        if (truth(compare(pyint(length(get_attr(c, "members"))), min_members_, Py_LT)))
            return pystr("too few members (not recurring)");
        if (is_wildcard(get_attr(c, "formula"))) return pystr("bare wildcard");
        object density = density_of_(get_attr(c, "formula"));
        if (truth(compare(density, max_density_, Py_GT)))
            return concat(
                {pystr("too generic (wildcard density "), format(density, ".2f"), pystr(")")});
        return object();
    }

private:
    handle min_members_;
    object max_density_, density_of_;
};

}  // namespace

object filter_candidates(const FilterCall& call) {
    object lib_exprs = check(PyDict_Values(call.library.ptr()));
    Compositions compositions(lib_exprs, true);
    const EarlyTests early(call.min_members, call.max_wildcard_density);

    object novel = check(PyList_New(0)), repeated = check(PyList_New(0));
    object discarded = check(PyList_New(0));
    object candidates = check(PySequence_Tuple(call.candidates.ptr()));
    const Py_ssize_t n = PyTuple_GET_SIZE(candidates.ptr());
    const bool given = call.distances.is_valid() && !call.distances.is_none();
    if (given && length(call.distances) != n)
        raise(PyExc_ValueError, "distances must hold one entry per candidate");
    for (Py_ssize_t i = 0; i < n; ++i) {
        handle c = PyTuple_GET_ITEM(candidates.ptr(), i);
        if (object reason = early.reason(c); reason.is_valid()) {
            discard(discarded, reason, c);
            continue;
        }
        object known = given ? item(call.distances, i) : none();
        const double distance =
            known.is_none() ? compositions.min_distance(get_attr(c, "formula")) : as_double(known);
        if (distance < call.composition_threshold) {
            discard(discarded, pystr("already expressible"), c);
            continue;
        }
        object novelty = get_attr(c, "novelty");
        if (truth(compare(novelty, pyfloat(call.novel_threshold), Py_GE)))
            append(novel, c);
        else if (truth(compare(novelty, pyfloat(call.repeated_threshold), Py_GE)))
            append(repeated, c);
        else
            discard(discarded, pystr("novelty too low"), c);
    }
    sort_by_novelty(novel);
    sort_by_novelty(repeated);
    return module_global("FilterResult")(nb::arg("novel") = novel, nb::arg("repeated") = repeated,
                                         nb::arg("discarded") = discarded);
}

object filter_pending(const FilterPendingCall& call) {
    const EarlyTests early(call.min_members, call.max_wildcard_density);
    object candidates = check(PySequence_Tuple(call.candidates.ptr()));
    object out = new_list();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(candidates.ptr()); ++i)
        append(out, pybool(!early.reason(PyTuple_GET_ITEM(candidates.ptr(), i)).is_valid()));
    return out;
}

object composition_distances(const CompositionDistancesCall& call) {
    Compositions compositions(check(PyDict_Values(call.library.ptr())), call.native);
    Items items(call.formulas);
    std::vector<handle> formulas;
    for (Py_ssize_t i = 0; i < items.size(); ++i) formulas.push_back(items[i]);
    object out = new_list();
    for (double d : compositions.min_distances(formulas)) append(out, pyfloat(d));
    return out;
}

}  // namespace kt
