#include "pipeline/rows.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "kernels/packed.hpp"
#include "matching/form_match.hpp"
#include "matching/library_match.hpp"
#include "pipeline/law_programs.hpp"
#include "pipeline/row_record.hpp"
#include "runtime/native_trees.hpp"
#include "runtime/numpy.hpp"
#include "runtime/numpy_loops.hpp"
#include "runtime/state.hpp"
#include "symbolic/canonical.hpp"
#include "symbolic/codec.hpp"
#include "symbolic/describe.hpp"
#include "symbolic/parse.hpp"
#include "symbolic/print.hpp"

namespace kt {

namespace sym = symbolic;

namespace {

constexpr std::size_t kPoints = 256;  // canonical.POINTS: where a formula's values are taken

// What a block's rows share: the pool their trees live in, the oracle and builder, the
// backend, the grid and the default range, and the library when rows are judged.
struct Pass {
    sym::Pool pool;
    SympyOracle oracle;
    sym::Builder builder{pool, oracle};
    const NumpyLoops& math = numpy_loops();
    sym::Doubles grid;
    std::pair<double, double> default_range;
    std::uint32_t seed = 0;
    double snap = 0.0;
    std::shared_ptr<const PreparedLibrary> library;
    std::shared_ptr<const LawPrograms> laws;
    FitSettings fit_settings{};
    // A law's values under every mapping depend only on the columns a row offers: the rows of
    // one run (its variables and ranges) offer the same, so a block computes them once. Keyed
    // by the law and the columns' bytes; nothing is kept past kLawValueBytes.
    std::unordered_map<std::string, std::optional<sym::Doubles>> law_values;
    std::size_t law_value_bytes = 0;
};

constexpr std::size_t kLawValueBytes = std::size_t(64) << 20;

// The law's values of a row's columns under every mapping (LawPrograms::values), remembered
// for the block's other rows that offer the same columns.
bool law_values(Pass& pass, int k, const Mappings& mappings,
                std::span<const std::span<const double>> columns, std::span<double> out) {
    std::string key(reinterpret_cast<const char*>(&k), sizeof k);
    for (std::span<const double> c : columns)
        key.append(reinterpret_cast<const char*>(c.data()), c.size_bytes());
    if (auto found = pass.law_values.find(key); found != pass.law_values.end()) {
        if (!found->second || found->second->size() != out.size()) return false;
        std::copy(found->second->begin(), found->second->end(), out.begin());
        return true;
    }
    const bool made = pass.laws->values(pass.math, k, mappings, columns, out);
    const std::size_t cost = key.size() + (made ? out.size_bytes() : 0);
    if (pass.law_value_bytes + cost <= kLawValueBytes) {
        pass.law_value_bytes += cost;
        pass.law_values.emplace(
            std::move(key), made ? std::optional<sym::Doubles>(sym::Doubles(out.begin(), out.end()))
                                 : std::nullopt);
    }
    return made;
}

using Bounds = std::vector<std::pair<std::string, std::pair<double, double>>>;

// A row's ranges by variable name, as floats; nothing for None or an empty dict.
Bounds bounds_of(handle given) {
    Bounds out;
    if (given.is_none()) return out;
    Items items(check(PyDict_Items(given.ptr())));
    for (Py_ssize_t k = 0; k < items.size(); ++k) {
        auto [name, range] = unpack2(items[k]);
        if (!PyUnicode_Check(name.ptr())) throw sym::Unsupported("a range named by a non-string");
        auto [lo, hi] = unpack2(range);
        out.push_back({utf8(name), {as_double(lo), as_double(hi)}});
    }
    return out;
}

const std::pair<double, double>* range_named(const Bounds& bounds, const std::string& name) {
    for (const auto& [n, range] : bounds)
        if (n == name) return &range;
    return nullptr;
}

// canonical.sample: each variable's points drawn uniformly in its range (the default range
// where none is given) from one default_rng(0) stream, variable after variable.
std::vector<sym::Doubles> sample(const Pass& pass, const std::vector<sym::Expr>& symbols,
                                 const Bounds& bounds) {
    std::span<const double> uniforms = pass.math.seeded_uniforms();
    if (symbols.size() * kPoints > uniforms.size()) throw sym::Unsupported("too many variables");
    std::vector<sym::Doubles> tracks;
    for (std::size_t k = 0; k < symbols.size(); ++k) {
        const auto* given = range_named(bounds, *symbols[k]->name);
        auto [low, high] = given ? *given : pass.default_range;
        if (!(high > low)) high = low + 1.0;
        sym::Doubles t(kPoints);
        for (std::size_t i = 0; i < kPoints; ++i)
            t[i] = low + (high - low) * uniforms[k * kPoints + i];
        tracks.push_back(std::move(t));
    }
    return tracks;
}

std::vector<std::span<const double>> spans_of(const std::vector<sym::Doubles>& tracks) {
    return {tracks.begin(), tracks.end()};
}

// canonical.values: a term's values at the points, NaN where not finite.
std::optional<sym::Doubles> term_values(Pass& pass, sym::Expr term,
                                        const std::vector<sym::Expr>& symbols,
                                        const std::vector<sym::Doubles>& tracks) {
    auto program = sym::Program::compile_as_given(pass.builder, term, symbols);
    if (!program) return std::nullopt;
    std::vector<std::span<const double>> arrays = spans_of(tracks);
    std::optional<sym::Value> v = program->run(pass.math, arrays, kPoints);
    if (!v) return std::nullopt;
    sym::Doubles out;
    if (v->kind == sym::Value::Array) {
        if (v->array.size() != kPoints) return std::nullopt;
        out = std::move(v->array);
    } else {
        out.assign(kPoints, v->kind == sym::Value::Int ? (double)v->i : v->x);
    }
    for (double& x : out)
        if (!std::isfinite(x)) x = std::nan("");
    return out;
}

object mapping_dict(const Mapping& mapping) {
    object d = check(PyDict_New());
    for (const auto& [ours, theirs] : mapping)
        check_status(PyDict_SetItem(d.ptr(), pystr(ours).ptr(), pystr(theirs).ptr()));
    return d;
}

// (law, kind, {our variable: law variable}) of a form match, or None.
object hit_tuple(const Pass& pass, const std::optional<Hit>& hit) {
    if (!hit) return none();
    return nb::make_tuple(pass.library->names[(size_t)hit->law], pystr(kind_name(hit->kind)),
                          hit->mapping ? mapping_dict(*hit->mapping) : none());
}

// What the judge needs of a row beside its canonical form: the best form match of the formula
// as written (else of its canonical core), and the law fits of its values; None where the
// formula has more variables than the fits try every mapping for (the Python search judges it).
object judged(Pass& pass, sym::Expr expr, const sym::CanonicalForm& form,
              const std::vector<sym::Expr>& symbols, const std::vector<sym::Doubles>& tracks) {
    const std::vector<sym::Expr> kept = sym::sorted_symbols(form.core);
    if (kept.size() > (size_t)kMaxFullSearch || !pass.laws->complete((int)kept.size()))
        return none();
    std::optional<Hit> hit = match_form(*pass.library, expr, pass.pool, pass.oracle);
    object as_written = hit_tuple(pass, hit), canonical = none();
    if (!hit && form.core != expr)
        canonical = hit_tuple(pass, match_form(*pass.library, form.core, pass.pool, pass.oracle));
    object fits = new_list();
    if (!form.values.empty() && !kept.empty()) {
        std::vector<std::span<const double>> columns;
        for (sym::Expr s : kept)
            for (std::size_t k = 0; k < symbols.size(); ++k)
                if (symbols[k] == s) columns.emplace_back(tracks[k]);
        auto found = columns.size() != kept.size()
                         ? std::nullopt
                         : law_fits(form.values, columns, pass.laws->fit_forms, pass.fit_settings,
                                    [&](int k, const Mappings& m, std::span<double> out) {
                                        return law_values(pass, k, m, columns, out);
                                    });
        if (found)
            for (const FormFit& f : *found) {
                object mapping = check(PyTuple_New((Py_ssize_t)f.mapping.size()));
                for (size_t j = 0; j < f.mapping.size(); ++j)
                    PyTuple_SET_ITEM(mapping.ptr(), (Py_ssize_t)j,
                                     pyint(f.mapping[j]).release().ptr());
                append(fits, nb::make_tuple(f.form, f.r2, f.a, f.b, mapping));
            }
    }
    object names = new_list();
    for (sym::Expr s : kept) append(names, pystr(*s->name));
    return nb::make_tuple(as_written, canonical, fits, names);
}

object text_list(const std::vector<std::string>& texts) {
    object out = new_list();
    for (const std::string& t : texts) append(out, pystr(t));
    return out;
}

object bytes_of(const std::string& s) {
    return check(PyBytes_FromStringAndSize(s.data(), (Py_ssize_t)s.size()));
}

object read_row(Pass& pass, handle text, handle given_bounds) {
    if (!PyUnicode_Check(text.ptr())) return none();
    const std::string source = utf8(text);
    std::optional<sym::Parsed> parsed = sym::parse_bank_formula(pass.builder, source);
    if (!parsed) return none();
    const sym::Expr expr = parsed->expr;
    const std::vector<sym::Expr> symbols = sym::sorted_symbols(expr);
    const Bounds bounds = bounds_of(given_bounds);
    const std::string printed = sym::str(pass.pool, pass.oracle, expr);
    const std::vector<sym::Doubles> tracks = sample(pass, symbols, bounds);
    const sym::CanonicalForm form = sym::canonical_form(
        pass.builder, expr,
        [&](sym::Expr term) { return term_values(pass, term, symbols, tracks); }, pass.snap);
    const std::string core_text =
        form.core == expr ? printed : sym::str(pass.pool, pass.oracle, form.core);

