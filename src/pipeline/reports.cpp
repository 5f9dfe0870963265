#include "pipeline/reports.hpp"

#include <string>

#include "runtime/state.hpp"

namespace kt {

namespace {

void extend(handle list, handle items) {
    object it = check(PyObject_GetIter(items.ptr()));
    while (object x = nb::steal(PyIter_Next(it.ptr()))) append(list, x);
    if (PyErr_Occurred()) throw nb::python_error();
}

// One labelled line of a candidate block: the colon stands in column 23.
object labelled(std::string label, std::initializer_list<handle> value) {
    label.resize(15, ' ');
    object prefix = pystr("       " + label + ": ");
    object rest = concat(value);
    return concat({prefix, rest});
}

// "── title ───…", 54 characters in all.
object section_header(const char* title) {
    const std::string rule = "\xe2\x94\x80";  // U+2500
    std::string text = rule + rule + " " + title + " ";
    const size_t width = 4 + std::string(title).size();
    for (size_t k = width; k < 54; ++k) text += rule;
    return pystr(text);
}

object candidate_report(handle index, handle c) {
    object formula = get_attr(c, "formula");
    object d = module_global("describe")(formula);
    auto field = [&](const char* name, const char* spec) { return format(get_attr(d, name), spec); };
    object members = new_list();
    object it = check(PyObject_GetIter(get_attr(c, "members").ptr()));
    while (object m = nb::steal(PyIter_Next(it.ptr()))) append(members, str_of(m));
    if (PyErr_Occurred()) throw nb::python_error();

    object lines = new_list();
    append(lines, concat({pystr("  ["), format(index), pystr("] "), format(formula)}));
    append(lines, labelled("behavior", {format(get_attr(c, "growth_class"))}));
    append(lines, labelled("bounded", {field("is_bounded", ""), pystr("  boundedness="),
                                       field("boundedness", ".2f")}));
    append(lines, labelled("periodic", {field("is_periodic", ""), pystr("  monotone="),
                                        field("is_monotone", "")}));
    append(lines, labelled("variance", {field("variance", ".4g")}));
    append(lines, labelled("derivative", {pystr("mean="), field("derivative_approx", ".4g")}));
    append(lines, labelled("integral", {pystr("mean="), field("integral_approx", ".4g")}));
    append(lines, labelled("stability", {field("stability_score", ".4g")}));
    append(lines, labelled("sensitivity", {field("sensitivity_perturbation", ".4g")}));
    append(lines, labelled("members", {format(members)}));
    append(lines, labelled("novelty", {format(get_attr(c, "novelty"), ".1f"), pystr("  |  closest: "),
                                       format(get_attr(c, "closest_lib"))}));
    return check(PyUnicode_Join(pystr("\n").ptr(), lines.ptr()));
}

object report_strings(handle candidates) {
    object out = new_list();
    object items = check(PySequence_Tuple(candidates.ptr()));
    const Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());
    if (n == 0) append(out, pystr("  (none)"));
    for (Py_ssize_t i = 0; i < n; ++i)
        append(out, candidate_report(pyint(i), PyTuple_GET_ITEM(items.ptr(), i)));
    return out;
}

object filter_report_strings(handle result) {
    object novel = get_attr(result, "novel"), repeated = get_attr(result, "repeated");
    object discarded = get_attr(result, "discarded");
    object out = new_list();
    append(out, concat({pystr("novel    : "), format(pyint(length(novel)))}));
    append(out, concat({pystr("repeated : "), format(pyint(length(repeated)))}));
    append(out, concat({pystr("discarded: "), format(pyint(length(discarded)))}));
    append(out, pystr(""));
    append(out, section_header("novel structures"));
    extend(out, report_strings(novel));
    append(out, pystr(""));
    append(out, section_header("repeated patterns"));
    extend(out, report_strings(repeated));
    append(out, pystr(""));
    append(out, section_header("discarded"));
    object it = check(PyObject_GetIter(discarded.ptr()));
    while (object entry = nb::steal(PyIter_Next(it.ptr()))) {
        auto [reason, c] = unpack2(entry);
        append(out, concat({pystr("  ["), format(reason), pystr("]  "), format(get_attr(c, "formula")),
                            pystr("  (members="), format(pyint(length(get_attr(c, "members")))),
                            pystr(")")}));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return out;
}

object print_each(handle lines, bool blank_after) {
    object it = check(PyObject_GetIter(lines.ptr()));
    while (object line = nb::steal(PyIter_Next(it.ptr()))) {
        print({line});
        if (blank_after) print({});
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return none();
}

object behavior_section_strings(handle candidates, handle result) {
    object out = new_list();
    for (const char* line : {"", "=== Raw candidates ===", ""}) append(out, pystr(line));
    extend(out, report_strings(candidates));
    for (const char* line : {"", "=== After filter ===", ""}) append(out, pystr(line));
    extend(out, filter_report_strings(result));
    return out;
}

object composition_report(Args& a) {
    const char* labels[] = {"Composition: ", "Variables:   ", "Numpy expr:  ", "Result:      ",
                            "Vectorized:  "};
    object lines = new_list();
    for (int i = 0; i < 5; ++i) append(lines, concat({pystr(labels[i]), format(a[i])}));
    return check(PyUnicode_Join(pystr("\n").ptr(), lines.ptr()));
}

}  // namespace

const FuncDef candidate_report_def{
    .name = "candidate_report",
    .params = {{"index", "int", Check::IntNotBool}, {"c", "GeneralizedCandidate"}},
    .returns = "str",
    .doc = "One candidate as an 11-line block: its formula, behaviour, members and score.",
    .impl = [](Args& a) { return candidate_report(a[0], a[1]); },
};

const FuncDef report_strings_def{
    .name = "report_strings",
    .params = {{"candidates", "list[GeneralizedCandidate]", Check::List}},
    .returns = "list[str]",
    .doc = "One block per candidate, numbered from 0; [\"  (none)\"] for an empty list.",
    .impl = [](Args& a) { return report_strings(a[0]); },
};

const FuncDef filter_report_strings_def{
    .name = "filter_report_strings",
    .params = {{"result", "FilterResult"}},
    .returns = "list[str]",
    .doc = "The counts, then the novel, repeated and discarded sections of a filter result.",
    .impl = [](Args& a) { return filter_report_strings(a[0]); },
};

const FuncDef report_def{
    .name = "report",
    .params = {{"candidates", "list[GeneralizedCandidate]", Check::List}},
    .returns = "None",
    .doc = "Print every candidate block, each followed by an empty line.",
    .impl = [](Args& a) { return print_each(report_strings(a[0]), true); },
};

const FuncDef behavior_section_strings_def{
    .name = "behavior_section_strings",
    .params = {{"candidates", "list[GeneralizedCandidate]", Check::List}, {"result", "FilterResult"}},
    .returns = "list[str]",
    .doc = "The raw candidates, then the filter result, under their own headings.",
    .impl = [](Args& a) { return behavior_section_strings(a[0], a[1]); },
};

const FuncDef composition_report_def{
    .name = "composition_report",
    .params = {{"expr", "str"}, {"vars", "list"}, {"np_expr", "str"}, {"eval_result"},
               {"vec_result"}},
    .returns = "str",
    .doc = "Five lines describing one compiled composition and its values.",
    .impl = composition_report,
};

const FuncDef filter_report_def{
    .name = "filter_report",
    .params = {{"result", "FilterResult"}},
    .returns = "None",
    .doc = "Print the lines of a filter result.",
    .impl = [](Args& a) { return print_each(filter_report_strings(a[0]), false); },
};

}  // namespace kt
