// What discover_concept says of a concept: its one-paragraph summary, the families that are
// closure properties, and the printed report.
#pragma once

#include "runtime/py.hpp"

namespace kt {

object summary_text(handle name, handle invariants, handle families);
// The family keys that name a closure (product, composition, power, shift, closure).
object closure_keys(handle families);
// Prints the summary, the definition and parameters, the families and the invariants
// (operator-form rules first).
void print_report(handle concept_obj);

}  // namespace kt
