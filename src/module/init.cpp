#include "module/init.hpp"

#include "antiunify/cluster.hpp"
#include "concepts/helpers.hpp"
#include "matching/library_match.hpp"
#include "module/declarations.hpp"
#include "operators/numpy_compiler.hpp"
#include "runtime/state.hpp"

namespace kt {

namespace {

const char* const kModuleDoc =
    "\n"
    "KELTRAN \xe2\x80\x94 Structure Detection v4\n"
    "---------------------------------\n"
    "Each expression becomes a structured descriptor with two components:\n"
    "  - structure : tree topology, operator nesting, variable binding\n"
    "  - behavior  : how the expression acts numerically across input space\n"
    "\n"
    "Similarity is computed jointly:\n"
    "  S(a, b) = \xce\xb1 \xc2\xb7 S_structure(a, b) + \xce\xb2 \xc2\xb7 S_behavior(a, b)\n"
    "\n"
    "Clustering operates on pairwise similarity.\n"
    "Anti-unification generalizes each cluster into a formula.\n"
    "\n"
    "Candidates are split into two categories:\n"
    "  - novel    : recurring AND far from existing library  (new math)\n"
    "  - repeated : recurring AND close to existing library  (known pattern)\n"
    "  Everything else is discarded.\n";

const char* const kConfigNames[] = {"GRID_LOGSPACE",        "GRID_LINEAR",  "DEFAULT_VAR_RANGE",
                                    "MAX_WILDCARD_DENSITY", "GROQ_API_KEY", "GROQ_MODEL",
                                    "LLM_MAX_RETRIES"};

void set(handle module, const char* name, handle value) {
    check_status(PyObject_SetAttrString(module.ptr(), name, value.ptr()));
}

// `from <module> import name, ...` bound as module attributes.
void import_from(handle module, const char* from, std::initializer_list<const char*> names) {
    object source = import_module(from);
    for (const char* name : names) set(module, name, source.attr(name));
}

// `from .config import ...`: a relative import from the package, all names or ImportError.
void import_config(handle module) {
    object fromlist = check(PyTuple_New(0));
    object config = check(PyImport_ImportModuleLevel("config", PyModule_GetDict(module.ptr()),
                                                     nullptr, fromlist.ptr(), 1));
    for (const char* name : kConfigNames) {
        PyObject* value = PyObject_GetAttrString(config.ptr(), name);
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
            PyErr_Clear();
            object where = nb::steal(PyObject_GetAttrString(config.ptr(), "__file__"));
            if (!where.is_valid()) PyErr_Clear();
            std::string location = where.is_valid() && PyUnicode_Check(where.ptr())
                                       ? std::string(utf8(where))
                                       : std::string("unknown location");
            raise(PyExc_ImportError, std::string("cannot import name '") + name + "' from '" +
                                         std::string(utf8(config.attr("__name__"))) + "' (" +
                                         location + ")");
        }
        set(module, name, nb::steal(value));
    }
}

// The client is created at import or never; failures only warn.
void init_groq_client(handle module) {
    object warn = import_module("warnings").attr("warn");
    object key = module_global("GROQ_API_KEY");
    if (truth(key)) {
        object kwargs = check(PyDict_New());
        check_status(PyDict_SetItemString(kwargs.ptr(), "api_key", key.ptr()));
        object noargs = check(PyTuple_New(0));
        PyObject* client = PyObject_Call(module_global("Groq").ptr(), noargs.ptr(), kwargs.ptr());
        if (client) {
            set(module, "groq_client", nb::steal(client));
            return;
        }
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
        object error = check(PyErr_GetRaisedException());
        object message = check(PyUnicode_FromFormat(
            "Failed to initialize Groq client: %S. LLM features will be unavailable.",
            error.ptr()));
        warn(message);
        set(module, "groq_client", none());
        return;
    }
    set(module, "groq_client", none());
    warn(pystr("GROQ_API_KEY not set. Set it via: export GROQ_API_KEY='your-key'\n"
               "LLM-based concept discovery will be unavailable."));
}

}  // namespace

