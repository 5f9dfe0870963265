// The module's own callable type. Every exported function is declared once with its Python
// signature (names, kinds, defaults, annotation strings, docstring); the type binds arguments
// like a Python function, applies the typed-parameter checks, and exposes the usual function
// metadata (`__signature__` included) so that `inspect` and `help()` work.
#pragma once

#include <vector>

#include "runtime/py.hpp"

namespace kt {

enum class Kind : unsigned char { Normal, VarArgs, KwOnly, VarKw };

// Typed-parameter rules applied on entry, before the body runs.
enum class Check : unsigned char {
    Any,
    List,        // must be a list object
    ListOrNone,  // a list object or None
    Dict,        // must be a dict object
    DictOrNone,  // a dict object or None
    Int,         // must be an int
    IntNotBool,  // must be an int other than True/False
    Str,         // must be a str
    StrOrNone,   // a str or None
    IntOrNone,   // an int or None
    Float,       // converted to a Python float
    Bool,        // converted to True/False
};

struct Param {
    const char* name;
    const char* annotation = nullptr;   // literal annotation text; nullptr for none
    Check check = Check::Any;
    const char* default_src = nullptr;  // Python expression, evaluated in the module namespace
                                        // when the function is defined; nullptr: required
    Kind kind = Kind::Normal;
};

class Args;
using Impl = object (*)(Args&);

struct FuncDef {
    const char* name;
    std::vector<Param> params;
    const char* returns = nullptr;  // return annotation text
    const char* doc = nullptr;
    Impl impl = nullptr;
    const char* qualname = nullptr;  // defaults to `name`; "Class.method" for methods
};

constexpr int kMaxParams = 16;

// The bound arguments of one call, in parameter order. Views are borrowed from the caller or
// owned here (converted floats, packed *args/**kwargs).
class Args {
public:
    handle operator[](int i) const { return slot_[i]; }
    // A Float parameter, already converted.
    double real(int i) const { return PyFloat_AS_DOUBLE(slot_[i]); }
    // A Bool parameter, already converted.
    bool flag(int i) const { return slot_[i] == Py_True; }
    bool is_none(int i) const { return slot_[i] == Py_None; }

private:
    friend struct Binder;
    PyObject* slot_[kMaxParams] = {};
    object owned_[kMaxParams];
};

// The Float parameter rule applied to a value computed inside a function: converted to a
// double, or the TypeError that names the parameter.
double float_argument(handle value, const char* param);

// Creates a function object for `def` (kept alive for the life of the process), evaluating
// its defaults in `module_dict`.
object make_function(const FuncDef& def, handle module_dict);

// Defines `def` as an attribute of the module.
void define(handle module, const FuncDef& def);

// The native function type, for identity checks; `type_name` is its dotted name (module and type).
PyTypeObject* function_type();
void init_function_type(const char* type_name);

}  // namespace kt
