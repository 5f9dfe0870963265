// Hooks into the native describe: numpy's loops as the backend calls them, the compiled
// program's values, numpy's reductions and legacy normal deviates as computed natively, and the
// whole descriptor, each given back as Python values for the tests to compare with numpy's and
// describe's own (None where the native path leaves the formula to sympy).
#include <chrono>
#include <cstring>

#include "kernels/packed.hpp"
#include "runtime/function.hpp"
#include "runtime/numpy.hpp"
#include "runtime/numpy_loops.hpp"
#include "symbolic/describe.hpp"
#include "symbolic/legacy_random.hpp"
#include "testing/hooks.hpp"
#include "testing/workbench.hpp"

namespace kt {

namespace {

namespace sym = symbolic;

const char* const kLoops[sym::kLoopCount] = {"exp",      "log",      "sin",     "cos",       "tan",
                                             "arcsin",   "arccos",   "arctan",  "sinh",      "cosh",
                                             "tanh",     "arcsinh",  "arccosh", "arctanh",   "sqrt",
                                             "absolute", "negative", "square",  "reciprocal"};

sym::Doubles doubles_of(handle values) {
    object arr = np_fn("ascontiguousarray")(values, nb::arg("dtype") = "float64");
    Float64View view(arr);
    if (!view.valid()) raise(PyExc_TypeError, "a 1-d array of floats");
    return sym::Doubles(view.data(), view.data() + view.size());
}

object array_of(const sym::Doubles& v) {
    object arr = np_fn("empty")(pyint((long long)v.size()), nb::arg("dtype") = "float64");
    Float64View view(arr, 1, true);
    if (!v.empty()) std::memcpy(view.mutable_data(), v.data(), v.size() * sizeof(double));
    return arr;
}

object value_of(const sym::Value& v) {
    switch (v.kind) {
        case sym::Value::Int:
            return pyint((long long)v.i);
        case sym::Value::Float:
            return pyfloat(v.x);
        case sym::Value::Scalar:
            return np_fn("float64")(v.x);
        default:
            return array_of(v.array);
    }
}

std::vector<std::uint32_t> key_of(handle seed) {
    std::vector<std::uint32_t> key;
    Items items(seed);
    for (Py_ssize_t k = 0; k < items.size(); ++k) {
        const long long word = PyLong_AsLongLong(items[k].ptr());
        if (word == -1 && PyErr_Occurred()) throw nb::python_error();
        if (word < 0 || word > 0xffffffffLL) raise(PyExc_ValueError, "seed words are 32 bits");
        key.push_back((std::uint32_t)word);
    }
    return key;
}

struct LoopCall {
    handle name, a, b;
};

const FuncDef loop_hook = Declaration<LoopCall>{
    .name = "numpy_loop",
    .params = {{"name", &LoopCall::name},
               {"a", &LoopCall::a},
               {"b", &LoopCall::b, nullptr, Check::Any, kNone}},
    .doc = "numpy's float64 loop `name` applied by the native backend to the array `a` (and, "
           "for\n\"power\", `b`; a Python float operand is a scalar, read with stride 0).",
    .body = [](const LoopCall& c) -> object {
        const NumpyLoops& loops = numpy_loops();
        if (!loops.complete()) return none();
        const std::string name = utf8(c.name);
        if (name == "power") {
            const bool sa = PyFloat_Check(c.a.ptr()), sb = PyFloat_Check(c.b.ptr());
            sym::Doubles a = sa ? sym::Doubles{as_double(c.a)} : doubles_of(c.a);
            sym::Doubles b = sb ? sym::Doubles{as_double(c.b)} : doubles_of(c.b);
            const std::size_t n = sa ? b.size() : a.size();
            sym::Doubles out(n);
            loops.power(a.data(), sa, b.data(), sb, out.data(), n);
            return array_of(out);
        }
        if (name == "dot") {
            sym::Doubles a = doubles_of(c.a);
            return pyfloat(loops.dot(a.data(), a.data(), a.size()));
        }
        for (int k = 0; k < sym::kLoopCount; ++k) {
            if (name != kLoops[k]) continue;
            sym::Doubles a = doubles_of(c.a), out(a.size());
            loops.unary((sym::Loop)k, a.data(), out.data(), a.size());
            return array_of(out);
        }
        raise(PyExc_ValueError, "no such loop");
    },
};

struct ProgramCall {
    handle expr, syms, arrays;
    bool as_given;
};

const FuncDef program_hook = Declaration<ProgramCall>{
    .name = "native_program",
    .params = {{"expr", &ProgramCall::expr},
               {"syms", &ProgramCall::syms},
               {"arrays", &ProgramCall::arrays},
               {"as_given", &ProgramCall::as_given, nullptr, false}},
    .doc = "The native program's value of the expression for one array per symbol (a Python "
           "int or\nfloat, a numpy float64 or an array); None where it does not compile or "
           "Python would raise.",
    .body = [](const ProgramCall& c) -> object {
        const NumpyLoops& loops = numpy_loops();
        Workbench w;
        auto e = w.read(c.expr);
        if (!e || !loops.complete()) return none();
        Items given(c.syms), arrays(c.arrays);
        std::vector<sym::Expr> syms;
        std::vector<sym::Doubles> tracks;
        for (Py_ssize_t k = 0; k < given.size(); ++k) {
            auto s = w.read(given[k]);
            if (!s) return none();
            syms.push_back(*s);
            tracks.push_back(doubles_of(arrays[k]));
        }
        try {
            auto program = c.as_given ? sym::Program::compile_as_given(w.builder, *e, syms)
                                      : sym::Program::compile(w.builder, *e, syms);
            if (!program) return none();
            std::vector<std::span<const double>> spans(tracks.begin(), tracks.end());
            auto value = program->run(loops, spans, tracks.empty() ? 1 : tracks[0].size());
            return value ? value_of(*value) : none();
        } catch (const sym::Unsupported&) {
            return none();
        }
    },
};

struct ValuesCall {
    handle values;
};

const FuncDef stats_hook = Declaration<ValuesCall>{
    .name = "native_stats",
    .params = {{"values", &ValuesCall::values}},
    .doc = "np.sum, np.mean, np.nanmean, np.nanvar, np.cumsum and the growth class of a float "
           "array,\ncomputed natively, as a dict.",
    .body = [](const ValuesCall& c) -> object {
        const sym::Doubles v = doubles_of(c.values);
        object out = check(PyDict_New());
        auto put = [&](const char* key, handle value) {
            check_status(PyDict_SetItemString(out.ptr(), key, value.ptr()));
        };
        put("sum", pyfloat(sym::sum(v)));
        put("mean", pyfloat(sym::mean(v)));
        put("nanmean", pyfloat(sym::nanmean(v)));
        put("nanvar", pyfloat(sym::nanvar(v)));
        put("cumsum", array_of(sym::cumsum(v)));
        put("growth_class", pystr(sym::growth_class(v)));
        return out;
    },
};

struct SpaceCall {
    double lo, hi;
    handle n;
    bool log;
};

const FuncDef space_hook = Declaration<SpaceCall>{
    .name = "native_space",
    .params = {{"lo", &SpaceCall::lo},
               {"hi", &SpaceCall::hi},
               {"n", &SpaceCall::n},
               {"log", &SpaceCall::log, nullptr, false}},
    .doc = "np.linspace(lo, hi, n), or np.logspace with `log`, computed natively.",
    .body = [](const SpaceCall& c) -> object {
        const long n = PyLong_AsLong(c.n.ptr());
        if (n < 1 || n > 1000000) raise(PyExc_ValueError, "n from 1 to 10**6");
        return array_of(c.log ? sym::logspace(numpy_loops(), c.lo, c.hi, (std::size_t)n)
                              : sym::linspace(c.lo, c.hi, (std::size_t)n));
    },
};

struct RandnCall {
    handle seed, n;
};

const FuncDef randn_hook = Declaration<RandnCall>{
    .name = "legacy_randn",
    .params = {{"seed", &RandnCall::seed}, {"n", &RandnCall::n}},
    .doc = "np.random.randn(n) after np.random.seed(seed) (a list of 32-bit words), natively.",
    .body = [](const RandnCall& c) -> object {
        const std::vector<std::uint32_t> key = key_of(c.seed);
        if (key.empty()) raise(PyExc_ValueError, "an empty seed");
        const long n = PyLong_AsLong(c.n.ptr());
        if (n < 0 || n > 1000000) raise(PyExc_ValueError, "n from 0 to 10**6");
        sym::LegacyNormal normal(key);
        sym::Doubles out((std::size_t)n);
        for (double& x : out) x = normal.gauss();
        return array_of(out);
    },
};

struct SeedCall {
    handle seed, text;
};

const FuncDef seed_hook = Declaration<SeedCall>{
    .name = "native_formula_seed",
    .params = {{"seed", &SeedCall::seed}, {"text", &SeedCall::text, nullptr, Check::Str}},
    .doc = "formula_seed(seed, expr, text) computed natively: [seed, two words of the "
           "text's BLAKE2b].",
    .body = [](const SeedCall& c) -> object {
        const long long seed = PyLong_AsLongLong(c.seed.ptr());
        if (seed == -1 && PyErr_Occurred()) throw nb::python_error();
        if (seed < 0 || seed > 0xffffffffLL) raise(PyExc_ValueError, "a 32-bit seed");
        object bytes = check(PyUnicode_AsEncodedString(c.text.ptr(), "utf-8", "surrogatepass"));
        const std::string_view text(PyBytes_AS_STRING(bytes.ptr()),
                                    (std::size_t)PyBytes_GET_SIZE(bytes.ptr()));
        object out = check(PyList_New(0));
        for (std::uint32_t word : sym::formula_seed((std::uint32_t)seed, text))
            check_status(PyList_Append(out.ptr(), pyint((long long)word).ptr()));
        return out;
    },
};

struct DescribeCall {
    handle expr, var_ranges, seed, grid, source_id;
};

std::vector<sym::Range> ranges_of(handle var_ranges, std::size_t nsyms) {
    std::vector<sym::Range> out(nsyms);
    if (var_ranges.is_none() || !truth(var_ranges)) return out;
    for (std::size_t i = 0; i < nsyms; ++i) {
        object index = pyint((long long)i);
        if (!check_status(PySequence_Contains(var_ranges.ptr(), index.ptr()))) continue;
        auto [lo, hi] = unpack2(item(var_ranges, index));
        out[i] = std::make_pair(as_double(lo), as_double(hi));
    }
    return out;
}

object flag(bool value, bool numpy) {
    return numpy ? np_fn("bool_")(pybool(value)) : pybool(value);
}

// The behaviour's inputs as describe reads them: the ranges by symbol index, the grid (which
// the caller passes as the module's GRID, GRID_LINEAR sampling alike), the seed and float() for
// constants. False for a grid that is not a 1-d float64 array.
bool behaviour_input(Workbench& w, sym::Expr e, handle var_ranges, handle seed, handle grid,
                     sym::BehaviourInput& in) {
    in.expr = e;
    in.ranges = ranges_of(var_ranges, sym::sorted_symbols(e).size());
    if (!is_instance(grid, np_fn("ndarray")) ||
        !equal(grid.attr("dtype"), np_fn("dtype")("float64")))
        return false;
    in.grid = doubles_of(grid);
    in.seed = key_of(seed);
    in.constant_value = [&w](sym::Expr constant) -> std::optional<double> {
        double v = 0.0;
        if (!attempt([&] { v = as_double(check(PyNumber_Float(w.sympy(constant).ptr()))); }))
            return std::nullopt;
        return v;
    };
    return true;
}

// Forwards to the sympy oracle and counts what the native steps still ask of it.
class CountingOracle : public sym::Oracle {
public:
    explicit CountingOracle(sym::Oracle& inner) : inner_(inner) {}
    sym::Expr construct(sym::Pool& pool, sym::Op op, sym::Fn fn,
                        std::span<const sym::Expr> args) override {
        ++constructions;
        return inner_.construct(pool, op, fn, args);
    }
    std::string str(sym::Expr e) override {
        ++prints;
        return inner_.str(e);
    }
    std::optional<double> number_value(sym::Expr e) override {
        ++constructions;
        return inner_.number_value(e);
    }
    std::vector<sym::Expr> ordered_terms(sym::Pool& pool, sym::Expr add) override {
        ++orders;
        return inner_.ordered_terms(pool, add);
    }
    std::vector<sym::Expr> ordered_factors(sym::Pool& pool, sym::Expr mul) override {
        ++orders;
        return inner_.ordered_factors(pool, mul);
    }
    long constructions = 0, prints = 0, orders = 0;

private:
    sym::Oracle& inner_;
};

struct PhasesCall {
    handle expr, var_ranges, seed, grid, repeat;
};

double micros(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double, std::micro>(b - a).count();
}

const FuncDef phases_hook = Declaration<PhasesCall>{
    .name = "describe_native_phases",
    .params = {{"expr", &PhasesCall::expr},
               {"var_ranges", &PhasesCall::var_ranges, nullptr, Check::DictOrNone, kNone},
               {"seed", &PhasesCall::seed, nullptr, Check::List},
               {"grid", &PhasesCall::grid},
               {"repeat", &PhasesCall::repeat}},
    .doc = "Microseconds of each phase of a native describe of a formula with symbols: reading "
           "the tree,\nthe canonical form and its structure, compiling the program, and the "
           "behaviour from the\ncompiled program (the mean of `repeat` runs); with the "
           "constructions, orders and prints asked of the oracle.\nNone where the formula is not "
           "described natively.",
    .body = [](const PhasesCall& c) -> object {
        using clock = std::chrono::steady_clock;
        const NumpyLoops& loops = numpy_loops();
        const long repeat = PyLong_AsLong(c.repeat.ptr());
        if (repeat < 1 || repeat > 100000) raise(PyExc_ValueError, "repeat from 1 to 10**5");
        Workbench w;
        const auto t0 = clock::now();
        auto e = w.read(c.expr);
        const auto t1 = clock::now();
        if (!e || !loops.complete() || !sym::has_symbols(*e)) return none();
        sym::BehaviourInput in;
        if (!behaviour_input(w, *e, c.var_ranges, c.seed, c.grid, in)) return none();
        CountingOracle counting(w.oracle);
        sym::Builder builder(w.pool, counting);
        try {
            const auto t2 = clock::now();
            sym::Structure s =
                sym::structure_of(sym::canonicalize_names(builder, *e, std::nullopt));
            const auto t3 = clock::now();
            const std::vector<sym::Expr> syms = sym::sorted_symbols(*e);
            auto program = sym::Program::compile(builder, *e, syms);
            const auto t4 = clock::now();
            if (!program) return none();
            in.program = &*program;
            for (long r = 0; r < repeat; ++r) sym::extract_behaviour(builder, loops, in);
            const auto t5 = clock::now();
            return dict_of({{"read", pyfloat(micros(t0, t1)).ptr()},
                            {"canonical", pyfloat(micros(t2, t3)).ptr()},
                            {"compile", pyfloat(micros(t3, t4)).ptr()},
                            {"behaviour", pyfloat(micros(t4, t5) / (double)repeat).ptr()},
                            {"constructions", pyint(counting.constructions).ptr()},
                            {"orders", pyint(counting.orders).ptr()},
                            {"prints", pyint(counting.prints).ptr()}});
        } catch (const sym::Unsupported&) {
            return none();
        }
    },
};

const FuncDef describe_hook = Declaration<DescribeCall>{
    .name = "describe_native",
    .params = {{"expr", &DescribeCall::expr},
               {"var_ranges", &DescribeCall::var_ranges, nullptr, Check::DictOrNone, kNone},
               {"seed", &DescribeCall::seed, nullptr, Check::List},
               {"grid", &DescribeCall::grid},
               {"source_id", &DescribeCall::source_id, nullptr, Check::Any, kNone}},
    .doc = "(fields, packed): the fields of the ExprDescriptor describe(expr, var_ranges, "
           "source_id) makes\nafter np.random.seed(seed) with GRID = `grid`, and "
           "pack_descriptors([descriptor]), computed\nnatively; None where the native path "
           "leaves the formula to sympy or numpy.",
    .body = [](const DescribeCall& c) -> object {
        const NumpyLoops& loops = numpy_loops();
        Workbench w;
        auto e = w.read(c.expr);
        if (!e || !loops.complete()) return none();
        sym::BehaviourInput in;
        if (!behaviour_input(w, *e, c.var_ranges, c.seed, c.grid, in)) return none();
        std::optional<std::string> source;
        if (!c.source_id.is_none())
            source = utf8(check(PyObject_Format(c.source_id.ptr(), nullptr)));
        sym::Description d;
        std::string bytes;
        try {
            d = sym::describe(w.builder, loops, in, source);
            bytes = kernels::pack(sym::packed(w.pool, w.oracle, d));
        } catch (const sym::Unsupported&) {
            return none();
        }
        const sym::Structure& s = d.structure;
        const sym::Behaviour& b = d.behaviour;
        object operators = check(PyList_New(0));
        for (const std::string& op : s.operators)
            check_status(PyList_Append(operators.ptr(), pystr(op).ptr()));
        object fields = check(PyDict_New());
        auto put = [&](const char* key, handle value) {
            check_status(PyDict_SetItemString(fields.ptr(), key, value.ptr()));
        };
        put("expr", w.sympy(d.canonical));
        put("numeric_expr", c.expr);
        put("root_type", pystr(s.root_type));
        put("depth", pyint(s.depth));
        put("n_nodes", pyint(s.n_nodes));
        put("n_vars", pyint(s.n_vars));
        put("repeated_var", pybool(s.repeated_var));
        put("unary_depth", pyint(s.unary_depth));
        put("operators", operators);
        put("behavior_vec", array_of(b.behavior_vec));
        put("is_bounded", flag(b.is_bounded, b.bounded_is_numpy));
        put("boundedness", pyfloat(b.boundedness));
        put("is_periodic", pybool(b.is_periodic));
        put("is_monotone", flag(b.is_monotone, b.monotone_is_numpy));
        put("variance", pyfloat(b.variance));
        put("derivative_vec", check(PyList_New(0)));
        put("integral_vec", check(PyList_New(0)));
        put("derivative_approx", pyfloat(b.derivative_approx));
        put("integral_approx", pyfloat(b.integral_approx));
        put("stability_score", pyfloat(b.stability_score));
        put("sensitivity_perturbation", pyfloat(b.sensitivity_perturbation));
        put("growth_class", pystr(b.growth_class));
        put("frac_invalid", pyfloat(b.frac_invalid));
        object packed = check(PyBytes_FromStringAndSize(bytes.data(), (Py_ssize_t)bytes.size()));
        return nb::make_tuple(fields, packed);
    },
};

}  // namespace

void define_symbolic_describe_hooks(handle module) {
    for (const FuncDef* def : {&loop_hook, &program_hook, &stats_hook, &space_hook, &randn_hook,
                               &describe_hook, &phases_hook, &seed_hook})
        define(module, *def);
}

}  // namespace kt
