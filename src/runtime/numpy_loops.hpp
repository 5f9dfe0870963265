// numpy's own float64 loops, taken once from its ufunc objects and called on plain double
// buffers without the GIL: the arithmetic of symbolic::Backend, bit for bit numpy's.
#pragma once

#include <vector>

#include "runtime/py.hpp"
#include "symbolic/backend.hpp"

namespace kt {

class NumpyLoops : public symbolic::Backend {
public:
    void unary(symbolic::Loop f, const double* in, double* out, std::size_t n) const override;
    void power(const double* base, bool base_scalar, const double* exp, bool exp_scalar,
               double* out, std::size_t n) const override;
    double dot(const double* a, const double* b, std::size_t n) const override;
    std::span<const double> seeded_uniforms() const override { return uniforms_; }

    // Whether every loop and the BLAS dot were found (else describing stays with numpy).
    bool complete() const { return complete_; }

    using Inner = void (*)(char** args, const std::ptrdiff_t* dimensions,
                           const std::ptrdiff_t* steps, void* data);
    struct Taken {
        Inner fn = nullptr;
        void* data = nullptr;
    };

private:
    friend const NumpyLoops& numpy_loops();
    NumpyLoops();

    Taken unary_[symbolic::kLoopCount];
    Taken power_;
    double (*ddot_)(long long n, const double* x, long long incx, const double* y,
                    long long incy) = nullptr;
    std::vector<double> uniforms_;
    bool complete_ = false;
};

// The loops, taken on first use (with the GIL held); shared and read-only after that.
const NumpyLoops& numpy_loops();

}  // namespace kt
