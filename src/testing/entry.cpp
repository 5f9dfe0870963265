// The test-only extension `_brenmoor_testing`: hooks into the kernels and the reference paths
// that the product leaves out of its own module. Built by `make test`, never installed. It reads
// module globals and parses text in the namespace of source._brenmoor, which it imports first.
#include "concepts/workers.hpp"
#include "runtime/extension.hpp"
#include "runtime/function.hpp"
#include "runtime/state.hpp"
#include "testing/hooks.hpp"

namespace {

void init_testing(kt::handle module) {
    kt::init_function_type("_brenmoor_testing.native_function");
    kt::init_state(kt::import_module("source._brenmoor"));
    kt::init_workers(module);
    kt::define_hooks(module);
    kt::define_symbolic_hooks(module);
    kt::define_symbolic_print_hooks(module);
    kt::define_symbolic_build_hooks(module);
    kt::define_symbolic_parse_hooks(module);
    kt::define_symbolic_describe_hooks(module);
    kt::define_judge_hooks(module);
    kt::define_scoring_hooks(module);
}

int exec_module(PyObject* module) { return kt::exec_extension(module, init_testing); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, (void*)exec_module},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_brenmoor_testing",
    "Test-only hooks into the native kernels and reference paths of source._brenmoor.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nanobind::detail::nb_module_free};

}  // namespace

extern "C" NB_EXPORT PyObject* PyInit__brenmoor_testing(void) {
    return PyModuleDef_Init(&module_def);
}
