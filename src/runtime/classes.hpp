// Real Python classes built at import: records through `dataclasses.dataclass`, and plain
// classes whose methods are native functions.
#pragma once

#include <utility>
#include <vector>

#include "runtime/function.hpp"

namespace kt {

struct Field {
    const char* name;
    const char* annotation;
    Default default_value = {};  // none: a required field
};

struct RecordDef {
    const char* name;
    std::vector<Field> fields;
};

// Builds `name` as a dataclass of the module with the given fields and binds it there.
object define_record(handle module, const RecordDef& def);

// The same class, not bound anywhere (records made afresh by each call), with its qualname.
object make_record(handle module, const RecordDef& def, const char* qualname = nullptr);

struct Method {
    const FuncDef* def;
    bool class_method = false;  // wrapped in `classmethod`
};

struct ClassDef {
    const char* name;
    const char* doc;
    std::vector<Method> methods;
    // Class attributes, each made by its function when the class is built.
    std::vector<std::pair<const char*, object (*)()>> attributes = {};
};

// Builds a real class (subclassable, instance attributes in `__dict__`) from the definition
// and binds it in the module.
object define_class(handle module, const ClassDef& def);

}  // namespace kt
