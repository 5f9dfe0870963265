// The extension's initialisation entry point. Errors raised while the module body runs
// propagate to the importer unchanged.
#include "module/init.hpp"
#include "runtime/extension.hpp"

namespace {

int exec_module(PyObject* module) { return kt::exec_extension(module, kt::init_module); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, (void*)exec_module},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "_brenmoor",
                          nullptr,
                          0,
                          nullptr,
                          module_slots,
                          nullptr,
                          nullptr,
                          nanobind::detail::nb_module_free};

}  // namespace

extern "C" NB_EXPORT PyObject* PyInit__brenmoor(void) { return PyModuleDef_Init(&module_def); }
