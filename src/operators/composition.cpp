#include "operators/composition.hpp"

#include "operators/symbolic_operator.hpp"
#include "operators/text.hpp"
#include "runtime/state.hpp"

namespace kt {

namespace composition {

namespace {

// The primitives a composition draws from when the generator is given none.
const char* const kAtoms[] = {"x",  "y",  "z",  "a",   "b",    "c",    "t",  "u",  "w",  "n",
                              "m",  "p",  "q",  "1",   "2",    "3",    "4",  "5",  "-1", "-2",
                              "-3", "-4", "-5", "0.5", "3.14", "2.71", "10", "-10"};

object default_atoms() {
    object atoms = new_list();
    for (const char* atom : kAtoms) append(atoms, pystr(atom));
    return atoms;
}

object random_module() { return module_global("random"); }

}  // namespace

object init(handle self, handle seed, handle atoms, handle level_probs) {
    if (!seed.is_none()) random_module().attr("seed")(seed);
    object chosen_atoms = truth(atoms) ? nb::borrow(atoms) : default_atoms();
    object probs = nb::borrow(level_probs);
    if (!truth(level_probs)) {
        probs = check(PyList_New(0));
        for (int k = 0; k < 2; ++k) check_status(PyList_Append(probs.ptr(), pyfloat(0.5).ptr()));
    }
    check_status(PyObject_SetAttrString(self.ptr(), "atoms", chosen_atoms.ptr()));
    check_status(PyObject_SetAttrString(self.ptr(), "level_probs", probs.ptr()));
    return none();
}

object build(handle self, handle op, handle level) {
    if (equal(level, pyint(0))) return get_attr(self, "_primitive")();
    object random = random_module();
    object range = state().builtins.attr("range");
    object sum = state().builtins.attr("sum");
    object build_method = get_attr(self, "_build");
    Items params(get_attr(op, "params"));
    object args = check(PyList_New(0));
    for (Py_ssize_t k = 0; k < params.size(); ++k) {
        object available = check(PySequence_List(range(level).ptr()));
        object probs = check(PySequence_List(
            item(get_attr(self, "level_probs"), slice(kOpen, PyLong_AsSsize_t(level.ptr())))
                .ptr()));
        if (PyErr_Occurred()) throw nb::python_error();
        while (PyList_GET_SIZE(probs.ptr()) < PyList_GET_SIZE(available.ptr()))
            check_status(PyList_Append(probs.ptr(), pyfloat(0.0).ptr()));
        object total = sum(probs);
        const Py_ssize_t n = PyList_GET_SIZE(available.ptr());
        object weights = check(PyList_New(0));
        for (Py_ssize_t i = 0; i < n; ++i) {
            object w =
                equal(total, pyint(0))
                    ? pyfloat(1.0 / (double)n)
                    : check(PyNumber_TrueDivide(PyList_GET_ITEM(probs.ptr(), i), total.ptr()));
            check_status(PyList_Append(weights.ptr(), w.ptr()));
        }
        object arg_level = item(random.attr("choices")(available, nb::arg("weights") = weights), 0);
        check_status(PyList_Append(args.ptr(), build_method(op, arg_level).ptr()));
    }
    object tuple = check(PyList_AsTuple(args.ptr()));
    return check(PyObject_Call(op.ptr(), tuple.ptr(), nullptr));
}

object compose(handle self, handle op, handle max_level, handle slot_levels) {
    object build_method = get_attr(self, "_build");
    if (slot_levels.is_none()) return build_method(op, max_level);
    const Py_ssize_t want = length(get_attr(op, "params"));
    if (length(slot_levels) != want)
        raise(PyExc_ValueError, "slot_levels must have " + std::to_string(want) + " entries");
    Items levels(slot_levels);
    object args = check(PyTuple_New(levels.size()));
    for (Py_ssize_t i = 0; i < levels.size(); ++i)
        PyTuple_SET_ITEM(args.ptr(), i, build_method(op, levels[i]).release().ptr());
    return check(PyObject_Call(op.ptr(), args.ptr(), nullptr));
}

namespace {

// The nesting depth of the calls in `s`: 0 without a call, else 1 + the deepest argument.
long level_of(handle s, handle pattern, const std::u32string& name, handle op) {
    RecursionGuard guard(" while measuring a composition level");
    if (get_attr(pattern, "search")(s).is_none()) return 0;
    const std::u32string text = code_points(s);
    const std::u32string opener = name + U"(";
    long deepest = 0;
    size_t i = 0;
    while (i < text.size()) {
        if (text.compare(i, opener.size(), opener) != 0) {
            ++i;
            continue;
        }
        const size_t arg_start = i + opener.size();
        size_t j = arg_start;
        int depth = 1;
        while (j < text.size() && depth > 0) {
            if (text[j] == U'(')
                ++depth;
            else if (text[j] == U')')
                --depth;
            ++j;
        }
        const size_t arg_end = j > arg_start ? j - 1 : arg_start;
        Items args(get_attr(op, "_split_args")(
            from_code_points(text.substr(arg_start, arg_end - arg_start))));
        for (Py_ssize_t k = 0; k < args.size(); ++k)
            deepest = std::max(deepest, level_of(args[k], pattern, name, op));
        i = j;
    }
    return deepest + 1;
}

}  // namespace

object compute_level(handle expr, handle op) {
    object re = module_global("re");
    object name = get_attr(op, "name");
    object pattern =
        re.attr("compile")(concat({pystr("\\b"), re.attr("escape")(name), pystr("\\b")}));
    if (get_attr(pattern, "search")(expr).is_none()) return pyint(0);
    return pyint(level_of(expr, pattern, code_points(str_of(name)), op));
}

object generate_multiple(handle self, handle op, handle count, handle max_level,
                         handle slot_levels) {
    object compose_method = get_attr(self, "compose");
    object out = check(PyList_New(0));
    const long long n = PyLong_AsLongLong(count.ptr());
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    for (long long k = 0; k < n; ++k)
        check_status(PyList_Append(out.ptr(), compose_method(op, max_level, slot_levels).ptr()));
    return out;
}

object primitive(handle self) { return random_module().attr("choice")(get_attr(self, "atoms")); }

}  // namespace composition

}  // namespace kt
