#include "runtime/extension.hpp"

namespace kt {

int exec_extension(PyObject* module, void (*init)(handle module)) {
    nb::detail::nb_module_exec(NB_DOMAIN_STR, module);
    try {
        init(module);
        return 0;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    return -1;
}

}  // namespace kt
