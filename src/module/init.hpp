// Module initialisation: imports, configuration, the Groq client, constants and every
// definition, in the order the module body binds them.
#pragma once

#include "runtime/py.hpp"

namespace kt {

void init_module(handle module);

}  // namespace kt
