// How a native function is declared: its Python signature (names, kinds, typed defaults,
// annotation strings) and the named fields of a C++ struct its arguments are bound into.
//
//     struct Call { handle expr; double alpha; bool verbose; };
//     const FuncDef def = Declaration<Call>{
//         .name = "f",
//         .params = {{"expr", &Call::expr, "sp.Expr"}, {"alpha", &Call::alpha, "float", 0.85},
//                    {"verbose", &Call::verbose, "bool", false}},
//         .body = [](const Call& c) { return f(c.expr, c.alpha, c.verbose); },
//     };
//
// A `double` field takes the Float rule (converted like `float(x)`), a `bool` field the Bool
// rule (its truth value), a `handle` field the check it is declared with. Defaults are values,
// made Python objects once, when the function is created. Bodies read fields by name: adding a
// parameter cannot shift another, and there is no limit on their number.
#pragma once

#include <functional>
#include <string>
#include <type_traits>
#include <variant>
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
    Float,       // converted to a float (double fields)
    Bool,        // converted to True/False (bool fields)
};

// Python's None, as a default value.
struct NoneValue {};
inline constexpr NoneValue kNone{};

// A tuple of floats, as a default value (`()` when empty).
struct Floats {
    std::vector<double> items;
};

// A parameter's default value, or none (a required parameter).
class Default {
public:
    Default() = default;
    Default(NoneValue) : value_(NoneValue{}) {}
    Default(bool v) : value_(v) {}
    Default(int v) : value_((long long)v) {}
    Default(double v) : value_(v) {}
    Default(const char* text) : value_(std::string(text)) {}
    Default(Floats v) : value_(std::move(v)) {}

    bool given() const { return !std::holds_alternative<std::monostate>(value_); }
    // The value as a new Python object (a given default only).
    object make() const;

private:
    std::variant<std::monostate, NoneValue, bool, long long, double, std::string, Floats> value_;
};

// One parameter as the function type sees it.
struct Param {
    const char* name;
    const char* annotation = nullptr;  // literal annotation text; nullptr for none
    Check check = Check::Any;
    Default default_value;
    Kind kind = Kind::Normal;
};

// The bound value of one parameter, after the checks.
struct Value {
    PyObject* object = nullptr;  // borrowed from the call or the default, or `owned`
    kt::object owned;            // *args, **kwargs, a float converted from another number
    double real = 0.0;           // a Float parameter
    bool flag = false;           // a Bool parameter
};

// The bound parameters of one call, in parameter order; only the binder and the field
// filler of a declaration index them.
class Bound {
public:
    explicit Bound(size_t n)
        : values_(n <= kInline ? inline_ : (heap_.resize(n), heap_.data())), size_(n) {}
    Bound(const Bound&) = delete;
    Bound& operator=(const Bound&) = delete;

private:
    friend struct Binder;
    template <class F>
    friend struct Declaration;
    Value& operator[](size_t i) { return values_[i]; }
    const Value& operator[](size_t i) const { return values_[i]; }
    size_t size() const { return size_; }

    static constexpr size_t kInline = 16;  // most signatures: no allocation per call
    Value inline_[kInline];
    std::vector<Value> heap_;
    Value* values_;
    size_t size_;
};

// A function as the function type holds it.
struct FuncDef {
    const char* name;
    std::vector<Param> params;
    const char* returns = nullptr;  // return annotation text
    const char* doc = nullptr;
    std::function<object(const Bound&)> call;  // fills the declaration's fields and runs its body
    const char* qualname = nullptr;  // defaults to `name`; "Class.method" for methods
};

// A parameter bound into a field of F.
template <class F>
struct Arg {
    Param param;
    std::variant<handle F::*, double F::*, bool F::*> field;

    Arg(const char* name, handle F::* to, const char* annotation = nullptr,
        Check check = Check::Any, Default value = {}, Kind kind = Kind::Normal)
        : param{name, annotation, check, std::move(value), kind}, field(to) {}
    Arg(const char* name, handle F::* to, const char* annotation, Default value,
        Kind kind = Kind::Normal)
        : param{name, annotation, Check::Any, std::move(value), kind}, field(to) {}
    Arg(const char* name, double F::* to, const char* annotation = nullptr, Default value = {},
        Kind kind = Kind::Normal)
        : param{name, annotation, Check::Float, std::move(value), kind}, field(to) {}
    Arg(const char* name, bool F::* to, const char* annotation = nullptr, Default value = {},
        Kind kind = Kind::Normal)
        : param{name, annotation, Check::Bool, std::move(value), kind}, field(to) {}
};

// A keyword-only parameter.
template <class F>
Arg<F> keyword_only(Arg<F> arg) {
    arg.param.kind = Kind::KwOnly;
    return arg;
}

// A function whose arguments are bound into the fields of F (default-constructible).
template <class F>
struct Declaration {
    const char* name;
    std::vector<Arg<F>> params;
    const char* returns = nullptr;
    const char* doc = nullptr;
    object (*body)(const F&) = nullptr;
    const char* qualname = nullptr;

    operator FuncDef() const {
        FuncDef def{name, {}, returns, doc, {}, qualname};
        std::vector<decltype(Arg<F>::field)> fields;
        for (const Arg<F>& arg : params) {
            def.params.push_back(arg.param);
            fields.push_back(arg.field);
        }
        def.call = [fields = std::move(fields), body = body](const Bound& bound) {
            F call{};
            if constexpr (!std::is_empty_v<F>) {
                for (size_t i = 0; i < fields.size(); ++i) {
                    const Value& v = bound[i];
                    if (auto to = std::get_if<handle F::*>(&fields[i]))
                        call.*(*to) = v.object;
                    else if (auto to = std::get_if<double F::*>(&fields[i]))
                        call.*(*to) = v.real;
                    else
                        call.*(std::get<bool F::*>(fields[i])) = v.flag;
                }
            }
            return body(call);
        };
        return def;
    }
};

}  // namespace kt
