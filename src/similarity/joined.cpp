#include "similarity/joined.hpp"

#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/packed.hpp"

namespace kt {

object join_packed(handle packed) {
    Items items(packed);
    std::vector<std::string> parts;
    parts.reserve((size_t)items.size());
    for (Py_ssize_t k = 0; k < items.size(); ++k) {
        if (!PyBytes_Check(items[k].ptr())) raise(PyExc_TypeError, "packed descriptors are bytes");
        parts.emplace_back(PyBytes_AS_STRING(items[k].ptr()),
                           (size_t)PyBytes_GET_SIZE(items[k].ptr()));
    }
    std::string bytes;
    try {
        bytes = kernels::pack(kernels::join(parts));
    } catch (const std::invalid_argument& e) {
        raise(PyExc_ValueError, e.what());
    }
    return check(PyBytes_FromStringAndSize(bytes.data(), (Py_ssize_t)bytes.size()));
}

}  // namespace kt
