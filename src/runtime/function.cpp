#include "runtime/function.hpp"

#include <cstddef>
#include <cstring>
#include <deque>
#include <string>

#include <structmember.h>  // T_OBJECT: a NULL member reads as None

namespace kt {

object Default::make() const {
    struct Maker {
        object operator()(std::monostate) const {
            raise(PyExc_SystemError, "a required parameter has no default");
        }
        object operator()(NoneValue) const { return none(); }
        object operator()(bool v) const { return pybool(v); }
        object operator()(long long v) const { return pyint(v); }
        object operator()(double v) const { return pyfloat(v); }
        object operator()(const std::string& v) const { return pystr(v); }
        object operator()(const Floats& v) const {
            object tuple = check(PyTuple_New((Py_ssize_t)v.items.size()));
            for (size_t i = 0; i < v.items.size(); ++i)
                PyTuple_SET_ITEM(tuple.ptr(), (Py_ssize_t)i, pyfloat(v.items[i]).release().ptr());
            return tuple;
        }
    };
    return std::visit(Maker{}, value_);
}

namespace {

struct FuncObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FuncDef* def;
    int n_params;
    int n_positional;  // leading Normal parameters
    int varargs_at;    // index of *args, or -1
    int varkw_at;      // index of **kwargs, or -1
    PyObject** names;       // n_params interned parameter names (PyMem array)
    PyObject** default_of;  // n_params default values, NULL where none (PyMem array)
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple, or NULL when no positional parameter has a default
    PyObject* kwdefaults;   // dict, or NULL
    PyObject* annotations;  // dict
    PyObject* signature;    // built on first request
    PyObject* dict;
};

// Filled in by init_function_type(); only the object header is initialised here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject g_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

FuncObject* as_func(PyObject* self) { return reinterpret_cast<FuncObject*>(self); }

std::string qualname_of(FuncObject* f) {
    if (f->qualname && PyUnicode_Check(f->qualname)) return std::string(utf8(f->qualname));
    return f->def->qualname ? f->def->qualname : f->def->name;
}

const char* expected_name(Check c) {
    switch (c) {
        case Check::List:
        case Check::ListOrNone:
            return "list";
        case Check::Dict:
        case Check::DictOrNone:
            return "dict";
        case Check::Int:
        case Check::IntNotBool:
        case Check::IntOrNone:
            return "int";
        case Check::Str:
        case Check::StrOrNone:
            return "str";
        case Check::Float:
            return "float";
        default:
            return "object";
    }
}

[[noreturn]] void wrong_type(const char* name, const char* expected, handle value) {
    raise(PyExc_TypeError, std::string("Argument '") + name + "' has incorrect type (expected " +
                               expected + ", got " + class_name_std(value) + ")");
}

[[noreturn]] void wrong_type(const Param& p, handle value) {
    wrong_type(p.name, expected_name(p.check), value);
}

}  // namespace

double float_argument(handle value, const char* name) {
    double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
        wrong_type(name, "float", value);
    }
    return v;
}