void init_module(handle m) {
    init_function_type("source._brenmoor.native_function");
    set(m, "__doc__", pystr(kModuleDoc));

    // Dependencies, under the names the rest of the module uses.
    set(m, "sp", import_module("sympy"));
    set(m, "np", import_module("numpy"));
    set(m, "zss", import_module("zss"));
    import_from(m, "dataclasses", {"dataclass"});
    import_from(m, "typing", {"Optional"});
    import_from(m, "difflib", {"SequenceMatcher"});
    set(m, "math", import_module("math"));
    set(m, "itertools", import_module("itertools"));
    import_from(m, "groq", {"Groq"});
    set(m, "sys", import_module("sys"));
    set(m, "io", import_module("io"));
    set(m, "os", import_module("os"));
    set(m, "warnings", import_module("warnings"));
    init_state(m);

    import_config(m);
    init_groq_client(m);

    define(m, safe_print_def);
    define(m, llm_call_def);
    define_record(m, expr_descriptor_record);
    for (const FuncDef* def : {&depth_def, &is_unary_func_def, &unary_depth_def, &dfs_operators_def,
                               &repeated_var_def, &canonicalize_expr_def, &extract_structure_def})
        define(m, *def);

    set(m, "GRID", module_global("GRID_LOGSPACE"));
    define(m, growth_class_def);
    define(m, eval_safe_def);
    object np = state().np;
    set(m, "GRID", np.attr("logspace")(-1, 2, 64));
    set(m, "GRID_LINEAR", np.attr("linspace")(0.1, 20.0, 64));
    define(m, extract_behavior_def);
    define(m, numeric_values_def);

    for (const FuncDef* def :
         {&to_zss_def, &normalize_wildcards_def, &get_ranges_for_bank_def, &get_var_ranges_def,
          &structural_sim_def, &behavioral_sim_def, &similarity_def, &node_count_def,
          &compositionality_score_def, &log_compress_def, &behavioral_distance_def,
          &recurrence_strength_def, &cluster_cohesion_def, &describe_def, &compression_gain_def,
          &pairwise_matrix_def, &cluster_by_similarity_def})
        define(m, *def);

    for (const FuncDef* def :
         {&is_wildcard_def, &structural_score_def, &best_commutative_pairing_def,
          &is_source_variable_def, &is_generalized_variable_def, &canonical_pair_key_def,
          &multiplicative_args_def})
        define(m, *def);
    define(m, wildcard_density_def);
    set(m, "MAX_WILDCARD_DENSITY", pyfloat(kMaxWildcardDensity));
    for (const FuncDef* def :
         {&is_valid_generalization_def, &anti_unify_def, &display_canonical_expr_def,
          &anti_unify_cluster_def, &merge_wildcards_def})
        define(m, *def);
    define_record(m, generalized_candidate_record);
    define(m, detect_structure_def);
    define_record(m, filter_result_record);
    define(m, filter_candidates_def);
    for (const FuncDef* def :
         {&candidate_report_def, &report_strings_def, &filter_report_strings_def, &report_def,
          &behavior_section_strings_def, &composition_report_def, &filter_report_def})
        define(m, *def);

    set(m, "random", import_module("random"));
    set(m, "re", import_module("re"));
    set(m, "ast", import_module("ast"));
    import_from(m, "typing", {"List", "Union", "Optional", "Callable", "Tuple"});
    define_class(m, symbolic_operator_class);
    init_compiler_namespace(m);
    define_class(m, numpy_compiler_class);
    define_class(m, composition_generator_class);
    define(m, behavior_def);
    define(m, ai_def);
    init_concept_helpers(m);
    define(m, discover_concept_def);

    for (const FuncDef* def :
         {&similarity_graph_def, &cluster_graph_def, &pack_descriptors_def, &graph_block_def,
          &candidate_of_cluster_def, &score_cluster_def, &composition_distances_def})
        define(m, *def);

    // Which known law a structure is.
    define_record(m, library_match_record);
    set(m, "NEAR_THRESHOLD", pyfloat(kNearThreshold));
    define(m, match_library_def);
    define(m, bind_def);

    set(m, "__test__", check(PyDict_New()));
}

}  // namespace kt
