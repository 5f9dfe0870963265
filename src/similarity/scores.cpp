#include "similarity/scores.hpp"

#include <cmath>
#include <limits>
#include <memory>
#include <optional>

#include "descriptors/structure.hpp"
#include "kernels/pairwise_sum.hpp"
#include "runtime/function.hpp"
#include "runtime/library_trees.hpp"
#include "runtime/numpy.hpp"
#include "runtime/off_gil.hpp"
#include "runtime/tree_walk.hpp"
#include "similarity/native_descriptor.hpp"
#include "similarity/weights.hpp"

namespace kt {

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
}  // namespace

object node_count(handle expr) { return pyint(count_nodes(expr)); }

// ---- compositionality ---------------------------------------------------------------------

double compositionality_of(const std::optional<kernels::FlatTree>& tree,
                           const LibraryTrees& library, std::optional<long long> singles) {
    long long best = -1;  // no comparison succeeded
    if (tree) {
        kernels::TreeDistanceScratch scratch;
        best = singles ? *singles : min_distance(*tree, library.singles, scratch);
        // A sum or product counts only when closer than every law.
        best = min_distance(*tree, library.pairs, scratch, best);
    }
    if (best < 0) return 0.0;
    const double score = std::exp(-0.25 * (double)best);
    return std::max(0.0, std::min(1.0, score));
}

object compositionality_score(handle formula, handle lib_exprs) {
    if (PyList_GET_SIZE(lib_exprs.ptr()) == 0) return pyfloat(0.0);
    object norm = normalize_wildcards(formula);
    std::shared_ptr<const LibraryTrees> library = library_trees(lib_exprs);
    Labels labels(&library->labels);
    return pyfloat(compositionality_of(tree_or_nothing(norm, labels), *library));
}

// ---- behavioural distance -----------------------------------------------------------------

namespace {

// Signed log1p: the order of magnitudes is kept, and a term of astronomical size no longer
// swamps the others in a weighted sum; values that are not finite map to 1.0.
double log_compressed(double x) {
    if (!std::isfinite(x)) return 1.0;
    return (x >= 0 ? 1.0 : -1.0) * std::log1p(std::fabs(x));
}

}  // namespace

// `_log_compress`: for a finite value a numpy float (the type numpy's log1p returns), else the
// float 1.0.
object log_compress(double x) {
    if (!std::isfinite(x)) return pyfloat(1.0);
    return np_fn("float64")(pyfloat(log_compressed(x)));
}

namespace {

double compressed(handle value) { return log_compressed(float_argument(value, "x")); }

// A member's behaviour vector brought to the grid's shape.
object on_grid(handle b, handle shape) {
    if (PyLong_AsLong(np_fn("ndim")(b).ptr()) == 0) {
        if (PyErr_Occurred()) throw nb::python_error();
        return np_fn("full")(shape, check(PyNumber_Float(b.ptr())));
    }
    if (equal(b.attr("shape"), shape)) return nb::borrow(b);
    object out;
    if (attempt([&] { out = np_fn("broadcast_to")(b, shape); })) return out;
    object fill =
        truth(b.attr("size")) ? check(PyNumber_Float(np_fn("mean")(b).ptr())) : pyfloat(0.0);
    return np_fn("full")(shape, fill);
}

object summary(handle cluster, const char* field) {
    object values = check(PyList_New(0));
    Items members(cluster);
    for (Py_ssize_t i = 0; i < members.size(); ++i)
        check_status(PyList_Append(values.ptr(), get_attr(members[i], field).ptr()));
    return check(PyNumber_Float(np_fn("nanmean")(values).ptr()));
}

double weighted(double vec_c, double deriv_c, double integ_c, double stab_c, double sens_c,
                double growth_pen) {
    return 0.6 * vec_c + 1.0 * deriv_c + 0.6 * integ_c + 0.8 * stab_c + 0.8 * sens_c +
           2.0 * growth_pen;
}

}  // namespace

double behaviour_distance(std::span<const double> mine, const BehaviourMeans& s,
                          std::span<const double> theirs, const double (&fields)[4],
                          double growth_pen) {
    double squares = 0.0;
    for (std::size_t i = 0; i < mine.size(); ++i) {
        const double d = mine[i] - theirs[i];
        squares += d * d;
    }
    return weighted(log_compressed(std::sqrt(squares)),
                    log_compressed(std::fabs(s.deriv - fields[0])),
                    log_compressed(std::fabs(s.integ - fields[1])),
                    log_compressed(std::fabs(s.stab - fields[2])),
                    log_compressed(std::fabs(s.sens - fields[3])), growth_pen);
}