namespace {

std::string join_missing(const std::vector<std::string>& names) {
    auto q = [](const std::string& s) { return "'" + s + "'"; };
    if (names.size() == 1) return q(names[0]);
    if (names.size() == 2) return q(names[0]) + " and " + q(names[1]);
    std::string out;
    for (size_t i = 0; i + 1 < names.size(); ++i) out += q(names[i]) + ", ";
    return out + "and " + q(names.back());
}

[[noreturn]] void missing(FuncObject* f, const char* kind, const std::vector<std::string>& names) {
    raise(PyExc_TypeError, qualname_of(f) + "() missing " + std::to_string(names.size()) +
                               " required " + kind + " argument" + (names.size() == 1 ? "" : "s") +
                               ": " + join_missing(names));
}

[[noreturn]] void too_many_positional(FuncObject* f, Py_ssize_t given, int kwonly_given) {
    int with_default = 0;
    for (int i = 0; i < f->n_positional; ++i) with_default += f->default_of[i] != nullptr;
    std::string sig;
    bool plural;
    if (with_default) {
        sig = "from " + std::to_string(f->n_positional - with_default) + " to " +
              std::to_string(f->n_positional);
        plural = true;
    } else {
        sig = std::to_string(f->n_positional);
        plural = f->n_positional != 1;
    }
    std::string kwonly;
    if (kwonly_given)
        kwonly = std::string(" positional argument") + (given != 1 ? "s" : "") + " (and " +
                 std::to_string(kwonly_given) + " keyword-only argument" +
                 (kwonly_given != 1 ? "s" : "") + ")";
    raise(PyExc_TypeError, qualname_of(f) + "() takes " + sig + " positional argument" +
                               (plural ? "s" : "") + " but " + std::to_string(given) + kwonly +
                               " " + (given == 1 && !kwonly_given ? "was" : "were") + " given");
}

// The parameter a keyword names; *args and **kwargs are not named by keywords (a keyword
// spelled like them goes into **kwargs, as in Python).
int find_keyword(FuncObject* f, PyObject* key) {
    auto named = [f](int i) {
        Kind k = f->def->params[i].kind;
        return k == Kind::Normal || k == Kind::KwOnly;
    };
    for (int i = 0; i < f->n_params; ++i)
        if (f->names[i] == key && named(i)) return i;
    for (int i = 0; i < f->n_params; ++i) {
        if (!named(i)) continue;
        int cmp = PyUnicode_Compare(f->names[i], key);
        if (cmp == -1 && PyErr_Occurred()) throw nb::python_error();
        if (cmp == 0) return i;
    }
    return -1;
}

void apply_check(const Param& p, Value& v) {
    handle value = v.object;
    switch (p.check) {
        case Check::Any:
            return;
        case Check::ListOrNone:
            if (value.is_none()) return;
            [[fallthrough]];
        case Check::List:
            if (!PyList_CheckExact(value.ptr())) wrong_type(p, value);
            return;
        case Check::DictOrNone:
            if (value.is_none()) return;
            [[fallthrough]];
        case Check::Dict:
            if (!PyDict_CheckExact(value.ptr())) wrong_type(p, value);
            return;
        case Check::Int:
            if (!PyLong_Check(value.ptr())) wrong_type(p, value);
            return;
        case Check::IntNotBool:
            if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) wrong_type(p, value);
            return;
        case Check::StrOrNone:
            if (value.is_none()) return;
            [[fallthrough]];
        case Check::Str:
            if (!PyUnicode_Check(value.ptr())) wrong_type(p, value);
            return;
        case Check::IntOrNone:
            if (value.is_none()) return;
            if (!PyLong_Check(value.ptr())) wrong_type(p, value);
            return;
        case Check::Float:
            if (PyFloat_CheckExact(value.ptr())) {
                v.real = PyFloat_AS_DOUBLE(value.ptr());
                return;
            }
            v.real = float_argument(value, p.name);
            v.owned = pyfloat(v.real);
            v.object = v.owned.ptr();
            return;
        case Check::Bool:
            v.flag = truth(value);
            v.object = v.flag ? Py_True : Py_False;
            return;
    }
}

}  // namespace

// A TypeError naming a keyword by its own text (which may hold any code point).
[[noreturn]] void keyword_error(FuncObject* f, const char* what, PyObject* key) {
    PyErr_Format(PyExc_TypeError, (qualname_of(f) + what).c_str(), key);
    throw nb::python_error();
}

