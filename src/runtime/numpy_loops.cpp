#include "runtime/numpy_loops.hpp"

#include <dlfcn.h>

#include <filesystem>
#include <string>

#include "runtime/numpy.hpp"
#include "runtime/state.hpp"

namespace kt {

namespace {

namespace sym = symbolic;

// The stable head of numpy's PyUFuncObject (numpy/_core/include/numpy/ufuncobject.h): the loop
// table is read from here, as numpy's own dispatch filled it at import.
struct UfuncHead {
    PyObject_HEAD
    int nin, nout, nargs;
    int identity;
    NumpyLoops::Inner* functions;
    void* const* data;
    int ntypes;
    int flags;
    const char* name;
    const char* types;
};

constexpr char kDouble = 12;  // NPY_DOUBLE

const char* const kLoopNames[sym::kLoopCount] = {
    "exp",    "log",      "sin",      "cos",    "tan",       "arcsin",  "arccos",
    "arctan", "sinh",     "cosh",     "tanh",   "arcsinh",   "arccosh", "arctanh",
    "sqrt",   "absolute", "negative", "square", "reciprocal"};

// The all-float64 loop of one ufunc, or nothing.
NumpyLoops::Taken take(handle np, const char* name, int nargs) {
    object ufunc = get_attr(np, name);
    if (!is_instance(ufunc, get_attr(np, "ufunc"))) return {};
    const auto* head = reinterpret_cast<const UfuncHead*>(ufunc.ptr());
    if (head->nargs != nargs || !head->functions || !head->types) return {};
    for (int k = 0; k < head->ntypes; ++k) {
        bool all = true;
        for (int a = 0; a < nargs; ++a) all = all && head->types[k * nargs + a] == kDouble;
        if (all) return {head->functions[k], head->data ? head->data[k] : nullptr};
    }
    return {};
}

// numpy's BLAS: the library it ships and loaded, searched for its dot.
void* find_ddot(handle np) {
    namespace fs = std::filesystem;
    const fs::path libs =
        fs::path(utf8(get_attr(np, "__file__"))).parent_path().parent_path() / "numpy.libs";
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(libs, ec)) {
        const std::string file = entry.path().filename().string();
        if (file.find("openblas") == std::string::npos) continue;
        void* lib = dlopen(entry.path().c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (!lib) continue;
        for (const char* symbol : {"scipy_cblas_ddot64_", "cblas_ddot64_", "cblas_ddot"})
            if (void* f = dlsym(lib, symbol)) return f;
    }
    return nullptr;
}

constexpr std::size_t kUniforms = 1 << 14;

}  // namespace

NumpyLoops::NumpyLoops() {
    handle np = state().np;
    complete_ = true;
    for (int k = 0; k < sym::kLoopCount; ++k) {
        unary_[k] = take(np, kLoopNames[k], 2);
        complete_ = complete_ && unary_[k].fn;
    }
    power_ = take(np, "power", 3);
    ddot_ = reinterpret_cast<decltype(ddot_)>(find_ddot(np));
    complete_ = complete_ && power_.fn && ddot_;
    object drawn = get_attr(state().np.attr("random").attr("default_rng")(0),
                            "random")(pyint((long long)kUniforms));
    Float64View view(drawn);
    if (view.valid()) uniforms_.assign(view.data(), view.data() + view.size());
    complete_ = complete_ && uniforms_.size() == kUniforms;
}

void NumpyLoops::unary(sym::Loop f, const double* in, double* out, std::size_t n) const {
    const Taken& t = unary_[(int)f];
    char* args[] = {(char*)in, (char*)out};
    const std::ptrdiff_t dims[] = {(std::ptrdiff_t)n};
    const std::ptrdiff_t steps[] = {sizeof(double), sizeof(double)};
    t.fn(args, dims, steps, t.data);
}

void NumpyLoops::power(const double* base, bool base_scalar, const double* exp, bool exp_scalar,
                       double* out, std::size_t n) const {
    char* args[] = {(char*)base, (char*)exp, (char*)out};
    const std::ptrdiff_t dims[] = {(std::ptrdiff_t)n};
    const std::ptrdiff_t steps[] = {base_scalar ? 0 : (std::ptrdiff_t)sizeof(double),
                                    exp_scalar ? 0 : (std::ptrdiff_t)sizeof(double),
                                    sizeof(double)};
    power_.fn(args, dims, steps, power_.data);
}

// numpy's float64 dot starts from 0.0 and adds BLAS's sum of the chunk.
double NumpyLoops::dot(const double* a, const double* b, std::size_t n) const {
    double sum = 0.0;
    sum += ddot_((long long)n, a, 1, b, 1);
    return sum;
}

const NumpyLoops& numpy_loops() {
    static const NumpyLoops* loops = new NumpyLoops();  // never freed, as the module state
    return *loops;
}

}  // namespace kt
