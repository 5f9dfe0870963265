#include "pipeline/reports.hpp"

#include <optional>
#include <string>

#include "pipeline/formula_behaviour.hpp"
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

}  // namespace

namespace {

// What a block shows of the formula's description, each as describe gives it.
struct Figures {
    object is_bounded, boundedness, is_periodic, is_monotone, variance, derivative_approx,
        integral_approx, stability_score, sensitivity_perturbation;
};

Figures figures_of(handle d) {
    return {get_attr(d, "is_bounded"),
            get_attr(d, "boundedness"),
            get_attr(d, "is_periodic"),
            get_attr(d, "is_monotone"),
            get_attr(d, "variance"),
            get_attr(d, "derivative_approx"),
            get_attr(d, "integral_approx"),
            get_attr(d, "stability_score"),
            get_attr(d, "sensitivity_perturbation")};
}

Figures figures_of(const symbolic::Behaviour& b) {
    return {pybool(b.is_bounded),
            pyfloat(b.boundedness),
            pybool(b.is_periodic),
            pybool(b.is_monotone),
            pyfloat(b.variance),
            pyfloat(b.derivative_approx),
            pyfloat(b.integral_approx),
            pyfloat(b.stability_score),
            pyfloat(b.sensitivity_perturbation)};
}

// The block of candidate `c` whose formula prints as `formula` and is described by `f`, its
// members printed as `members` (a list of str).
object candidate_block(handle index, handle c, handle formula, const Figures& f, handle members) {
    object lines = new_list();
    append(lines, concat({pystr("  ["), format(index), pystr("] "), format(formula)}));
    append(lines, labelled("behavior", {format(get_attr(c, "growth_class"))}));
    append(lines, labelled("bounded", {format(f.is_bounded), pystr("  boundedness="),
                                       format(f.boundedness, ".2f")}));
    append(lines, labelled("periodic",
                           {format(f.is_periodic), pystr("  monotone="), format(f.is_monotone)}));
    append(lines, labelled("variance", {format(f.variance, ".4g")}));
    append(lines, labelled("derivative", {pystr("mean="), format(f.derivative_approx, ".4g")}));
    append(lines, labelled("integral", {pystr("mean="), format(f.integral_approx, ".4g")}));
    append(lines, labelled("stability", {format(f.stability_score, ".4g")}));
    append(lines, labelled("sensitivity", {format(f.sensitivity_perturbation, ".4g")}));
    append(lines, labelled("members", {format(members)}));
    append(lines,
           labelled("novelty", {format(get_attr(c, "novelty"), ".1f"), pystr("  |  closest: "),
                                format(get_attr(c, "closest_lib"))}));
    return check(PyUnicode_Join(pystr("\n").ptr(), lines.ptr()));
}

}  // namespace

object candidate_report(handle index, handle c) {
    object formula = get_attr(c, "formula");
    object d = module_global("describe")(formula);
    object members = new_list();
    object it = check(PyObject_GetIter(get_attr(c, "members").ptr()));
    while (object m = nb::steal(PyIter_Next(it.ptr()))) append(members, str_of(m));
    if (PyErr_Occurred()) throw nb::python_error();
    return candidate_block(index, c, formula, figures_of(d), members);
}

object structure_report(const StructureReportCall& call) {
    const long long seed = PyLong_AsLongLong(call.seed.ptr());
    if (seed == -1 && PyErr_Occurred()) throw nb::python_error();
    if (seed < 0 || seed > 0xffffffffLL) return none();
    std::optional<symbolic::Behaviour> b = seeded_behaviour(
        get_attr(call.candidate, "formula"), (std::uint32_t)seed, utf8(call.formula_text));
    if (!b) return none();
    object members = check(PySequence_List(call.members.ptr()));
    return candidate_block(call.index, call.candidate, call.formula_text, figures_of(*b), members);
}

namespace {

object candidate_blocks(handle candidates) {
    object out = new_list();
    object items = check(PySequence_Tuple(candidates.ptr()));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.ptr()); ++i)
        append(out, candidate_report(pyint(i), PyTuple_GET_ITEM(items.ptr(), i)));
    return out;
}

// A section's blocks; "  (none)" stands for a section without any.
void extend_section(handle out, handle blocks) {
    if (length(blocks) == 0)
        append(out, pystr("  (none)"));
    else
        extend(out, blocks);
}