// Binds one call's arguments to the parameters, the way the interpreter binds a Python
// function's, then applies the typed-parameter rules.
struct Binder {
    static void bind(FuncObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                     Bound& a) {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        const int npos = f->n_positional;
        const Py_ssize_t ncopy = nargs < npos ? nargs : npos;
        for (Py_ssize_t i = 0; i < ncopy; ++i) a[i].object = args[i];
        if (f->varargs_at >= 0) {
            Py_ssize_t extra = nargs > npos ? nargs - npos : 0;
            object rest = check(PyTuple_New(extra));
            for (Py_ssize_t i = 0; i < extra; ++i)
                PyTuple_SET_ITEM(rest.ptr(), i, Py_NewRef(args[npos + i]));
            Value& v = a[f->varargs_at];
            v.owned = rest;
            v.object = rest.ptr();
        }
        if (f->varkw_at >= 0) {
            Value& v = a[f->varkw_at];
            v.owned = check(PyDict_New());
            v.object = v.owned.ptr();
        }
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + k];
            int idx = find_keyword(f, key);
            if (idx < 0) {
                if (f->varkw_at < 0)
                    keyword_error(f, "() got an unexpected keyword argument '%U'", key);
                check_status(PyDict_SetItem(a[f->varkw_at].object, key, value));
            } else if (a[idx].object) {
                keyword_error(f, "() got multiple values for argument '%U'", key);
            } else {
                a[idx].object = value;
            }
        }
        if (nargs > npos && f->varargs_at < 0) {
            int kwonly_given = 0;
            for (int i = 0; i < f->n_params; ++i)
                kwonly_given += f->def->params[i].kind == Kind::KwOnly && a[i].object;
            too_many_positional(f, nargs, kwonly_given);
        }
        fill_defaults(f, a, Kind::Normal, "positional");
        fill_defaults(f, a, Kind::KwOnly, "keyword-only");
        for (int i = 0; i < f->n_params; ++i) apply_check(f->def->params[i], a[i]);
    }

    static void fill_defaults(FuncObject* f, Bound& a, Kind kind, const char* label) {
        std::vector<std::string> absent;
        for (int i = 0; i < f->n_params; ++i) {
            if (f->def->params[i].kind != kind || a[i].object) continue;
            if (f->default_of[i])
                a[i].object = f->default_of[i];
            else
                absent.emplace_back(f->def->params[i].name);
        }
        if (!absent.empty()) missing(f, label, absent);
    }
};

namespace {

// The one boundary where C++ exceptions become Python exceptions.
PyObject* translate_current_exception() {
    try {
        throw;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (nb::builtin_exception& e) {
        PyObject* type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::type_error:
                type = PyExc_TypeError;
                break;
            case nb::exception_type::value_error:
                type = PyExc_ValueError;
                break;
            case nb::exception_type::index_error:
                type = PyExc_IndexError;
                break;
            case nb::exception_type::key_error:
                type = PyExc_KeyError;
                break;
            case nb::exception_type::attribute_error:
                type = PyExc_AttributeError;
                break;
            case nb::exception_type::import_error:
                type = PyExc_ImportError;
                break;
            case nb::exception_type::stop_iteration:
                type = PyExc_StopIteration;
                break;
            default:
                break;
        }
        PyErr_SetString(type, e.what());
    } catch (std::bad_cast&) {
        PyErr_SetString(PyExc_TypeError, "unexpected argument type");
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

PyObject* func_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FuncObject* f = as_func(self);
    try {
        Bound a((size_t)f->n_params);
        Binder::bind(f, args, nargsf, kwnames, a);
        object result = f->def->call(a);
        if (!result.is_valid()) return Py_NewRef(Py_None);
        return result.release().ptr();
    } catch (...) {
        return translate_current_exception();
    }
}

PyObject* func_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* func_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %s at %p>", qualname_of(as_func(self)).c_str(), self);
}

int func_traverse(PyObject* self, visitproc visit, void* arg) {
    FuncObject* f = as_func(self);
    Py_VISIT(Py_TYPE(self));
    for (int i = 0; i < f->n_params && f->default_of; ++i) Py_VISIT(f->default_of[i]);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->signature);
    Py_VISIT(f->dict);
    return 0;
}

