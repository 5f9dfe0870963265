// Hooks into the native pieces of a formula's verdict: the form match of a native tree against a
// prepared library, and the law fits of a formula whose law values a Python callable gives, for
// the tests to compare with source/judge's own.
#include <chrono>
#include <unordered_map>

#include "matching/law_fits.hpp"
#include "matching/library_match.hpp"
#include "runtime/function.hpp"
#include "runtime/numpy.hpp"
#include "testing/hooks.hpp"
#include "testing/workbench.hpp"

namespace kt {

namespace {

struct FormsCall {
    handle exprs, library;
};

// The oracle with `str` remembered: what matching costs once numbers print natively.
class PrintedOnce : public symbolic::Oracle {
public:
    explicit PrintedOnce(symbolic::Oracle& inner) : inner_(inner) {}
    symbolic::Expr construct(symbolic::Pool& pool, symbolic::Op op, symbolic::Fn fn,
                             std::span<const symbolic::Expr> args) override {
        return inner_.construct(pool, op, fn, args);
    }
    std::optional<double> number_value(symbolic::Expr e) override { return inner_.number_value(e); }
    std::string str(symbolic::Expr e) override {
        auto [it, added] = printed_.try_emplace(e);
        if (added) it->second = inner_.str(e);
        return it->second;
    }
    std::vector<symbolic::Expr> ordered_terms(symbolic::Pool& pool, symbolic::Expr add) override {
        return inner_.ordered_terms(pool, add);
    }
    std::vector<symbolic::Expr> ordered_factors(symbolic::Pool& pool, symbolic::Expr mul) override {
        return inner_.ordered_factors(pool, mul);
    }

private:
    symbolic::Oracle& inner_;
    std::unordered_map<symbolic::Expr, std::string> printed_;
};

// Every expression read into one pool first, then matched twice, each pass timed: the second
// with the numbers' str() remembered from the first.
object match_forms(const FormsCall& c) {
    std::shared_ptr<const PreparedLibrary> lib = prepared(c.library);
    Workbench w;
    PrintedOnce oracle(w.oracle);
    Items items(c.exprs);
    std::vector<std::optional<symbolic::Expr>> trees;
    for (Py_ssize_t k = 0; k < items.size(); ++k) trees.push_back(w.read(items[k]));
    std::vector<std::optional<Hit>> hits(trees.size());
    std::vector<bool> handled(trees.size(), false);
    double seconds[2];
    for (double& took : seconds) {
        const auto start = std::chrono::steady_clock::now();
        for (size_t k = 0; k < trees.size(); ++k) {
            if (!trees[k]) continue;
            try {
                hits[k] = match_form(*lib, *trees[k], w.pool, oracle);
                handled[k] = true;
            } catch (const symbolic::Unsupported&) {}
        }
        took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    object out = new_list();
    for (size_t k = 0; k < trees.size(); ++k)
        append(out,
               nb::make_tuple(pybool(handled[k]), hits[k] ? match_record(*lib, *hits[k]) : none()));
    return nb::make_tuple(out, seconds[0], seconds[1]);
}

const FuncDef match_forms_hook = Declaration<FormsCall>{
    .name = "match_forms",
    .params = {{"exprs", &FormsCall::exprs}, {"library", &FormsCall::library}},
    .doc = "([(handled, LibraryMatch or None)], seconds, seconds again): the identical or "
           "scaled match of\neach expression's native tree against the library; handled False "
           "where no tree holds the\nexpression or it is too deep (sympy's path decides); the "
           "seconds the matching took, and\ntook again with the numbers' str() remembered.",
    .body = match_forms,
};

struct FitsCall {
    handle y, columns, forms;
    double threshold;
    handle values;
};

// law_fit.py's settings and a form's factor room, read from the module.
struct LawFitModule {
    object module = import_module("source.judge.law_fit");
    double min_valid = as_double(module.attr("MIN_VALID"));
    double constant = as_double(module.attr("CONSTANT_TOLERANCE"));
    double everyday = as_double(module.attr("EVERYDAY_TOLERANCE"));