// The filter report's lines, with the novel and repeated sections' blocks as given and the
// discarded candidates' formulas as printed (None, or a None entry: the formula itself).
object filter_report_lines(handle result, handle novel_blocks, handle repeated_blocks,
                           handle formulas) {
    object novel = get_attr(result, "novel"), repeated = get_attr(result, "repeated");
    object discarded = get_attr(result, "discarded");
    object out = new_list();
    append(out, concat({pystr("novel    : "), format(pyint(length(novel)))}));
    append(out, concat({pystr("repeated : "), format(pyint(length(repeated)))}));
    append(out, concat({pystr("discarded: "), format(pyint(length(discarded)))}));
    append(out, pystr(""));
    append(out, section_header("novel structures"));
    extend_section(out, novel_blocks);
    append(out, pystr(""));
    append(out, section_header("repeated patterns"));
    extend_section(out, repeated_blocks);
    append(out, pystr(""));
    append(out, section_header("discarded"));
    Items entries(discarded);
    if (!formulas.is_none() && length(formulas) != entries.size())
        raise(PyExc_ValueError, "formulas must hold one entry per discarded candidate");
    for (Py_ssize_t i = 0; i < entries.size(); ++i) {
        auto [reason, c] = unpack2(entries[i]);
        object shown = formulas.is_none() ? none() : item(formulas, i);
        if (!truth(shown)) shown = get_attr(c, "formula");
        append(out, concat({pystr("  ["), format(reason), pystr("]  "), format(shown),
                            pystr("  (members="), format(pyint(length(get_attr(c, "members")))),
                            pystr(")")}));
    }
    return out;
}

object joined(handle lines) { return check(PyUnicode_Join(pystr("\n").ptr(), lines.ptr())); }

}  // namespace

object report_strings(handle candidates) {
    object out = new_list();
    extend_section(out, candidate_blocks(candidates));
    return out;
}

object filter_report_strings(handle result) {
    return filter_report_lines(result, candidate_blocks(get_attr(result, "novel")),
                               candidate_blocks(get_attr(result, "repeated")), Py_None);
}

object filter_report_text(handle result, handle blocks, handle category, handle formulas) {
    const std::string chosen = utf8(category);
    if (chosen != "all" && chosen != "novel" && chosen != "repeated")
        raise(PyExc_ValueError, "category must be 'all', 'novel', or 'repeated'");
    const Py_ssize_t n_novel = length(get_attr(result, "novel"));
    const Py_ssize_t n_repeated = length(get_attr(result, "repeated"));
    const Py_ssize_t wanted = chosen == "all"     ? n_novel + n_repeated
                              : chosen == "novel" ? n_novel
                                                  : n_repeated;
    if (length(blocks) != wanted)
        raise(PyExc_ValueError, "blocks must hold one block per reported structure");
    if (chosen == "all")
        return joined(filter_report_lines(result, item(blocks, slice(0, n_novel)),
                                          item(blocks, slice(n_novel, kOpen)), formulas));
    // One category: its count, then each block followed by an empty line.
    object lines = new_list();
    append(lines, concat({category, pystr(": "), format(pyint(wanted))}));
    append(lines, pystr(""));
    object section = new_list();
    extend_section(section, blocks);
    Items each(section);
    for (Py_ssize_t i = 0; i < each.size(); ++i) append(lines, concat({each[i], pystr("\n")}));
    return joined(lines);
}

namespace {

object print_each(handle lines, bool blank_after) {
    object it = check(PyObject_GetIter(lines.ptr()));
    while (object line = nb::steal(PyIter_Next(it.ptr()))) {
        print({line});
        if (blank_after) print({});
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return none();
}

}  // namespace

object behavior_section_strings(handle candidates, handle result) {
    object out = new_list();
    for (const char* line : {"", "=== Raw candidates ===", ""}) append(out, pystr(line));
    extend(out, report_strings(candidates));
    for (const char* line : {"", "=== After filter ===", ""}) append(out, pystr(line));
    extend(out, filter_report_strings(result));
    return out;
}

object composition_report(handle expr, handle vars, handle np_expr, handle eval_result,
                          handle vec_result) {
    const std::pair<const char*, handle> lines_of[] = {{"Composition: ", expr},
                                                       {"Variables:   ", vars},
                                                       {"Numpy expr:  ", np_expr},
                                                       {"Result:      ", eval_result},
                                                       {"Vectorized:  ", vec_result}};
    object lines = new_list();
    for (const auto& [label, value] : lines_of)
        append(lines, concat({pystr(label), format(value)}));
    return check(PyUnicode_Join(pystr("\n").ptr(), lines.ptr()));
}

object report(handle candidates) { return print_each(report_strings(candidates), true); }

object filter_report(handle result) { return print_each(filter_report_strings(result), false); }

}  // namespace kt