int func_clear(PyObject* self) {
    FuncObject* f = as_func(self);
    for (int i = 0; i < f->n_params && f->names; ++i) {
        Py_CLEAR(f->names[i]);
        Py_CLEAR(f->default_of[i]);
    }
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->signature);
    Py_CLEAR(f->dict);
    return 0;
}

void func_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    func_clear(self);
    FuncObject* f = as_func(self);
    PyMem_Free(f->names);
    PyMem_Free(f->default_of);
    PyObject_GC_Del(self);
}

PyObject* inspect_kind(Kind k) {
    static const char* names[] = {"POSITIONAL_OR_KEYWORD", "VAR_POSITIONAL", "KEYWORD_ONLY",
                                  "VAR_KEYWORD"};
    object inspect = import_module("inspect");
    return Py_NewRef(inspect.attr("Parameter").attr(names[(int)k]).ptr());
}

PyObject* get_signature(PyObject* self, void*) {
    FuncObject* f = as_func(self);
    if (f->signature) return Py_NewRef(f->signature);
    try {
        object inspect = import_module("inspect");
        object Parameter = inspect.attr("Parameter");
        object empty = Parameter.attr("empty");
        object params = check(PyList_New(0));
        for (int i = 0; i < f->n_params; ++i) {
            const Param& p = f->def->params[i];
            object kind = nb::steal(inspect_kind(p.kind));
            object kwargs = check(PyDict_New());
            check_status(PyDict_SetItemString(kwargs.ptr(), "default",
                                              f->default_of[i] ? f->default_of[i] : empty.ptr()));
            object ann = p.annotation ? pystr(p.annotation) : empty;
            check_status(PyDict_SetItemString(kwargs.ptr(), "annotation", ann.ptr()));
            object args = nb::make_tuple(nb::handle(f->names[i]), kind);
            object param = check(PyObject_Call(Parameter.ptr(), args.ptr(), kwargs.ptr()));
            check_status(PyList_Append(params.ptr(), param.ptr()));
        }
        object kwargs = check(PyDict_New());
        object ret =
            f->def->returns ? pystr(f->def->returns) : inspect.attr("Signature").attr("empty");
        check_status(PyDict_SetItemString(kwargs.ptr(), "return_annotation", ret.ptr()));
        object args = nb::make_tuple(params);
        f->signature =
            check(PyObject_Call(inspect.attr("Signature").ptr(), args.ptr(), kwargs.ptr()))
                .release()
                .ptr();
        return Py_NewRef(f->signature);
    } catch (...) {
        return translate_current_exception();
    }
}

PyObject* func_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_func(self)->qualname); }