namespace {

const char* const kMeanFields[4] = {"derivative_approx", "integral_approx", "stability_score",
                                    "sensitivity_perturbation"};

// One library entry through numpy and the fields' own arithmetic, for entries of any shape.
double entry_literal(handle cluster_bvec, handle deriv, handle integ, handle stab, handle sens,
                     handle growth, handle ld) {
    double vec_dist = kInf;
    attempt([&] {
        object norm = state().np.attr("linalg").attr("norm");
        vec_dist = as_double(norm(cluster_bvec - get_attr(ld, "behavior_vec")));
    });
    auto diff = [&](handle mine, const char* field) {
        return check(PyNumber_Absolute((mine - get_attr(ld, field)).ptr()));
    };
    object deriv_diff = diff(deriv, "derivative_approx");
    object integ_diff = diff(integ, "integral_approx");
    object stab_diff = diff(stab, "stability_score");
    object sens_diff = diff(sens, "sensitivity_perturbation");
    const double growth_pen = equal(growth, get_attr(ld, "growth_class")) ? 0.0 : 1.0;
    return weighted(log_compressed(vec_dist), compressed(deriv_diff), compressed(integ_diff),
                    compressed(stab_diff), compressed(sens_diff), growth_pen);
}

// The same for an entry as `describe` builds it (a float64 vector of the cluster vector's
// length, float fields); false for any other entry.
bool entry_native(const Float64View& mine, const BehaviourMeans& s, handle growth, handle ld,
                  double& out) {
    if (!mine.valid()) return false;
    object vec = get_attr(ld, "behavior_vec");
    Float64View theirs(vec);
    if (!theirs.valid() || theirs.size() != mine.size()) return false;
    double fields[4];
    for (int f = 0; f < 4; ++f) {
        object value = get_attr(ld, kMeanFields[f]);
        if (!PyFloat_CheckExact(value.ptr())) return false;
        fields[f] = PyFloat_AS_DOUBLE(value.ptr());
    }
    const double growth_pen = equal(growth, get_attr(ld, "growth_class")) ? 0.0 : 1.0;
    out = behaviour_distance({mine.data(), (std::size_t)mine.size()}, s,
                             {theirs.data(), (std::size_t)theirs.size()}, fields, growth_pen);
    return true;
}

}  // namespace

object behavioral_distance(handle cluster, handle lib_descs) {
    if (PyDict_GET_SIZE(lib_descs.ptr()) == 0) return pyfloat(kInf);
    Items members(cluster);
    object shape = module_global("GRID").attr("shape");
    object normalized = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < members.size(); ++i) {
        if (get_attr(members[i], "behavior_vec").is_none()) continue;
        check_status(PyList_Append(normalized.ptr(),
                                   on_grid(get_attr(members[i], "behavior_vec"), shape).ptr()));
    }
    if (PyList_GET_SIZE(normalized.ptr()) == 0) return pyfloat(kInf);
    object cluster_bvec = np_fn("nanmean")(np_fn("vstack")(normalized), nb::arg("axis") = 0);
    object deriv = summary(cluster, "derivative_approx");
    object integ = summary(cluster, "integral_approx");
    object stab = summary(cluster, "stability_score");
    object sens = summary(cluster, "sensitivity_perturbation");
    object growth = get_attr(members[0], "growth_class");

    double best = kInf;
    Float64View mine(cluster_bvec);
    const BehaviourMeans summaries{as_double(deriv), as_double(integ), as_double(stab),
                                   as_double(sens)};
    Items entries(check(PyDict_Values(lib_descs.ptr())));
    for (Py_ssize_t k = 0; k < entries.size(); ++k) {
        handle ld = entries[k];
        double d;
        if (!entry_native(mine, summaries, growth, ld, d))
            d = entry_literal(cluster_bvec, deriv, integ, stab, sens, growth, ld);
        if (d < best) best = d;  // min(best, d)
    }
    return pyfloat(best);
}