    // The canonical core described with the row's own ranges (none for a variable without).
    sym::BehaviourInput in;
    in.expr = form.core;
    if (!bounds.empty())
        for (sym::Expr s : sym::sorted_symbols(form.core)) {
            const auto* range = range_named(bounds, *s->name);
            in.ranges.push_back(range ? sym::Range(*range) : std::nullopt);
        }
    in.grid = pass.grid;
    in.seed = sym::formula_seed(pass.seed, core_text);
    in.constant_value = [&](sym::Expr c) { return pass.oracle.number_value(c); };
    const sym::Description d = sym::describe(pass.builder, pass.math, in, std::nullopt);
    const std::string packed = kernels::pack(sym::packed(pass.pool, pass.oracle, d));

    object canonical = nb::make_tuple(pystr(core_text), form.intercept, form.scale,
                                      text_list(form.changes), bytes_of(sym::encode(form.core)));
    object verdict = pass.library ? judged(pass, expr, form, symbols, tracks) : none();
    return nb::make_tuple(parsed->lhs ? pystr(*parsed->lhs) : none(), pystr(printed),
                          bytes_of(row_record(d, expr)), bytes_of(packed), canonical, verdict);
}

}  // namespace

object read_rows(const RowsCall& call) {
    Items texts(call.texts), bounds(call.bounds);
    if (texts.size() != bounds.size()) raise(PyExc_ValueError, "one bounds entry per text");
    object out = new_list();
    Pass pass;
    if (!pass.math.complete()) {
        for (Py_ssize_t k = 0; k < texts.size(); ++k) append(out, none());
        return out;
    }
    Float64View grid(module_global("GRID"));
    if (!grid.valid()) raise(PyExc_TypeError, "GRID must be a float64 array");
    pass.grid.assign(grid.data(), grid.data() + grid.size());
    auto [lo, hi] = unpack2(module_global("DEFAULT_VAR_RANGE"));
    pass.default_range = {as_double(lo), as_double(hi)};
    const long long seed = PyLong_AsLongLong(call.seed.ptr());
    if (seed == -1 && PyErr_Occurred()) throw nb::python_error();
    if (seed < 0 || seed > 0xffffffffLL)
        raise(PyExc_ValueError, "the seed of native rows is a 32-bit unsigned integer");
    pass.seed = (std::uint32_t)seed;
    pass.snap = call.snap;
    if (!call.library.is_none()) {
        pass.library = prepared(call.library);
        pass.laws = law_programs(call.forms);
        object law_fit = import_module("source.judge.law_fit");
        pass.fit_settings = {call.threshold, as_double(get_attr(law_fit, "MIN_VALID"))};
    }
    for (Py_ssize_t k = 0; k < texts.size(); ++k) {
        object row;
        try {
            row = read_row(pass, texts[k], bounds[k]);
        } catch (const nb::python_error&) {
            throw;  // KeyboardInterrupt, MemoryError: the run's, not the row's
        } catch (const std::exception&) {
            row = none();  // what the native path does not decide: the Python path reads the row
        }
        append(out, row);
    }
    return out;
}

}  // namespace kt