PyMemberDef g_members[] = {
    {"__name__", T_OBJECT, offsetof(FuncObject, name), 0, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FuncObject, qualname), 0, nullptr},
    {"__module__", T_OBJECT, offsetof(FuncObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FuncObject, doc), 0, nullptr},
    {"__defaults__", T_OBJECT, offsetof(FuncObject, defaults), Py_READONLY, nullptr},
    {"__kwdefaults__", T_OBJECT, offsetof(FuncObject, kwdefaults), Py_READONLY, nullptr},
    {"__annotations__", T_OBJECT, offsetof(FuncObject, annotations), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef g_getset[] = {
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef g_methods[] = {{"__reduce__", func_reduce, METH_NOARGS, nullptr},
                           {nullptr, nullptr, 0, nullptr}};

// Definitions live for the life of the process: function objects point at them.
std::deque<FuncDef>& def_store() {
    static auto* store = new std::deque<FuncDef>();
    return *store;
}

}  // namespace

PyTypeObject* function_type() { return &g_type; }

void init_function_type(const char* type_name) {
    if (g_type.tp_flags & Py_TPFLAGS_READY) return;
    g_type.tp_name = type_name;
    g_type.tp_basicsize = sizeof(FuncObject);
    g_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                      Py_TPFLAGS_METHOD_DESCRIPTOR;
    g_type.tp_vectorcall_offset = offsetof(FuncObject, vectorcall);
    g_type.tp_call = PyVectorcall_Call;
    g_type.tp_descr_get = func_descr_get;
    g_type.tp_repr = func_repr;
    g_type.tp_traverse = func_traverse;
    g_type.tp_clear = func_clear;
    g_type.tp_dealloc = func_dealloc;
    g_type.tp_members = g_members;
    g_type.tp_getset = g_getset;
    g_type.tp_methods = g_methods;
    g_type.tp_dictoffset = offsetof(FuncObject, dict);
    g_type.tp_doc = "Function implemented natively by source._brenmoor.";
    check_status(PyType_Ready(&g_type));
}

object make_function(const FuncDef& given, handle module) {
    const FuncDef& def = def_store().emplace_back(given);
    auto* f = PyObject_GC_New(FuncObject, &g_type);
    if (!f) throw nb::python_error();
    // Zero everything after the header so that a failure below leaves a valid object.
    std::memset(reinterpret_cast<char*>(f) + sizeof(PyObject), 0,
                sizeof(FuncObject) - sizeof(PyObject));
    object self = nb::steal(reinterpret_cast<PyObject*>(f));
    f->vectorcall = func_vectorcall;
    f->def = &def;
    f->varargs_at = f->varkw_at = -1;
    const size_t n = def.params.size();
    f->names = static_cast<PyObject**>(PyMem_Calloc(n ? n : 1, sizeof(PyObject*)));
    f->default_of = static_cast<PyObject**>(PyMem_Calloc(n ? n : 1, sizeof(PyObject*)));
    if (!f->names || !f->default_of) throw std::bad_alloc();
    f->n_params = (int)n;

    object positional_defaults = check(PyList_New(0));
    object kwdefaults = check(PyDict_New());
    object annotations = check(PyDict_New());
    for (int i = 0; i < f->n_params; ++i) {
        const Param& p = def.params[i];
        f->names[i] = interned(p.name).release().ptr();
        if (p.kind == Kind::Normal) f->n_positional = i + 1;
        if (p.kind == Kind::VarArgs) f->varargs_at = i;
        if (p.kind == Kind::VarKw) f->varkw_at = i;
        if (p.default_value.given()) {
            object value = p.default_value.make();
            f->default_of[i] = Py_NewRef(value.ptr());
            if (p.kind == Kind::Normal)
                check_status(PyList_Append(positional_defaults.ptr(), value.ptr()));
            else
                check_status(PyDict_SetItem(kwdefaults.ptr(), f->names[i], value.ptr()));
        }
        if (p.annotation)
            check_status(PyDict_SetItem(annotations.ptr(), f->names[i], pystr(p.annotation).ptr()));
    }
    if (def.returns)
        check_status(PyDict_SetItemString(annotations.ptr(), "return", pystr(def.returns).ptr()));
    if (PyList_GET_SIZE(positional_defaults.ptr()))
        f->defaults = check(PyList_AsTuple(positional_defaults.ptr())).release().ptr();
    if (PyDict_GET_SIZE(kwdefaults.ptr())) f->kwdefaults = kwdefaults.release().ptr();
    f->annotations = annotations.release().ptr();
    f->name = pystr(def.name).release().ptr();
    f->qualname = pystr(def.qualname ? def.qualname : def.name).release().ptr();
    PyObject* mod_name = PyDict_GetItemString(PyModule_GetDict(module.ptr()), "__name__");
    f->module = Py_NewRef(mod_name ? mod_name : Py_None);
    f->doc = def.doc ? pystr(def.doc).release().ptr() : Py_NewRef(Py_None);
    PyObject_GC_Track(self.ptr());
    return self;
}

void define(handle module, const FuncDef& def) {
    object fn = make_function(def, module);
    check_status(PyObject_SetAttrString(module.ptr(), def.name, fn.ptr()));
}

}  // namespace kt
