// Plain-text reports of candidates, of a filter result and of a compiled composition.
#pragma once

#include "runtime/function.hpp"

namespace kt {

extern const FuncDef candidate_report_def, report_strings_def, filter_report_strings_def,
    report_def, behavior_section_strings_def, composition_report_def, filter_report_def;

}  // namespace kt
