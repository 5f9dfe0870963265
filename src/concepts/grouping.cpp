#include "concepts/grouping.hpp"

#include <string>

#include "concepts/llm_client.hpp"
#include "runtime/state.hpp"

namespace kt {

namespace {

const char* const kGroupingPrompt =
    "Group these invariants by their mathematical meaning, ignoring trivial repetitions.\n"
    "\n"
    "Provide ONLY valid JSON with the top-level key 'groups'. Each group must be an object with "
    "keys:\n"
    " - name: short group name (string)\n"
    " - summary: one-sentence summary (string)\n"
    " - rules: list of the original invariant rule strings that belong to this group (must match "
    "exactly).\n"
    "\n"
    "Invariants:\n";

object grouping_prompt(handle invariants) {
    object items = check(PyList_New(0));
    Items all(invariants);
    for (Py_ssize_t i = 0; i < all.size(); ++i)
        append(items, dict_of({{"op_type", get_attr(all[i], "op_type")},
                               {"wrt", get_attr(all[i], "wrt")},
                               {"rule", str_of(get_attr(all[i], "rule"))},
                               {"canonical", str_of(get_attr(all[i], "canonical"))}}));
    object rules = check(PyList_New(0));
    if (PyList_GET_SIZE(items.ptr()) > 0)
        append(rules, item(PyList_GET_ITEM(items.ptr(), 0), pystr("rule")));
    object group =
        dict_of({{"name", pystr("Derivative family")},
                 {"summary", pystr("Derivatives that produce scaled versions of the operator")},
                 {"rules", rules}});
    object groups = check(PyList_New(0));
    append(groups, group);
    object example = dict_of({{"groups", groups}});
    object parts = check(PyList_New(0));
    append(parts, pystr(kGroupingPrompt));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        handle it = PyList_GET_ITEM(items.ptr(), i);
        append(parts, concat({pystr("["), str_of(pyint(i)), pystr("] op_type="),
                              str_of(item(it, pystr("op_type"))), pystr("; wrt="),
                              str_of(item(it, pystr("wrt"))), pystr("; rule="),
                              str_of(item(it, pystr("rule"))), pystr("\n")}));
    }
    object json = import_module("json");
    append(parts,
           concat({pystr("\nExample output:\n"), json.attr("dumps")(example, nb::arg("indent") = 2),
                   pystr("\n\nRespond with JSON only.")}));
    return check(PyUnicode_Join(pystr("").ptr(), parts.ptr()));
}

// The object or array span of a model answer (an object preferred), or "".
object answer_json(handle text) {
    object cleaned = strip_fences(text);
    for (auto [opener, closer] : {std::pair{"{", "}"}, std::pair{"[", "]"}}) {
        object start = cleaned.attr("find")(pystr(opener)),
               end = cleaned.attr("rfind")(pystr(closer));
        if (!equal(start, pyint(-1)) && !equal(end, pyint(-1)) && truth(compare(end, start, Py_GT)))
            return item(
                cleaned,
                check(PySlice_New(start.ptr(), check(PyNumber_Add(end.ptr(), pyint(1).ptr())).ptr(),
                                  nullptr)));
    }
    return pystr("");
}

}  // namespace

object deterministic_groups(handle invariants) {
    object groups = check(PyDict_New());
    Items all(invariants);
    for (Py_ssize_t i = 0; i < all.size(); ++i) {
        object key = item(get_attr(all[i], "op_type").attr("split")(pystr("_")), 0);
        PyObject* group = PyDict_GetItemWithError(groups.ptr(), key.ptr());
        if (!group) {
            if (PyErr_Occurred()) throw nb::python_error();
            object fresh = dict_of({{"group_name", key.attr("capitalize")()},
                                    {"summary", pystr("")},
                                    {"examples", check(PyList_New(0))}});
            check_status(PyDict_SetItem(groups.ptr(), key.ptr(), fresh.ptr()));
            group = fresh.ptr();
        }
        append(item(group, pystr("examples")), str_of(get_attr(all[i], "rule")));
    }
    Items keys(check(PyDict_Keys(groups.ptr())));
    for (Py_ssize_t i = 0; i < keys.size(); ++i) {
        const std::string key = utf8(keys[i]);
        object summary =
            key == "derivative"
                ? pystr("Differentiation produces scaled/self-similar operator variants.")
            : key == "power"   ? pystr("Powers map to parameter-scaled variants when possible.")
            : key == "product" ? pystr("Products/compositions may close to operator-like families.")
                               : concat({pystr("Family for "), keys[i], pystr(" invariants.")});
        check_status(
            PyObject_SetItem(item(groups, keys[i]).ptr(), pystr("summary").ptr(), summary.ptr()));
    }
    return groups;
}

object model_groups(handle invariants, handle llm_client) {
    object cleaned = answer_json(llm_client(grouping_prompt(invariants)));
    if (!truth(cleaned.attr("strip")())) raise(PyExc_ValueError, "Empty response");
    object data =
        PyUnicode_Check(cleaned.ptr()) ? import_module("json").attr("loads")(cleaned) : cleaned;
    object groups = data.attr("get")(pystr("groups"));
    if (!truth(groups)) groups = check(PyList_New(0));
    object semantic = check(PyDict_New()), rule_to_group = check(PyDict_New());
    object it = check(PyObject_GetIter(groups.ptr()));
    while (object g = nb::steal(PyIter_Next(it.ptr()))) {
        object gname = g.attr("get")(pystr("name"));
        // A family key must be a name: without one the answer is unusable.
        if (!PyUnicode_Check(gname.ptr())) raise(PyExc_ValueError, "a group has no 'name'");
        object rules = g.attr("get")(pystr("rules"), check(PyList_New(0)));
        check_status(
            PyDict_SetItem(semantic.ptr(), gname.ptr(),
                           dict_of({{"group_name", gname},
                                    {"summary", g.attr("get")(pystr("summary"), pystr(""))},
                                    {"examples", rules}})
                               .ptr()));
        object rit =
            check(PyObject_GetIter(g.attr("get")(pystr("rules"), check(PyList_New(0))).ptr()));
        while (object r = nb::steal(PyIter_Next(rit.ptr())))
            check_status(PyDict_SetItem(rule_to_group.ptr(), str_of(r).ptr(), gname.ptr()));
        if (PyErr_Occurred()) throw nb::python_error();
    }
    if (PyErr_Occurred()) throw nb::python_error();
    Items all(invariants);
    for (Py_ssize_t i = 0; i < all.size(); ++i) {
        PyObject* group =
            PyDict_GetItemWithError(rule_to_group.ptr(), str_of(get_attr(all[i], "rule")).ptr());
        if (group)
            check_status(PyObject_SetAttrString(all[i].ptr(), "semantic_group", group));
        else if (PyErr_Occurred())
            throw nb::python_error();
    }
    return semantic;
}

}  // namespace kt
