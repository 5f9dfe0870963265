#include "concepts/concept_report.hpp"

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "runtime/state.hpp"

namespace kt {

namespace {

// The invariants, operator-form rules first, then by operation; equal keys keep their order.
std::vector<object> in_report_order(handle invariants) {
    struct Keyed {
        bool plain;           // not in operator form
        std::string op_type;  // str compares by code point, as its UTF-8 bytes do
        object invariant;
    };
    std::vector<Keyed> keyed;
    Items all(invariants);
    for (Py_ssize_t i = 0; i < all.size(); ++i)
        keyed.push_back({!truth(get_attr(all[i], "is_operator_form")),
                         utf8(get_attr(all[i], "op_type")), nb::borrow(all[i])});
    std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
        return std::tie(a.plain, a.op_type) < std::tie(b.plain, b.op_type);
    });
    std::vector<object> out;
    for (Keyed& k : keyed) out.push_back(std::move(k.invariant));
    return out;
}

// `print(*args)`; false when the console cannot encode the text.
bool print_encodable(std::initializer_list<handle> args) {
    try {
        print(args);
        return true;
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_UnicodeEncodeError)) throw;
        return false;
    }
}

}  // namespace

object summary_text(handle name, handle invariants, handle semantic) {
    long n_operator = 0, n_closed = 0, n_recursion = 0;
    Items all(invariants);
    for (Py_ssize_t i = 0; i < all.size(); ++i) {
        n_operator += truth(get_attr(all[i], "is_operator_form"));
        n_closed += equal(get_attr(all[i], "closure_type"), pystr("closed"));
        n_recursion += equal(get_attr(all[i], "op_type"), pystr("parameter_recursion"));
    }
    object parts = check(PyList_New(0));
    append(parts, concat({pystr("Concept "), str_of(name), pystr(": discovered "),
                          str_of(pyint(all.size())), pystr(" invariants across "),
                          str_of(pyint(length(semantic))), pystr(" families.")}));
    if (n_operator)
        append(parts, concat({str_of(pyint(n_operator)),
                              pystr(" invariants expressed as operator laws.")}));
    if (n_closed)
        append(parts,
               concat({pystr("Closed under "), str_of(pyint(n_closed)), pystr(" operations.")}));
    if (n_recursion)
        append(parts,
               concat({str_of(pyint(n_recursion)), pystr(" parameter recursion patterns.")}));
    return check(PyUnicode_Join(pystr(" ").ptr(), parts.ptr()));
}

object closure_keys(handle semantic) {
    object out = check(PyList_New(0));
    Items keys(check(PyDict_Keys(semantic.ptr())));
    for (Py_ssize_t i = 0; i < keys.size(); ++i) {
        object lower = keys[i].attr("lower")();
        for (const char* word : {"product", "composition", "power", "shift", "closure"})
            if (check_status(PySequence_Contains(lower.ptr(), pystr(word).ptr()))) {
                append(out, keys[i]);
                break;
            }
    }
    return out;
}

void print_report(handle concept_obj) {
    object params = get_attr(concept_obj, "params");
    object names = check(PyList_New(0));
    Items ps(params);
    for (Py_ssize_t i = 0; i < ps.size(); ++i) append(names, str_of(ps[i]));
    print_encodable({get_attr(concept_obj, "concept_summary")}) &&
        print_encodable({concat({pystr("Operator definition: "),
                                 str_of(get_attr(concept_obj, "operator_definition"))})}) &&
        print_encodable({concat({pystr("Parameters: "), str_of(names)})});
    print({pystr("Families:")});
    Items families(check(PyDict_Items(get_attr(concept_obj, "families").ptr())));
    for (Py_ssize_t i = 0; i < families.size(); ++i) {
        auto [key, info] = unpack2(families[i]);
        print({concat({pystr("  - "), str_of(key), pystr(": "),
                       str_of(info.attr("get")(pystr("summary"), pystr("")))})});
        Items examples(info.attr("get")(pystr("examples"), check(PyList_New(0))));
        for (Py_ssize_t k = 0; k < examples.size(); ++k)
            print({concat({pystr("      * "), str_of(examples[k])})});
    }
    print({pystr("Invariants (operator form prioritised):")});
    for (const object& inv : in_report_order(get_attr(concept_obj, "invariants"))) {
        object closure = get_attr(inv, "closure_type"), shift = get_attr(inv, "parameter_shift");
        object wrt = get_attr(inv, "wrt");
        print({concat(
            {pystr(truth(get_attr(inv, "is_operator_form")) ? "  [OP] " : "  [EXP] "),
             format(get_attr(inv, "op_type"), "20s"), pystr(" wrt="),
             format(truth(wrt) ? wrt : pystr("None"), "6s"),
             equal(closure, pystr("none")) ? pystr("")
                                           : concat({pystr(" ["), str_of(closure), pystr("]")}),
             shift.is_none() ? pystr("")
                             : concat({pystr(" (shift: "), str_of(shift), pystr(")")})})});
        object rule = str_of(get_attr(inv, "rule"));
        if (!print_encodable({concat({pystr("      "), rule})})) {
            object safe =
                rule.attr("encode")(pystr("utf-8"), nb::arg("errors") = "replace").attr("decode")();
            print({concat({pystr("      "), safe})});
        }
    }
    print({concat(
        {pystr("Closure properties: "), str_of(get_attr(concept_obj, "closure_properties"))})});
}

}  // namespace kt
