#include "runtime/state.hpp"

#include <utility>

namespace kt {

namespace {

State* g_state = nullptr;

// An attribute that instances of `cls` find in its class hierarchy (no metaclass, no Python code).
object found_in(handle cls, handle name) {
    return nb::borrow(_PyType_Lookup((PyTypeObject*)cls.ptr(), name.ptr()));
}

}  // namespace

const State& state() { return *g_state; }
State& mutable_state() { return *g_state; }

void init_state(handle module) {
    auto* s = new State();
    s->module = nb::borrow(module);
    s->module_dict = nb::borrow(PyModule_GetDict(module.ptr()));
    s->sp = import_module("sympy");
    s->np = import_module("numpy");
    s->zss = import_module("zss");
    s->builtins = import_module("builtins");
    const object& sp = s->sp;

    for (auto [field, name] : {std::pair{&State::Basic, "Basic"},
                               {&State::Expr, "Expr"},
                               {&State::Symbol, "Symbol"},
                               {&State::Function, "Function"},
                               {&State::Add, "Add"},
                               {&State::Mul, "Mul"},
                               {&State::Pow, "Pow"},
                               {&State::Number, "Number"},
                               {&State::Rational, "Rational"},
                               {&State::Float, "Float"},
                               {&State::NumberSymbol, "NumberSymbol"},
                               {&State::exp, "exp"},
                               {&State::sin, "sin"},
                               {&State::cos, "cos"},
                               {&State::log, "log"},
                               {&State::pi, "pi"},
                               {&State::preorder_traversal, "preorder_traversal"},
                               {&State::srepr, "srepr"}})
        s->*field = sp.attr(name);
    s->zero = sp.attr("S").attr("Zero");
    s->one = sp.attr("S").attr("One");

    for (auto [field, name] : {std::pair{&State::s_args, "args"},
                               {&State::s_func, "func"},
                               {&State::s_free_symbols, "free_symbols"},
                               {&State::s_is_number, "is_number"},
                               {&State::s_xreplace, "xreplace"},
                               {&State::s_name, "name"},
                               {&State::s_args_slot, "_args"},
                               {&State::s_xreplace_step, "_xreplace"},
                               {&State::s_argset, "_argset"},
                               {&State::s_eval_power, "_eval_power"},
                               {&State::s_assumptions0, "_assumptions0"},
                               {&State::s_is_commutative, "is_commutative"},
                               {&State::s_is_finite, "is_finite"},
                               {&State::s_is_negative, "is_negative"},
                               {&State::s_is_zero, "is_zero"},
                               {&State::s_is_Function, "is_Function"},
                               {&State::s_as_base_exp, "as_base_exp"},
                               {&State::s_from_args, "_from_args"},
                               {&State::s_postprocess, "_exec_constructor_postprocessors"},
                               {&State::s_evaluate, "evaluate"},
                               {&State::s_distribute, "distribute"},
                               {&State::s_exp_is_pow, "exp_is_pow"},
                               {&State::s_sort, "sort"},
                               {&State::s_key, "key"}})
        s->*field = interned(name);
    s->key_only = nb::make_tuple(s->s_key);
    s->evaluate_only = nb::make_tuple(s->s_evaluate);

    s->basic_args = found_in(s->Basic, s->s_args);
    s->basic_xreplace = found_in(s->Basic, s->s_xreplace);
    s->basic_xreplace_step = found_in(s->Basic, s->s_xreplace_step);
    s->atom_xreplace = found_in(sp.attr("Atom"), s->s_xreplace);
    s->expr_eval_power = found_in(s->Expr, s->s_eval_power);
    s->args_sortkey = import_module("sympy.core.basic").attr("_args_sortkey");
    s->global_parameters = import_module("sympy.core.parameters").attr("global_parameters");
    s->plain_assumptions = s->Symbol(pystr("x")).attr("_assumptions0");
    s->symbol_has_plain_power =
        found_in(s->Symbol, s->s_eval_power).ptr() == s->expr_eval_power.ptr();

    delete g_state;  // a re-initialisation replaces the previous state
    g_state = s;
}

object printed(handle expr) {
    if (is_type(expr, state().Symbol)) {
        object name = get_attr(expr, state().s_name);
        if (PyUnicode_CheckExact(name.ptr())) return name;
    }
    return str_of(expr);
}

bool printed_starts_with(handle expr, std::string_view prefix) {
    object text = printed(expr);
    object want = pystr(prefix);
    return check_status(PyUnicode_Tailmatch(text.ptr(), want.ptr(), 0, PY_SSIZE_T_MAX, -1)) == 1;
}

namespace {
// `source.bank.parsing`, relative to the module's package; a non-empty from-list makes the
// import return the submodule itself rather than its top package.
object parsing_module() {
    object fromlist = nb::make_tuple("parse_expression");
    return check(PyImport_ImportModuleLevel("bank.parsing", state().module_dict.ptr(), nullptr,
                                            fromlist.ptr(), 1));
}
}  // namespace

object parse_expression(handle text) { return parsing_module().attr("parse_expression")(text); }

const TextLimits& text_limits() {
    std::optional<TextLimits>& limits = mutable_state().text_limits;
    if (!limits) {
        object parsing = parsing_module();
        auto read = [&](const char* name) {
            const long long v = PyLong_AsLongLong(parsing.attr(name).ptr());
            if (v == -1 && PyErr_Occurred()) throw nb::python_error();
            return v;
        };
        limits = TextLimits{read("MAX_EXPONENT"), read("MAX_INTEGER_DIGITS")};
    }
    return *limits;
}

void print(std::initializer_list<handle> args) {
    object tuple = check(PyTuple_New((Py_ssize_t)args.size()));
    Py_ssize_t i = 0;
    for (handle arg : args) PyTuple_SET_ITEM(tuple.ptr(), i++, nb::borrow(arg).release().ptr());
    check(PyObject_Call(get_attr(state().builtins, "print").ptr(), tuple.ptr(), nullptr));
}

object module_global(const char* name) {
    PyObject* value = PyDict_GetItemString(state().module_dict.ptr(), name);  // borrowed
    if (!value) raise(PyExc_NameError, std::string("name '") + name + "' is not defined");
    return nb::borrow(value);
}

}  // namespace kt