std::optional<LibraryBehaviour> library_behaviour(handle lib_descs) {
    LibraryBehaviour lib;
    Items entries(check(PyDict_Values(lib_descs.ptr())));
    for (Py_ssize_t k = 0; k < entries.size(); ++k) {
        handle ld = entries[k];
        LibraryBehaviour::Entry e;
        object vec = get_attr(ld, "behavior_vec");
        Float64View view(vec);
        if (!view.valid()) return std::nullopt;
        e.vec.assign(view.data(), view.data() + view.size());
        for (int f = 0; f < 4; ++f) {
            object value = get_attr(ld, kMeanFields[f]);
            if (!PyFloat_CheckExact(value.ptr())) return std::nullopt;
            e.fields[f] = PyFloat_AS_DOUBLE(value.ptr());
        }
        object growth = get_attr(ld, "growth_class");
        if (!PyUnicode_CheckExact(growth.ptr())) return std::nullopt;
        e.growth = utf8(growth);
        lib.entries.push_back(std::move(e));
    }
    return lib;
}

namespace {

// `float(np.nanmean(values))` of a list of floats.
double nanmean(std::vector<double> values) {
    std::size_t count = 0;
    for (double& x : values) {
        if (std::isnan(x))
            x = 0.0;
        else
            ++count;
    }
    return kernels::numpy_sum(values.data(), values.size()) / (double)count;
}

}  // namespace

std::optional<double> behavioural_distance_of(const std::vector<MemberBehaviour>& members,
                                              const LibraryBehaviour& lib, std::size_t grid) {
    if (lib.entries.empty()) return kInf;
    if (members.empty()) return std::nullopt;
    for (const MemberBehaviour& m : members)
        if (m.vec.size() != grid) return std::nullopt;
    for (const auto& e : lib.entries)
        if (e.vec.size() != grid) return std::nullopt;
    // np.nanmean(np.vstack(vectors), axis=0): numpy adds the rows one after the other to the
    // reduction's identity, column by column; a single column is one contiguous sum.
    std::vector<double> mine(grid, 0.0);
    std::vector<std::size_t> counts(grid, 0);
    if (grid == 1) {
        std::vector<double> column;
        for (const MemberBehaviour& m : members) column.push_back(m.vec[0]);
        mine[0] = nanmean(std::move(column));
    } else {
        for (const MemberBehaviour& m : members)
            for (std::size_t j = 0; j < grid; ++j)
                if (!std::isnan(m.vec[j])) {
                    mine[j] += m.vec[j];
                    ++counts[j];
                }
        for (std::size_t j = 0; j < grid; ++j) mine[j] /= (double)counts[j];
    }
    auto mean_of = [&](double MemberBehaviour::* field) {
        std::vector<double> values;
        for (const MemberBehaviour& m : members) values.push_back(m.*field);
        return nanmean(std::move(values));
    };
    const BehaviourMeans means{mean_of(&MemberBehaviour::deriv), mean_of(&MemberBehaviour::integ),
                               mean_of(&MemberBehaviour::stab), mean_of(&MemberBehaviour::sens)};
    double best = kInf;
    for (const auto& e : lib.entries) {
        const double d = behaviour_distance(mine, means, e.vec, e.fields,
                                            members[0].growth == e.growth ? 0.0 : 1.0);
        if (d < best) best = d;
    }
    return best;
}

// ---- recurrence and compression -----------------------------------------------------------

double cohesion_of(const std::vector<const kernels::StructureFields*>& structures,
                   const std::vector<const kernels::BehaviourFields*>& behaviours) {
    const int k = (int)structures.size();
    int largest = 0;
    for (const auto* s : structures) largest = std::max(largest, s->tree.size());
    const std::vector<double> weights = tree_weights(2 * largest);
    const bool heavy = (long long)largest * largest > kLongTreePair;
    std::vector<kernels::SimilarityScratch> scratch(pair_workers(k, 0, heavy));
    std::vector<double> values((size_t)k * k);
    for_each_pair(
        k,
        [&](int i, int j, int worker, const Stop& stop) {
            if (i == j) return;
            const double s = kernels::structural_similarity(*structures[i], *structures[j],
                                                            weights.data(), scratch[worker], &stop);
            const double b = kernels::behavioural_similarity(*behaviours[i], *behaviours[j]);
            values[(size_t)i * k + j] = kDefaultAlpha * s + kDefaultBeta * b;
        },
        0, heavy);
    // np.mean of the pairs (i < j) in order.
    std::vector<double> pairs;
    for (int i = 0; i < k; ++i)
        for (int j = i + 1; j < k; ++j) pairs.push_back(values[(size_t)i * k + j]);
    return kernels::numpy_sum(pairs.data(), pairs.size()) / (double)pairs.size();
}

