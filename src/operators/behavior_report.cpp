#include "operators/behavior_report.hpp"

#include <string>
#include <vector>

#include "pipeline/filter.hpp"
#include "runtime/state.hpp"

namespace kt {

namespace {

const char* const kRule = "\xe2\x94\x80";  // U+2500

object structure_block(handle cat_name, Py_ssize_t i, handle c) {
    object numpy_compiler = module_global("NumpyCompiler");
    object np = module_global("np");
    std::string header =
        "\xe2\x94\x80\xe2\x94\x80 " + utf8(cat_name) + " structure #" + std::to_string(i) + " ";
    for (int k = 0; k < 34; ++k) header += kRule;
    object lines = check(PyList_New(0));
    check_status(PyList_Append(lines.ptr(), pystr(header).ptr()));
    check_status(PyList_Append(lines.ptr(), module_global("candidate_report")(pyint(i), c).ptr()));
    object gen = module_global("ControlledCompositionGenerator")(nb::arg("seed") = 42);
    for (int j = 0; j < 10; ++j) {
        object name = pystr(numbered("Op", i + 1) + numbered("Eq", j + 1));
        object o =
            module_global("SymbolicOperator").attr("from_structure")(name, get_attr(c, "formula"));
        object text = gen.attr("compose")(o, nb::arg("max_level") = 2);
        object compiled = numpy_compiler.attr("compile")(text, o);
        object func = item(compiled, 0), vars = item(compiled, 1), np_expr = item(compiled, 2);
        object values = check(PyDict_New()), arrays = check(PyDict_New());
        Items names(vars);
        for (Py_ssize_t k = 0; k < names.size(); ++k) {
            check_status(
                PyDict_SetItem(values.ptr(), names[k].ptr(), pyfloat((double)(k + 1)).ptr()));
            check_status(PyDict_SetItem(arrays.ptr(), names[k].ptr(),
                                        np.attr("linspace")(0.1, 1.0, 5).ptr()));
        }
        object noargs = check(PyTuple_New(0));
        object eval_args = nb::make_tuple(text, o);
        object eval_result =
            check(PyObject_Call(numpy_compiler.attr("evaluate").ptr(), eval_args.ptr(),
                                check(PyDict_Copy(values.ptr())).ptr()));
        object vec_result = nb::steal(
            PyObject_Call(func.ptr(), noargs.ptr(), check(PyDict_Copy(arrays.ptr())).ptr()));
        if (!vec_result.is_valid()) {
            if (!error_matches_any({PyExc_ZeroDivisionError, PyExc_OverflowError, PyExc_ValueError,
                                    PyExc_TypeError, PyExc_NameError}))
                throw nb::python_error();
            PyErr_Clear();
            vec_result = np.attr("full")(5, np.attr("nan"));
        }
        check_status(PyList_Append(lines.ptr(), module_global("composition_report")(
                                                    text, vars, np_expr, eval_result, vec_result)
                                                    .ptr()));
    }
    return check(PyUnicode_Join(pystr("\n").ptr(), lines.ptr()));
}

object pick(handle blocks, handle index, const std::string& label) {
    if (index.is_none()) return nb::borrow(blocks);
    if (!PyLong_Check(index.ptr())) raise(PyExc_TypeError, "index must be an int or None");
    const Py_ssize_t n = PyList_GET_SIZE(blocks.ptr());
    if (truth(compare(index, pyint(0), Py_LT)) || truth(compare(index, pyint(n), Py_GE)))
        raise(PyExc_IndexError, label + "report index out of range");
    return item(blocks, index);
}

// The categories asked for, in report order: None or 'all' for both.
std::vector<std::string> categories_of(handle category) {
    const bool all = category.is_none() || utf8(category) == "all";
    if (!all && utf8(category) != "novel" && utf8(category) != "repeated")
        raise(PyExc_ValueError, "category must be None, 'all', 'novel', or 'repeated'");
    return all ? std::vector<std::string>{"novel", "repeated"}
               : std::vector<std::string>{utf8(category)};
}

// `made` sees each block as soon as it is rendered.
template <class Made>
object kept_blocks(handle result, const std::vector<std::string>& categories, Made&& made) {
    object blocks = check(PyList_New(0));
    for (const std::string& cat : categories) {
        object cat_name = pystr(cat);
        Items list(get_attr(result, cat.c_str()));
        for (Py_ssize_t i = 0; i < list.size(); ++i) {
            object block = structure_block(cat_name, i, list[i]);
            check_status(PyList_Append(blocks.ptr(), block.ptr()));
            made(block);
        }
    }
    return blocks;
}

}  // namespace

object behavior(const BehaviorCall& a) {
    handle bank = a.bank, alpha = a.alpha, beta = a.beta, library = a.library,
           ranges = a.var_ranges_bank;
    const std::vector<std::string> categories = categories_of(a.category);
    object candidates = module_global("detect_structure")(
        bank, library, nb::arg("var_ranges_bank") = ranges,
        nb::arg("sim_threshold") = a.sim_threshold,
        nb::arg("novelty_threshold") = a.novelty_threshold, nb::arg("verbose") = a.verbose,
        nb::arg("alpha") = alpha, nb::arg("beta") = beta);
    object result = module_global("filter_candidates")(
        candidates, library, nb::arg("min_members") = kDefaultMinMembers,
        nb::arg("novel_threshold") = kDefaultNovelThreshold);
    const bool verbose = truth(a.verbose);
    object safe_print = module_global("_safe_print");
    if (verbose) {
        Items lines(module_global("behavior_section_strings")(candidates, result));
        for (Py_ssize_t i = 0; i < lines.size(); ++i) safe_print(lines[i]);
    }
    object blocks = kept_blocks(result, categories, [&](handle block) {
        if (verbose) safe_print(block);
    });
    return pick(blocks, a.index, categories.size() == 1 ? categories[0] + " " : "");
}

object behavior_blocks(handle result, handle category) {
    return kept_blocks(result, categories_of(category), [](handle) {});
}

}  // namespace kt
