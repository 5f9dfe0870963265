// An operator report read into a dict with its `name`, `definition` and `params` (parameter
// names, or None): given as a dict, a JSON text, a candidate record, or the text of a report.
#pragma once

#include "runtime/py.hpp"

namespace kt {

object parse_report(handle report);

}  // namespace kt
