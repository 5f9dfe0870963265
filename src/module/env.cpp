#include "module/env.hpp"

namespace kt {

namespace {
Env* g_env = nullptr;

object import(const char* name) { return check(PyImport_ImportModule(name)); }
}  // namespace

Env& env() { return *g_env; }

void init_env(handle module) {
    auto* e = new Env();
    e->module = nb::borrow(module);
    e->module_dict = nb::borrow(PyModule_GetDict(module.ptr()));
    e->sp = import("sympy");
    e->np = import("numpy");
    e->zss = import("zss");
    e->builtins = import("builtins");
    e->Basic = e->sp.attr("Basic");
    e->Symbol = e->sp.attr("Symbol");
    e->Function = e->sp.attr("Function");
    e->Add = e->sp.attr("Add");
    e->Mul = e->sp.attr("Mul");
    e->Pow = e->sp.attr("Pow");
    e->preorder_traversal = e->sp.attr("preorder_traversal");
    e->srepr = e->sp.attr("srepr");
    e->s_args = interned("args");
    e->s_func = interned("func");
    e->s_free_symbols = interned("free_symbols");
    e->s_is_number = interned("is_number");
    e->s_xreplace = interned("xreplace");
    e->s_name = interned("name");
    delete g_env;  // a re-initialisation replaces the previous table
    g_env = e;
}

object printed(handle expr) {
    if (is_type(expr, env().Symbol)) {
        object name = get_attr(expr, env().s_name);
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
object parsing_module() {
    object fromlist = check(PyTuple_New(0));
    return check(PyImport_ImportModuleLevel("parsing", env().module_dict.ptr(), nullptr, fromlist.ptr(), 1));
}
}  // namespace

object parse_expression(handle text) { return parsing_module().attr("parse_expression")(text); }

const TextLimits& text_limits() {
    static TextLimits* limits = nullptr;  // set once, with the GIL held
    if (!limits) {
        object parsing = parsing_module();
        auto read = [&](const char* name) {
            const long long v = PyLong_AsLongLong(parsing.attr(name).ptr());
            if (v == -1 && PyErr_Occurred()) throw nb::python_error();
            return v;
        };
        limits = new TextLimits{read("MAX_EXPONENT"), read("MAX_INTEGER_DIGITS")};
    }
    return *limits;
}

void print(std::initializer_list<handle> args) {
    object tuple = check(PyTuple_New((Py_ssize_t)args.size()));
    Py_ssize_t i = 0;
    for (handle arg : args) PyTuple_SET_ITEM(tuple.ptr(), i++, nb::borrow(arg).release().ptr());
    check(PyObject_Call(get_attr(env().builtins, "print").ptr(), tuple.ptr(), nullptr));
}

object module_global(const char* name) {
    PyObject* value = PyDict_GetItemString(env().module_dict.ptr(), name);  // borrowed
    if (!value) raise(PyExc_NameError, std::string("name '") + name + "' is not defined");
    return nb::borrow(value);
}

}  // namespace kt
