#include "module/init.hpp"

#include "module/declarations.hpp"
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

// The sections in the module body's order, which the namespace (and so the stub) keeps.
const Section* const kBody[] = {
    &frame_section,
    &llm_section,
    &descriptors_section,
    &similarity_section,
    &describe_section,
    &similarity_matrix_section,
    &antiunify_section,
    &pipeline_section,
    &operators_section,
    &concepts_section,
    &similarity_graph_section,
    &cluster_scoring_section,
    &matching_section,
};

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
        bind_global(module, name, nb::steal(value));
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
            bind_global(module, "groq_client", nb::steal(client));
            return;
        }
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
        object error = check(PyErr_GetRaisedException());
        object message = check(PyUnicode_FromFormat(
            "Failed to initialize Groq client: %S. LLM features will be unavailable.",
            error.ptr()));
        warn(message);
        bind_global(module, "groq_client", none());
        return;
    }
    bind_global(module, "groq_client", none());
    warn(pystr("GROQ_API_KEY not set. Set it via: export GROQ_API_KEY='your-key'\n"
               "LLM-based concept discovery will be unavailable."));
}

}  // namespace

void bind_global(handle module, const char* name, handle value) {
    check_status(PyObject_SetAttrString(module.ptr(), name, value.ptr()));
}

void import_from(handle module, const char* from, std::initializer_list<const char*> names) {
    object source = import_module(from);
    for (const char* name : names) bind_global(module, name, source.attr(name));
}

void Entry::bind(handle module) const {
    if (auto function = std::get_if<FuncDef>(&what_))
        define(module, *function);
    else if (auto record = std::get_if<const RecordDef*>(&what_))
        define_record(module, **record);
    else if (auto cls = std::get_if<const ClassDef*>(&what_))
        define_class(module, **cls);
    else
        std::get<Step>(what_).run(module);
}

void init_module(handle m) {
    init_function_type("source._brenmoor.native_function");
    bind_global(m, "__doc__", pystr(kModuleDoc));

    // Dependencies, under the names the rest of the module uses.
    bind_global(m, "sp", import_module("sympy"));
    bind_global(m, "np", import_module("numpy"));
    bind_global(m, "zss", import_module("zss"));
    import_from(m, "dataclasses", {"dataclass"});
    import_from(m, "typing", {"Optional"});
    import_from(m, "difflib", {"SequenceMatcher"});
    bind_global(m, "math", import_module("math"));
    bind_global(m, "itertools", import_module("itertools"));
    import_from(m, "groq", {"Groq"});
    bind_global(m, "sys", import_module("sys"));
    bind_global(m, "io", import_module("io"));
    bind_global(m, "os", import_module("os"));
    bind_global(m, "warnings", import_module("warnings"));
    init_state(m);

    import_config(m);
    init_groq_client(m);

    for (const Section* section : kBody)
        for (const Entry& entry : *section) entry.bind(m);

    bind_global(m, "__test__", check(PyDict_New()));
}

}  // namespace kt
