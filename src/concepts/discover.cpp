#include "concepts/discover.hpp"

#include <exception>

#include "concepts/concept_report.hpp"
#include "concepts/grouping.hpp"
#include "concepts/invariants.hpp"
#include "concepts/report.hpp"
#include "concepts/workers.hpp"
#include "runtime/classes.hpp"
#include "runtime/state.hpp"

namespace kt {

namespace {

const RecordDef invariant_record{
    "Invariant",
    {
        {"op_type", "str"},
        {"wrt", "Optional[str]"},
        {"rule", "sp.Expr"},
        {"canonical", "str"},
        {"is_operator_form", "bool", true},
        {"coefficient", "Optional[sp.Expr]", kNone},
        {"operator_variant", "Optional[sp.Expr]", kNone},
        {"closure_type", "str", "none"},
        {"parameter_shift", "Optional[int]", kNone},
        {"semantic_group", "Optional[str]", kNone},
    },
};

const RecordDef concept_record{
    "Concept",
    {
        {"name", "str"},
        {"operator_definition", "sp.Expr"},
        {"params", "List[sp.Symbol]"},
        {"invariants", "List[Invariant]"},
        {"families", "Dict[str, Dict[str, Any]]"},
        {"closure_properties", "List[str]"},
        {"concept_summary", "str"},
    },
};

object discover(handle report, handle llm_client, bool verbose) {
    print({report});
    object module = state().module;
    object Invariant = make_record(module, invariant_record, "discover_concept.<locals>.Invariant");
    object Concept = make_record(module, concept_record, "discover_concept.<locals>.Concept");

    object data = parse_report(report);
    object name = item(data, pystr("name")), definition = item(data, pystr("definition"));
    object param_names = data.attr("get")(pystr("params"));
    object op_expr = PyUnicode_Check(definition.ptr()) ? parse_expression(definition)
                     : is_instance(definition, sp_attr("Expr"))
                         ? definition
                         : parse_expression(str_of(definition));
    object params;
    if (param_names.is_none()) {
        params =
            builtin("sorted")(get_attr(op_expr, "free_symbols"), nb::arg("key") = builtin("str"));
    } else {
        params = check(PyList_New(0));
        Items names(param_names);
        for (Py_ssize_t i = 0; i < names.size(); ++i) {
            // A colon asks `symbols` for a range of names ("x0:100000000"): refused, as a
            // report may come from a file.
            if (PyUnicode_Check(names[i].ptr()) &&
                PyUnicode_FindChar(names[i].ptr(), ':', 0, PY_SSIZE_T_MAX, 1) >= 0)
                raise(PyExc_ValueError, "parameter name '" + utf8(names[i]) +
                                            "' holds a range (':'), which is not allowed");
            append(params, sp_attr("symbols")(names[i]));
        }
    }

    object invariants = generate_invariants(Invariant, op_expr, params, verbose);

    object semantic;
    if (llm_client.is_none()) {
        semantic = deterministic_groups(invariants);
    } else {
        try {
            semantic = model_groups(invariants, llm_client);
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            if (verbose)
                builtin("print")(
                    concat({pystr("LLM grouping failed, falling back: "), str_of(e.value())}));
            semantic = deterministic_groups(invariants);
        }
    }
    object concept_obj = Concept(
        nb::arg("name") = name, nb::arg("operator_definition") = op_expr,
        nb::arg("params") = params, nb::arg("invariants") = invariants,
        nb::arg("families") = semantic, nb::arg("closure_properties") = closure_keys(semantic),
        nb::arg("concept_summary") = summary_text(name, invariants, semantic));
    print_report(concept_obj);
    return concept_obj;
}

}  // namespace

// Every time-limited step of the call, nested ones included, is stopped and joined before the
// call returns or raises.
object discover_concept(handle report, handle llm_client, handle verbose) {
    StepScope steps;
    object concept_obj;
    try {
        concept_obj = discover(report, llm_client, truth(verbose));
    } catch (nb::python_error&) {
        steps.close();
        throw;
    } catch (std::exception&) {
        steps.close();
        throw;
    }
    steps.close();
    return concept_obj;
}

}  // namespace kt
