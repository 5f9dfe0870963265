// The names operators code reads from the module namespace when it runs (runtime/late_bound.hpp).
#pragma once

#include "runtime/late_bound.hpp"

namespace kt {

inline constexpr LateBound kOperatorsLateBound[] = {
    {"detect_structure", "pipeline", LateBinding::Replaceable},
    {"filter_candidates", "pipeline", LateBinding::Replaceable},
    {"candidate_report", "pipeline", LateBinding::Replaceable},
    {"composition_report", "pipeline", LateBinding::Replaceable},
    {"behavior_section_strings", "pipeline", LateBinding::Replaceable},
    {"SymbolicOperator", "operators", LateBinding::BuiltAtImport},
    {"NumpyCompiler", "operators", LateBinding::BuiltAtImport},
    {"ControlledCompositionGenerator", "operators", LateBinding::BuiltAtImport},
    {"random", "operators", LateBinding::Import},
    {"re", "operators", LateBinding::Import},
    {"ast", "operators", LateBinding::Import},
    {"np", "module", LateBinding::Import},
    // The frame's print: a function of the assembly, reached only through the namespace.
    {"_safe_print", "module", LateBinding::Replaceable},
};

}  // namespace kt
