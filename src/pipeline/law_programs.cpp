#include "pipeline/law_programs.hpp"

#include <cmath>
#include <deque>

#include "runtime/native_trees.hpp"
#include "runtime/state.hpp"

namespace kt {

namespace sym = symbolic;

namespace {

// law_fit.py's factor room of a form with constants folded in.
std::optional<double> room_of(handle form, handle law_fit) {
    Items folded(get_attr(form, "folded"));
    if (folded.size() == 0) return std::nullopt;
    bool everyday = false;
    for (Py_ssize_t k = 0; k < folded.size(); ++k)
        everyday |= truth(get_attr(unpack2(folded[k]).second, "everyday"));
    return as_double(get_attr(law_fit, everyday ? "EVERYDAY_TOLERANCE" : "CONSTANT_TOLERANCE"));
}

std::shared_ptr<LawPrograms> made(handle forms) {
    auto out = std::make_shared<LawPrograms>();
    object law_fit = import_module("source.judge.law_fit");
    Items items(forms);
    sym::Pool pool;
    SympyOracle oracle;
    sym::Builder builder(pool, oracle);
    for (Py_ssize_t k = 0; k < items.size(); ++k) {
        handle form = items[k];
        out->forms.push_back(nb::borrow(form));
        Items symbols(get_attr(form, "symbols"));
        out->fit_forms.push_back({(int)symbols.size(), room_of(form, law_fit)});
        std::optional<sym::Program> program;
        try {
            std::vector<sym::Expr> syms;
            for (Py_ssize_t j = 0; j < symbols.size(); ++j)
                syms.push_back(from_sympy(pool, symbols[j]));
            program = sym::Program::compile_as_given(
                builder, from_sympy(pool, get_attr(form, "expr")), syms);
        } catch (const sym::Unsupported&) {}
        out->programs.push_back(std::move(program));
    }
    return out;
}

}  // namespace

bool LawPrograms::complete(int n) const {
    for (size_t k = 0; k < fit_forms.size(); ++k)
        if (fit_forms[k].symbols == n && !programs[k]) return false;
    return true;
}

bool LawPrograms::values(const sym::Backend& math, int k, const Mappings& mappings,
                         std::span<const std::span<const double>> columns,
                         std::span<double> out) const {
    const std::optional<sym::Program>& program = programs[(size_t)k];
    if (!program) return false;
    const std::size_t points = columns.empty() ? 0 : columns[0].size();
    const std::size_t n = (std::size_t)mappings.rows * points;
    // Law variable j's argument: the formula's column of each mapping, one after the other.
    std::vector<sym::Doubles> arguments((size_t)mappings.width, sym::Doubles(n));
    for (int r = 0; r < mappings.rows; ++r)
        for (int j = 0; j < mappings.width; ++j) {
            std::span<const double> c = columns[(size_t)mappings.row(r)[j]];
            std::copy(c.begin(), c.end(),
                      arguments[(size_t)j].begin() + (std::ptrdiff_t)(r * points));
        }
    std::vector<std::span<const double>> spans(arguments.begin(), arguments.end());
    std::optional<sym::Value> v = program->run(math, spans, n);
    if (!v) return false;
    if (v->kind == sym::Value::Array) {
        if (v->array.size() != n) return false;
        std::copy(v->array.begin(), v->array.end(), out.begin());
    } else {
        const double x = v->kind == sym::Value::Int ? (double)v->i : v->x;
        std::fill(out.begin(), out.end(), x);
    }
    for (double& x : out)
        if (!std::isfinite(x)) x = std::nan("");
    return true;
}

std::shared_ptr<const LawPrograms> law_programs(handle forms) {
    // Only touched with the GIL held.
    static auto* kept = new std::deque<std::shared_ptr<const LawPrograms>>();
    Items items(forms);
    for (auto it = kept->begin(); it != kept->end(); ++it) {
        const LawPrograms& p = **it;
        bool same = p.forms.size() == (size_t)items.size();
        for (Py_ssize_t k = 0; same && k < items.size(); ++k)
            same = p.forms[(size_t)k].ptr() == items[k].ptr();
        if (same) return *it;
    }
    std::shared_ptr<const LawPrograms> fresh = made(forms);
    kept->push_front(fresh);
    if (kept->size() > 4) kept->pop_back();
    return fresh;
}

}  // namespace kt