namespace {

// The mean similarity of the pairs of a cluster of two or more (a tuple).
double mean_pair_similarity(handle cluster) {
    const Py_ssize_t k = PyTuple_GET_SIZE(cluster.ptr());
    Labels labels;
    std::vector<NativeDescriptor> native;
    if (read_all_native(cluster, labels, native)) {
        std::vector<const kernels::StructureFields*> structures;
        std::vector<const kernels::BehaviourFields*> behaviours;
        for (const auto& d : native) {
            structures.push_back(&d.structure);
            behaviours.push_back(&d.behaviour);
        }
        return cohesion_of(structures, behaviours);
    }
    object sims = check(PyList_New(0));
    object similarity = module_global("similarity");
    for (Py_ssize_t i = 0; i < k; ++i)
        for (Py_ssize_t j = i + 1; j < k; ++j)
            check_status(
                PyList_Append(sims.ptr(), similarity(item(cluster, i), item(cluster, j)).ptr()));
    return as_double(np_fn("mean")(sims));
}

}  // namespace

object cluster_cohesion(handle cluster_list) {
    object cluster = check(PyList_AsTuple(cluster_list.ptr()));  // as it is now
    return pyfloat(PyTuple_GET_SIZE(cluster.ptr()) <= 1 ? 0.0 : mean_pair_similarity(cluster));
}

object recurrence_strength(handle cluster_list, handle all_count_obj) {
    object cluster = check(PyList_AsTuple(cluster_list.ptr()));  // as it is now
    const Py_ssize_t k = PyTuple_GET_SIZE(cluster.ptr());
    if (k <= 1 || truth(compare(all_count_obj, pyint(1), Py_LE))) return pyfloat(0.0);
    const double mean_sim = mean_pair_similarity(cluster);
    const double all_count = PyLong_AsDouble(all_count_obj.ptr());
    if (all_count == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return pyfloat(kernels::recurrence_of(mean_sim, (double)k, all_count));
}

namespace {

// The sum of a list of exact ints that fit a machine word, or nothing.
std::optional<long long> int_sum(handle list) {
    long long total = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
        PyObject* v = PyList_GET_ITEM(list.ptr(), i);
        if (!PyLong_CheckExact(v)) return {};
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow || __builtin_add_overflow(total, x, &total)) return {};
    }
    return total;
}

// `float(max(0.0, min(1.0, gain)))`: min keeps 1.0 on a tie, max keeps 0.0.
object clamp_unit(handle gain) {
    object one = pyfloat(1.0), zero = pyfloat(0.0);
    object capped = truth(compare(gain, one, Py_LT)) ? nb::borrow(gain) : one;
    object floored = truth(compare(capped, zero, Py_GT)) ? capped : zero;
    return check(PyNumber_Float(floored.ptr()));
}

// `(total - nodes) / total` with Python's operators.
object divided(handle total, handle nodes) {
    object difference = check(PyNumber_Subtract(total.ptr(), nodes.ptr()));
    return check(PyNumber_TrueDivide(difference.ptr(), total.ptr()));
}

}  // namespace

double compression_of(long long total, long long nodes) {
    if (total <= 0) return 0.0;
    // Python divides ints below 2**53 exactly as doubles do.
    const double gain = (double)(total - nodes) / (double)total;
    return gain < 1.0 ? (gain > 0.0 ? gain : 0.0) : 1.0;
}

object compression_gain(handle cluster, handle formula) {
    object sizes = check(PyList_New(0));
    Items members(cluster);
    for (Py_ssize_t i = 0; i < members.size(); ++i)
        check_status(PyList_Append(sizes.ptr(), get_attr(members[i], "n_nodes").ptr()));
    if (std::optional<long long> total = int_sum(sizes); total && *total < kExactSize) {
        if (*total <= 0) return pyfloat(0.0);
        const long long nodes = count_nodes(formula);
        if (nodes >= kExactSize) return clamp_unit(divided(pyint(*total), pyint(nodes)));
        return pyfloat(compression_of(*total, nodes));
    }
    object total = get_attr(state().builtins, "sum")(sizes);  // as `sum` adds any numbers
    if (truth(compare(total, pyint(0), Py_LE))) return pyfloat(0.0);
    return clamp_unit(divided(total, node_count(formula)));
}

}  // namespace kt
