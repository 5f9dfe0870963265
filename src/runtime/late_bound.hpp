// What a folder's list of late-bound names holds. A `module_global("name")` call reads the
// module namespace when it runs, so the build's layers do not see what it reaches; every folder
// that makes such calls lists their names in its own late_bound.hpp, with the folder whose part
// of the module body binds each name and why the call goes through the namespace.
// tests/test_layers.py fails when a lookup is not listed, when a listed name is looked up
// nowhere or not bound by its owner, and when an owner is a folder the layer does not use.
#pragma once

namespace kt {

// Why a name is read from the namespace at each use rather than reached in C++. In every case a
// value rebound in the namespace (by a caller, a test) takes effect, as in a Python module.
enum class LateBinding : unsigned char {
    Replaceable,    // a public function of the module
    BuiltAtImport,  // a record or class the module body builds: no C++ object stands for it
    Setting,        // a setting or the client, read when used
    Import,         // a module or name the module body imports, under the name it binds
};

struct LateBound {
    const char* name;
    const char* owner;  // the folder of src/ that binds the name; "module" for the frame
    LateBinding why;
};

}  // namespace kt
