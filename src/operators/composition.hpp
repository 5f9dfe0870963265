// Random nestings of an operator to a controlled depth, drawn from Python's own `random`
// generator, and the nesting depth of a text.
#pragma once

#include "runtime/classes.hpp"

namespace kt {

extern const ClassDef composition_generator_class;

}  // namespace kt
