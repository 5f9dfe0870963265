// The float64 arithmetic a formula's values are computed with: numpy's own loops, which on a
// machine with SIMD loops differ from libm in the last bit, so the runtime hands them in through
// this interface (runtime/numpy_loops.hpp) and nothing here depends on Python.
#pragma once

#include <cstddef>
#include <span>

namespace kt::symbolic {

// numpy's one-argument float64 ufuncs, by their numpy names.
enum class Loop : unsigned char {
    exp,
    log,
    sin,
    cos,
    tan,
    arcsin,
    arccos,
    arctan,
    sinh,
    cosh,
    tanh,
    arcsinh,
    arccosh,
    arctanh,
    sqrt,
    absolute,
    negative,
    square,
    reciprocal,
};
constexpr int kLoopCount = 19;

class Backend {
public:
    virtual ~Backend() = default;
    // out[i] = f(in[i]) for n contiguous doubles, as numpy's loop computes it (numpy runs a
    // scalar through the same loop with n = 1).
    virtual void unary(Loop f, const double* in, double* out, std::size_t n) const = 0;
    // out[i] = base ** exp elementwise; a scalar operand (numpy broadcasts it with stride 0)
    // is read at index 0 only.
    virtual void power(const double* base, bool base_scalar, const double* exp, bool exp_scalar,
                       double* out, std::size_t n) const = 0;
    // `a.dot(b)` for contiguous vectors (numpy's BLAS dot, which sums in its own order).
    virtual double dot(const double* a, const double* b, std::size_t n) const = 0;
    // The doubles `np.random.default_rng(0).random(k)` draws, as many as were taken once.
    virtual std::span<const double> seeded_uniforms() const = 0;
};

}  // namespace kt::symbolic
