// Real Python classes built at import: records through `dataclasses.dataclass`, and plain
// classes whose methods are native functions.
#pragma once

#include <vector>

#include "module/function.hpp"

namespace kt {

struct Field {
    const char* name;
    const char* annotation;
    const char* default_src = nullptr;  // Python expression, or nullptr for a required field
};

struct RecordDef {
    const char* name;
    std::vector<Field> fields;
};

// Builds `name` as a dataclass of the module with the given fields and binds it there.
object define_record(handle module, const RecordDef& def);

// Builds a plain class of the module whose attributes are the given native functions (their
// qualnames should read "Class.method") and binds it there.
object define_class(handle module, const char* name, const std::vector<const FuncDef*>& methods,
                    const char* doc = nullptr);

}  // namespace kt
