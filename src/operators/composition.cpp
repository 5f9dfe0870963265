#include "operators/composition.hpp"

#include "operators/symbolic_operator.hpp"
#include "operators/text.hpp"
#include "runtime/state.hpp"

namespace kt {

namespace {

const char* const kAtoms = "['x', 'y', 'z', 'a', 'b', 'c', 't', 'u', 'w', 'n', 'm', 'p', 'q', "
                           "'1', '2', '3', '4', '5', '-1', '-2', '-3', '-4', '-5', '0.5', '3.14', "
                           "'2.71', '10', '-10']";

object random_module() { return module_global("random"); }

object init(Args& a) {
    handle self = a[0], seed = a[1], atoms = a[2], level_probs = a[3];
    if (!seed.is_none()) random_module().attr("seed")(seed);
    object chosen_atoms = truth(atoms) ? nb::borrow(atoms)
                                       : check(PyRun_String(kAtoms, Py_eval_input,
                                                            state().module_dict.ptr(), state().module_dict.ptr()));
    object probs = nb::borrow(level_probs);
    if (!truth(level_probs)) {
        probs = check(PyList_New(0));
        for (int k = 0; k < 2; ++k) check_status(PyList_Append(probs.ptr(), pyfloat(0.5).ptr()));
    }
    check_status(PyObject_SetAttrString(self.ptr(), "atoms", chosen_atoms.ptr()));
    check_status(PyObject_SetAttrString(self.ptr(), "level_probs", probs.ptr()));
    return none();
}

object build(Args& a) {
    handle self = a[0], op = a[1], level = a[2];
    if (equal(level, pyint(0))) return get_attr(self, "_primitive")();
    object random = random_module();
    object range = state().builtins.attr("range");
    object sum = state().builtins.attr("sum");
    object build_method = get_attr(self, "_build");
    Items params(get_attr(op, "params"));
    object args = check(PyList_New(0));
    for (Py_ssize_t k = 0; k < params.size(); ++k) {
        object available = check(PySequence_List(range(level).ptr()));
        object probs = check(PySequence_List(item(get_attr(self, "level_probs"), slice(kOpen, PyLong_AsSsize_t(level.ptr()))).ptr()));
        if (PyErr_Occurred()) throw nb::python_error();
        while (PyList_GET_SIZE(probs.ptr()) < PyList_GET_SIZE(available.ptr()))
            check_status(PyList_Append(probs.ptr(), pyfloat(0.0).ptr()));
        object total = sum(probs);
        const Py_ssize_t n = PyList_GET_SIZE(available.ptr());
        object weights = check(PyList_New(0));
        for (Py_ssize_t i = 0; i < n; ++i) {
            object w = equal(total, pyint(0))
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

object compose(Args& a) {
    handle self = a[0], op = a[1], max_level = a[2], slot_levels = a[3];
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
            if (text[j] == U'(') ++depth;
            else if (text[j] == U')') --depth;
            ++j;
        }
        const size_t arg_end = j > arg_start ? j - 1 : arg_start;
        Items args(get_attr(op, "_split_args")(from_code_points(text.substr(arg_start, arg_end - arg_start))));
        for (Py_ssize_t k = 0; k < args.size(); ++k)
            deepest = std::max(deepest, level_of(args[k], pattern, name, op));
        i = j;
    }
    return deepest + 1;
}

object compute_level(Args& a) {
    handle expr = a[1], op = a[2];
    object re = module_global("re");
    object name = get_attr(op, "name");
    object pattern = re.attr("compile")(concat({pystr("\\b"), re.attr("escape")(name), pystr("\\b")}));
    if (get_attr(pattern, "search")(expr).is_none()) return pyint(0);
    return pyint(level_of(expr, pattern, code_points(str_of(name)), op));
}

object generate_multiple(Args& a) {
    handle self = a[0], op = a[1], count = a[2], max_level = a[3], slot_levels = a[4];
    object compose_method = get_attr(self, "compose");
    object out = check(PyList_New(0));
    const long long n = PyLong_AsLongLong(count.ptr());
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    for (long long k = 0; k < n; ++k)
        check_status(PyList_Append(out.ptr(), compose_method(op, max_level, slot_levels).ptr()));
    return out;
}

const FuncDef init_def{
    .name = "__init__",
    .params = {{"self"}, {"seed", nullptr, Check::Any, "None"}, {"atoms", nullptr, Check::Any, "None"},
               {"level_probs", nullptr, Check::Any, "None"}},
    .impl = init,
    .qualname = "ControlledCompositionGenerator.__init__",
};

const FuncDef primitive_def{
    .name = "_primitive",
    .params = {{"self"}},
    .impl = [](Args& a) { return random_module().attr("choice")(get_attr(a[0], "atoms")); },
    .qualname = "ControlledCompositionGenerator._primitive",
};

const FuncDef compose_def{
    .name = "compose",
    .params = {{"self"}, {"op", "SymbolicOperator"}, {"max_level", "int", Check::Int, "2"},
               {"slot_levels", "Optional[List[int]]", Check::Any, "None"}},
    .returns = "str",
    .doc = "A random nesting of `op` up to `max_level`, or with one given level per argument.",
    .impl = compose,
    .qualname = "ControlledCompositionGenerator.compose",
};

const FuncDef build_def{
    .name = "_build",
    .params = {{"self"}, {"op", "SymbolicOperator"}, {"level", "int"}},
    .returns = "str",
    .impl = build,
    .qualname = "ControlledCompositionGenerator._build",
};

const FuncDef compute_level_def{
    .name = "compute_level",
    .params = {{"self"}, {"expr", "str"}, {"op", "SymbolicOperator"}},
    .returns = "int",
    .doc = "The nesting depth of `op`'s calls in `expr` (0 for a primitive).",
    .impl = compute_level,
    .qualname = "ControlledCompositionGenerator.compute_level",
};

const FuncDef generate_multiple_def{
    .name = "generate_multiple",
    .params = {{"self"}, {"op"}, {"count", "int", Check::Int, "5"}, {"max_level", "int", Check::Int, "2"},
               {"slot_levels", nullptr, Check::Any, "None"}},
    .doc = "`count` compositions, in generation order.",
    .impl = generate_multiple,
    .qualname = "ControlledCompositionGenerator.generate_multiple",
};

}  // namespace

const ClassDef composition_generator_class{
    .name = "ControlledCompositionGenerator",
    .doc = "\n    Controlled composition with strict typed argument levels.\n\n    Levels:\n"
           "      Level 0: primitives (x, y, constants)\n"
           "      Level 1: operator applied to ALL primitives\n"
           "      Level 2: operator applied to mix of Level-0 and Level-1\n"
           "      Level N: operator applied to mix of Level-0 ... Level-(N-1)\n\n"
           "    By default, max_level=2 \xe2\x80\x94 shallow nesting only.\n    ",
    .methods = {{&init_def}, {&primitive_def}, {&compose_def}, {&build_def}, {&compute_level_def},
                {&generate_multiple_def}},
};

}  // namespace kt