    FitForm form(handle f) const {
        FitForm out{(int)Items(get_attr(f, "symbols")).size(), std::nullopt};
        Items folded(get_attr(f, "folded"));
        bool any_everyday = false;
        for (Py_ssize_t k = 0; k < folded.size(); ++k)
            any_everyday |= truth(get_attr(unpack2(folded[k]).second, "everyday"));
        if (folded.size() > 0) out.room = any_everyday ? everyday : constant;
        return out;
    }
};

// The mappings as an intp array (rows x width) for the Python callable.
object mapping_array(const Mappings& m) {
    object rows = new_list();
    for (int r = 0; r < m.rows; ++r) {
        object row = new_list();
        for (int j : m.row(r)) append(row, pyint(j));
        append(rows, row);
    }
    return np_fn("array")(rows, nb::arg("dtype") = np_fn("intp")).attr("reshape")(m.rows, m.width);
}

object law_fits_of(const FitsCall& c) {
    const LawFitModule settings;
    Float64View y(c.y);
    if (!y.valid()) raise(PyExc_ValueError, "y must be a C-contiguous float64 array");
    Items column_items(c.columns);
    std::vector<object> held;
    std::vector<std::span<const double>> columns;
    for (Py_ssize_t k = 0; k < column_items.size(); ++k) {
        held.push_back(np_fn("ascontiguousarray")(column_items[k], nb::arg("dtype") = "float64"));
        Float64View view(held.back());
        if (!view.valid()) raise(PyExc_ValueError, "a column must be a 1-D float64 array");
        columns.emplace_back(view.data(), (size_t)view.size());
    }
    Items form_items(c.forms);
    std::vector<FitForm> forms;
    for (Py_ssize_t k = 0; k < form_items.size(); ++k)
        forms.push_back(settings.form(form_items[k]));
    using Clock = std::chrono::steady_clock;
    Clock::duration asking{};  // in the Python callable
    FormValues values = [&](int form, const Mappings& m, std::span<double> out) {
        const auto asked = Clock::now();
        object z = c.values(pyint(form), mapping_array(m));
        asking += Clock::now() - asked;
        if (z.is_none()) return false;
        Float64View view(z, 2);
        if (!view.valid() || (size_t)view.size() != out.size())
            raise(PyExc_ValueError, "values must give a float64 array of mappings x points");
        std::copy(view.data(), view.data() + view.size(), out.begin());
        return true;
    };
    const auto start = Clock::now();
    auto fits = law_fits({y.data(), (size_t)y.size()}, columns, forms,
                         {c.threshold, settings.min_valid}, values);
    const std::chrono::duration<double> native = Clock::now() - start - asking;
    if (!fits) return nb::make_tuple(none(), native.count());
    object out = new_list();
    for (const FormFit& f : *fits) {
        object mapping = new_list();
        for (int j : f.mapping) append(mapping, pyint(j));
        append(out, nb::make_tuple(f.form, f.r2, f.a, f.b, check(PyList_AsTuple(mapping.ptr()))));
    }
    return nb::make_tuple(out, native.count());
}

const FuncDef law_fits_hook = Declaration<FitsCall>{
    .name = "law_fits",
    .params = {{"y", &FitsCall::y},
               {"columns", &FitsCall::columns},
               {"forms", &FitsCall::forms},
               {"threshold", &FitsCall::threshold},
               {"values", &FitsCall::values}},
    .doc = "([(form index, r2, a, b, mapping)], seconds): the best accepted fit of each law "
           "form (LawForm)\nwith as many variables as columns, values(form index, mappings) "
           "giving the law's values\n(mappings x points) or None; None above MAX_FULL_SEARCH "
           "variables. The seconds the native\nfits took, the callable's aside.",
    .body = law_fits_of,
};

}  // namespace

void define_judge_hooks(handle module) {
    for (const FuncDef* def : {&match_forms_hook, &law_fits_hook}) define(module, *def);
}

}  // namespace kt
