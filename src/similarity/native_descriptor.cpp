#include "similarity/native_descriptor.hpp"

#include "runtime/state.hpp"

namespace kt {

namespace {

bool read_flag(handle value, int& out) {
    if (!PyBool_Check(value.ptr()) && !is_instance(value, state().np.attr("bool_"))) return false;
    out = truth(value) ? 1 : 0;
    return true;
}

bool read_label(handle value, Labels& labels, int& out) {
    if (!PyUnicode_CheckExact(value.ptr())) return false;
    out = labels.of(utf8(value));
    return true;
}

bool read_fields(handle d, Labels& labels, NativeDescriptor& out) {
    auto& s = out.structure;
    auto& b = out.behaviour;
    s.tree = flat_tree(get_attr(d, "expr"), labels);

    object ops = get_attr(d, "operators");
    if (!PyList_CheckExact(ops.ptr())) return false;
    s.operators.clear();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ops.ptr()); ++i) {
        int id;
        if (!read_label(PyList_GET_ITEM(ops.ptr(), i), labels, id)) return false;
        s.operators.push_back(id);
    }
    if (!read_label(get_attr(d, "root_type"), labels, s.root_type)) return false;
    object repeated = get_attr(d, "repeated_var");
    if (!PyBool_Check(repeated.ptr())) return false;
    s.repeated_var = repeated.ptr() == Py_True;
    object unary = get_attr(d, "unary_depth");
    if (!PyLong_CheckExact(unary.ptr())) return false;
    int overflow = 0;
    s.unary_depth = PyLong_AsLongLongAndOverflow(unary.ptr(), &overflow);
    if (overflow) return false;

    object frac = get_attr(d, "frac_invalid");
    if (!PyFloat_Check(frac.ptr())) return false;
    b.frac_invalid = PyFloat_AsDouble(frac.ptr());
    object vec = get_attr(d, "behavior_vec");
    b.has_vector = !vec.is_none();
    if (b.has_vector) {
        out.vector = std::make_unique<Float64View>(vec);
        if (!out.vector->valid()) return false;
        b.vector = out.vector->data();
        b.length = out.vector->size();
    }
    return read_label(get_attr(d, "growth_class"), labels, b.growth_class) &&
           read_flag(get_attr(d, "is_monotone"), b.monotone) &&
           read_flag(get_attr(d, "is_bounded"), b.bounded) &&
           read_flag(get_attr(d, "is_periodic"), b.periodic);
}

}  // namespace

bool read_native(handle d, Labels& labels, NativeDescriptor& out) {
    bool standard = false;
    if (!attempt([&] { standard = read_fields(d, labels, out); })) return false;
    return standard;
}

bool read_all_native(handle seq, Labels& labels, std::vector<NativeDescriptor>& out) {
    Items items(seq);
    out.resize(items.size());
    for (Py_ssize_t i = 0; i < items.size(); ++i)
        if (!read_native(items[i], labels, out[i])) return false;
    return true;
}

std::vector<double> tree_weights(int max_distance) {
    static auto* cache = new std::vector<double>();  // only touched with the GIL held
    object exp = state().np.attr("exp");
    while ((int)cache->size() <= max_distance) {
        object w = exp(pyfloat(-0.25 * (double)cache->size()));
        cache->push_back(as_double(w));
    }
    return std::vector<double>(cache->begin(), cache->begin() + max_distance + 1);
}

}  // namespace kt
