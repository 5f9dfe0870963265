#include "pipeline/row_record.hpp"

#include <cstring>
#include <stdexcept>

#include "runtime/native_trees.hpp"
#include "runtime/numpy.hpp"
#include "symbolic/bytes.hpp"
#include "symbolic/codec.hpp"

namespace kt {

namespace sym = symbolic;

namespace {

constexpr unsigned char kVersion = 1;
enum Flag : unsigned char {
    Bounded = 1,
    BoundedIsNumpy = 2,
    Periodic = 4,
    Monotone = 8,
    MonotoneIsNumpy = 16,
};

std::string_view bytes_of(handle record) {
    if (!PyBytes_Check(record.ptr())) raise(PyExc_TypeError, "a row record is bytes");
    return {PyBytes_AS_STRING(record.ptr()), (size_t)PyBytes_GET_SIZE(record.ptr())};
}

// numpy's booleans where numpy left one (np.all, a comparison of numpy scalars).
object flag(bool value, bool numpy) {
    if (!numpy) return pybool(value);
    return np_fn("bool_")(pybool(value));
}

}  // namespace

std::string row_record(const sym::Description& d, sym::Expr formula) {
    sym::ByteWriter out;
    out.byte(kVersion);
    out.text(sym::encode(d.canonical));
    out.text(sym::encode(formula));
    const sym::Structure& s = d.structure;
    out.text(s.root_type);
    out.varint((std::uint64_t)s.depth);
    out.varint((std::uint64_t)s.n_nodes);
    out.varint((std::uint64_t)s.n_vars);
    out.varint((std::uint64_t)s.unary_depth);
    out.byte(s.repeated_var ? 1 : 0);
    out.varint(s.operators.size());
    for (const std::string& op : s.operators) out.text(op);
    const sym::Behaviour& b = d.behaviour;
    out.varint(b.behavior_vec.size());
    for (double x : b.behavior_vec) out.real(x);
    out.byte((b.is_bounded ? Bounded : 0) | (b.bounded_is_numpy ? BoundedIsNumpy : 0) |
             (b.is_periodic ? Periodic : 0) | (b.is_monotone ? Monotone : 0) |
             (b.monotone_is_numpy ? MonotoneIsNumpy : 0));
    for (double x : {b.boundedness, b.variance, b.derivative_approx, b.integral_approx,
                     b.stability_score, b.sensitivity_perturbation, b.frac_invalid})
        out.real(x);
    out.text(b.growth_class);
    return std::move(out.bytes());
}

object record_fields(handle record) {
    try {
        sym::ByteReader in(bytes_of(record));
        if (in.byte() != kVersion) sym::ByteReader::bad();
        in.text();
        in.text();
        object fields = check(PyDict_New());
        auto put = [&](const char* key, handle value) {
            check_status(PyDict_SetItemString(fields.ptr(), key, value.ptr()));
        };
        put("root_type", pystr(in.text()));
        put("depth", pyint((long long)in.varint()));
        put("n_nodes", pyint((long long)in.varint()));
        put("n_vars", pyint((long long)in.varint()));
        object unary = pyint((long long)in.varint());
        put("repeated_var", pybool(in.byte() != 0));
        put("unary_depth", unary);
        object operators = new_list();
        for (std::uint64_t k = in.varint(); k > 0; --k)
            append(operators, check(PyUnicode_InternFromString(std::string(in.text()).c_str())));
        put("operators", operators);
        const std::uint64_t n = in.varint();
        if (n > in.left() / 8) sym::ByteReader::bad();
        object vec = np_fn("empty")(pyint((long long)n), nb::arg("dtype") = "float64");
        Float64View view(vec, 1, true);
        for (std::uint64_t k = 0; k < n; ++k) view.mutable_data()[k] = in.real();
        put("behavior_vec", vec);
        const unsigned char flags = in.byte();
        put("is_bounded", flag(flags & Bounded, flags & BoundedIsNumpy));
        put("is_periodic", pybool(flags & Periodic));
        put("is_monotone", flag(flags & Monotone, flags & MonotoneIsNumpy));
        for (const char* key : {"boundedness", "variance", "derivative_approx", "integral_approx",
                                "stability_score", "sensitivity_perturbation"})
            put(key, pyfloat(in.real()));
        // numpy's float, as 1.0 - np.sum(finite) / n leaves it
        put("frac_invalid", np_fn("float64")(pyfloat(in.real())));
        put("growth_class", pystr(in.text()));
        put("derivative_vec", new_list());
        put("integral_vec", new_list());
        if (!in.done()) sym::ByteReader::bad();
        return fields;
    } catch (const std::invalid_argument& e) {
        raise(PyExc_ValueError, e.what());
    }
}

namespace {

object sympy_of(std::string_view tree) {
    try {
        sym::Pool pool;
        SympyTrees trees;
        return trees(sym::decode(pool, tree));
    } catch (const std::invalid_argument& e) {
        raise(PyExc_ValueError, e.what());
    } catch (const sym::Unsupported& e) {
        raise(PyExc_ValueError, e.what());
    }
}

}  // namespace

object record_expression(handle record, bool numeric) {
    std::string_view canonical, formula;
    try {
        sym::ByteReader in(bytes_of(record));
        if (in.byte() != kVersion) sym::ByteReader::bad();
        canonical = in.text();
        formula = in.text();
    } catch (const std::invalid_argument& e) {
        raise(PyExc_ValueError, e.what());
    }
    return sympy_of(numeric ? formula : canonical);
}

object tree_expression(handle tree) { return sympy_of(bytes_of(tree)); }

std::string_view record_tree(std::string_view record, bool numeric) {
    sym::ByteReader in(record);
    if (in.byte() != kVersion) sym::ByteReader::bad();
    const std::string_view canonical = in.text();
    const std::string_view formula = in.text();
    return numeric ? formula : canonical;
}

}  // namespace kt
