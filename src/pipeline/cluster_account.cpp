#include "pipeline/cluster_account.hpp"

#include <cmath>

#include "kernels/similarity.hpp"
#include "runtime/off_gil.hpp"
#include "runtime/state.hpp"

namespace kt {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

object mul(double w, handle x) { return check(PyNumber_Multiply(pyfloat(w).ptr(), x.ptr())); }
object add(handle x, handle y) { return check(PyNumber_Add(x.ptr(), y.ptr())); }
object ratio(handle x, double scale) {
    return check(PyNumber_TrueDivide(x.ptr(), pyfloat(scale).ptr()));
}

const char* const kPartNames[] = {"formula",         "kept",       "structural",
                                  "closest",         "behavioral", "compositionality",
                                  "compression_gain"};

}  // namespace

Library library_of(handle library, handle lib_descs) {
    Library lib;
    Items entries(check(PyDict_Items(library.ptr())));
    for (Py_ssize_t i = 0; i < entries.size(); ++i) {
        auto [name, expr] = unpack2(entries[i]);
        append(lib.names, name);
        append(lib.exprs, expr);
    }
    lib.descs = nb::borrow(lib_descs);
    return lib;
}

std::pair<double, object> closest_entry(const std::optional<kernels::FlatTree>& tree,
                                        const LibraryTrees& trees, handle names) {
    if (!tree) return {kInf, pystr("none")};
    kernels::TreeDistanceScratch scratch;
    long long best = -1;
    size_t best_at = 0;
    run_released(1, [&](int, const Stop& stop) {
        for (size_t k = 0; k < trees.singles.size() && !stop; ++k) {
            if (!trees.singles[k]) continue;
            // After the first, an entry counts only when closer: measured as far as that needs.
            const long long d =
                best < 0 ? kernels::tree_distance(*tree, *trees.singles[k], scratch, &stop)
                         : kernels::tree_distance_within(*tree, *trees.singles[k], (int)best - 1,
                                                         scratch, &stop);
            if (d >= 0 && (best < 0 || d < best)) best = d, best_at = k;  // the first minimum
        }
    });
    if (best < 0) return {kInf, pystr("none")};
    return {(double)best, nb::borrow(PyList_GET_ITEM(names.ptr(), (Py_ssize_t)best_at))};
}

object dict_of_parts(const ClusterParts& p) {
    if (!p.kept)
        return dict_of({{"formula", p.formula},
                        {"kept", Py_False},
                        {"structural", Py_None},
                        {"closest", Py_None},
                        {"behavioral", Py_None},
                        {"compositionality", Py_None},
                        {"compression_gain", Py_None}});
    object d = dict_of({{"formula", p.formula},
                        {"kept", Py_True},
                        {"structural", pyfloat(p.structural)},
                        {"closest", p.closest},
                        {"behavioral", p.behavioral},
                        {"compositionality", p.compositionality},
                        {"compression_gain", p.compression_gain}});
    if (p.cohesion)
        check_status(PyDict_SetItemString(d.ptr(), "cohesion", pyfloat(*p.cohesion).ptr()));
    return d;
}

ClusterParts parts_of_dict(handle d) {
    for (const char* name : kPartNames)
        if (!PyDict_GetItemString(d.ptr(), name))
            raise(PyExc_ValueError, "parts must be the 'parts' of an account of _score_cluster");
    auto at = [&](const char* name) { return nb::borrow(PyDict_GetItemString(d.ptr(), name)); };
    ClusterParts p;
    p.formula = at("formula");
    p.kept = truth(at("kept"));
    if (!p.kept) return p;
    auto number = [&](const char* name) {
        object v = at(name);
        if (!PyFloat_Check(v.ptr())) raise(PyExc_TypeError, "the measures of parts must be floats");
        return v;
    };
    p.structural = PyFloat_AS_DOUBLE(number("structural").ptr());
    p.closest = at("closest");
    p.behavioral = number("behavioral");
    p.compositionality = number("compositionality");
    p.compression_gain = number("compression_gain");
    if (PyDict_GetItemString(d.ptr(), "cohesion"))
        p.cohesion = PyFloat_AS_DOUBLE(number("cohesion").ptr());
    return p;
}

double recurrence_from(double cohesion, Py_ssize_t k, Py_ssize_t bank_size) {
    return k <= 1 || bank_size <= 1
               ? 0.0
               : kernels::recurrence_of(cohesion, (double)k, (double)bank_size);
}

ClusterScore score_of_parts(const ClusterParts& parts, handle recurrence, const ScoreWeights& w) {
    ClusterScore score;
    score.formula = parts.formula;
    score.kept = parts.kept;
    if (!parts.kept) return score;
    score.structural = parts.structural;
    score.closest = parts.closest;
    object irreducibility =
        check(PyNumber_Subtract(pyfloat(1.0).ptr(), parts.compositionality.ptr()));
    score.behavioral = mul(w.behavioral, parts.behavioral);
    score.irreducibility = mul(w.irreducibility, ratio(irreducibility, w.scale_irreducible));
    score.recurrence = mul(w.recurrence, ratio(recurrence, w.scale_recurrence));
    score.compression = mul(w.compression, ratio(parts.compression_gain, w.scale_compression));
    score.novelty = pyfloat(kInf);
    if (!std::isinf(parts.structural)) {
        // Summed in this order, as the score has always been.
        score.novelty = add(mul(w.structural, pyfloat(parts.structural)), score.behavioral);
        score.novelty = add(score.novelty, score.irreducibility);
        score.novelty = add(score.novelty, score.recurrence);
        score.novelty = add(score.novelty, score.compression);
    }
    return score;
}

bool is_candidate(const ClusterScore& score, double novelty_threshold) {
    return score.kept && truth(compare(score.novelty, pyfloat(novelty_threshold), Py_GE));
}

object candidate(const ClusterScore& score, handle members, handle growth_class) {
    return module_global("GeneralizedCandidate")(
        nb::arg("formula") = score.formula, nb::arg("members") = members,
        nb::arg("growth_class") = growth_class, nb::arg("novelty") = score.novelty,
        nb::arg("closest_lib") = score.closest);
}

object account(const ClusterParts& parts, const ClusterScore& score, handle candidate,
               const ScoreWeights& w) {
    if (!score.kept)
        return dict_of({{"candidate", candidate},
                        {"formula", score.formula},
                        {"kept", Py_False},
                        {"terms", Py_None},
                        {"novelty", Py_None},
                        {"parts", dict_of_parts(parts)}});
    object structural = mul(w.structural, pyfloat(score.structural));
    object terms = dict_of({{"structural", structural},
                            {"behavioral", score.behavioral},
                            {"irreducibility", score.irreducibility},
                            {"recurrence", score.recurrence},
                            {"compression", score.compression}});
    return dict_of({{"candidate", candidate},
                    {"formula", score.formula},
                    {"kept", Py_True},
                    {"terms", terms},
                    {"novelty", score.novelty},
                    {"closest", score.closest},
                    {"parts", dict_of_parts(parts)}});
}

}  // namespace kt
