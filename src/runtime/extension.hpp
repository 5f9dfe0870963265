// The initialisation boundary every extension of this project shares: nanobind's set-up, then
// the extension's own `init`. An error while `init` runs reaches the importer as the Python
// exception it carries (ImportError for any other C++ exception).
#pragma once

#include "runtime/py.hpp"

namespace kt {

// The Py_mod_exec slot's work: 0, or -1 with the exception set.
int exec_extension(PyObject* module, void (*init)(handle module));

}  // namespace kt
