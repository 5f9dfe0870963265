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

RecordContents read_record(std::string_view bytes) {
    RecordContents r;
    sym::ByteReader in(bytes);
    if (in.byte() != kVersion) sym::ByteReader::bad();
    r.canonical = in.text();
    r.formula = in.text();
    r.root_type = in.text();
    r.depth = in.varint();
    r.n_nodes = in.varint();
    r.n_vars = in.varint();
    r.unary_depth = in.varint();
    r.repeated_var = in.byte() != 0;
    for (std::uint64_t k = in.varint(); k > 0; --k) r.operators.push_back(in.text());
    const std::uint64_t n = in.varint();
    if (n > in.left() / 8) sym::ByteReader::bad();
    r.behavior_vec.reserve(n);
    for (std::uint64_t k = 0; k < n; ++k) r.behavior_vec.push_back(in.real());
    r.flags = in.byte();
    for (double* x : {&r.boundedness, &r.variance, &r.derivative_approx, &r.integral_approx,
                      &r.stability_score, &r.sensitivity_perturbation, &r.frac_invalid})
        *x = in.real();
    r.growth_class = in.text();
    if (!in.done()) sym::ByteReader::bad();
    return r;
}

object record_fields(handle record) {
    RecordContents r;
    try {
        r = read_record(bytes_of(record));
    } catch (const std::invalid_argument& e) {
        raise(PyExc_ValueError, e.what());
    }
    object fields = check(PyDict_New());
    auto put = [&](const char* key, handle value) {
        check_status(PyDict_SetItemString(fields.ptr(), key, value.ptr()));
    };
    put("root_type", pystr(r.root_type));
    put("depth", pyint((long long)r.depth));
    put("n_nodes", pyint((long long)r.n_nodes));
    put("n_vars", pyint((long long)r.n_vars));
    object unary = pyint((long long)r.unary_depth);
    put("repeated_var", pybool(r.repeated_var));
    put("unary_depth", unary);
    object operators = new_list();
    for (std::string_view op : r.operators)
        append(operators, check(PyUnicode_InternFromString(std::string(op).c_str())));
    put("operators", operators);
    object vec =
        np_fn("empty")(pyint((long long)r.behavior_vec.size()), nb::arg("dtype") = "float64");
    Float64View view(vec, 1, true);
    for (std::size_t k = 0; k < r.behavior_vec.size(); ++k)
        view.mutable_data()[k] = r.behavior_vec[k];
    put("behavior_vec", vec);
    put("is_bounded", flag(r.flags & Bounded, r.flags & BoundedIsNumpy));
    put("is_periodic", pybool(r.flags & Periodic));
    put("is_monotone", flag(r.flags & Monotone, r.flags & MonotoneIsNumpy));
    put("boundedness", pyfloat(r.boundedness));
    put("variance", pyfloat(r.variance));
    put("derivative_approx", pyfloat(r.derivative_approx));
    put("integral_approx", pyfloat(r.integral_approx));
    put("stability_score", pyfloat(r.stability_score));
    put("sensitivity_perturbation", pyfloat(r.sensitivity_perturbation));
    // numpy's float, as 1.0 - np.sum(finite) / n leaves it
    put("frac_invalid", np_fn("float64")(pyfloat(r.frac_invalid)));
    put("growth_class", pystr(r.growth_class));
    put("derivative_vec", new_list());
    put("integral_vec", new_list());
    return fields;
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
