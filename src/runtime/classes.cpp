#include "runtime/classes.hpp"

namespace kt {

namespace {

// A class namespace carrying the module's name and the bare class name as qualname.
object class_namespace(handle module, const char* name) {
    object ns = check(PyDict_New());
    check_status(
        PyDict_SetItemString(ns.ptr(), "__module__", get_attr(module, pystr("__name__")).ptr()));
    check_status(PyDict_SetItemString(ns.ptr(), "__qualname__", pystr(name).ptr()));
    return ns;
}

object build_type(const char* name, handle ns) {
    object bases = check(PyTuple_New(0));
    object args = nb::make_tuple(pystr(name), bases, ns);
    return check(PyObject_CallObject((PyObject*)&PyType_Type, args.ptr()));
}

}  // namespace

object make_record(handle module, const RecordDef& def, const char* qualname) {
    object ns = class_namespace(module, def.name);
    if (qualname)
        check_status(PyDict_SetItemString(ns.ptr(), "__qualname__", pystr(qualname).ptr()));
    object annotations = check(PyDict_New());
    for (const Field& f : def.fields) {
        check_status(PyDict_SetItemString(annotations.ptr(), f.name, pystr(f.annotation).ptr()));
        if (f.default_value.given())
            check_status(PyDict_SetItemString(ns.ptr(), f.name, f.default_value.make().ptr()));
    }
    check_status(PyDict_SetItemString(ns.ptr(), "__annotations__", annotations.ptr()));
    object dataclass = import_module("dataclasses").attr("dataclass");
    return dataclass(build_type(def.name, ns));
}

object define_record(handle module, const RecordDef& def) {
    object cls = make_record(module, def);
    check_status(PyObject_SetAttrString(module.ptr(), def.name, cls.ptr()));
    return cls;
}

object define_class(handle module, const ClassDef& def) {
    object ns = class_namespace(module, def.name);
    if (def.doc) check_status(PyDict_SetItemString(ns.ptr(), "__doc__", pystr(def.doc).ptr()));
    for (const auto& [name, make] : def.attributes)
        check_status(PyDict_SetItemString(ns.ptr(), name, make().ptr()));
    for (const Method& m : def.methods) {
        object fn = make_function(*m.def, module);
        if (m.class_method) fn = check(PyClassMethod_New(fn.ptr()));
        check_status(PyDict_SetItemString(ns.ptr(), m.def->name, fn.ptr()));
    }
    object cls = build_type(def.name, ns);
    check_status(PyObject_SetAttrString(module.ptr(), def.name, cls.ptr()));
    return cls;
}

}  // namespace kt
