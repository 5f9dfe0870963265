// numpy access: functions by name, and read-only float64 views for the native fast paths.
#pragma once

#include "runtime/state.hpp"

namespace kt {

// `np.<name>`, looked up on the numpy module.
inline object np_fn(const char* name) { return state().np.attr(name); }

// A read-only view of a C-contiguous float64 array; `valid()` is false for any other object
// (lists, other dtypes, strided or multi-dimensional arrays), which then take the literal path.
class Float64View {
public:
    explicit Float64View(handle obj, int ndim = 1, bool writable = false);
    bool valid() const { return data_ != nullptr; }
    const double* data() const { return data_; }
    // Only for views made writable.
    double* mutable_data() const { return const_cast<double*>(data_); }
    Py_ssize_t size() const { return size_; }
    Py_ssize_t rows() const { return rows_; }
    Py_ssize_t cols() const { return cols_; }

private:
    Py_buffer view_{};
    bool held_ = false;
    const double* data_ = nullptr;
    Py_ssize_t size_ = 0, rows_ = 0, cols_ = 0;

public:
    ~Float64View() {
        if (held_) PyBuffer_Release(&view_);
    }
    Float64View(const Float64View&) = delete;
    Float64View& operator=(const Float64View&) = delete;
};

}  // namespace kt
