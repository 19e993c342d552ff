// New numpy arrays holding a copy of C++ values.
#pragma once

#include <pybind11/numpy.h>

#include <cstddef>
#include <vector>

namespace kvelo::binding {

namespace py = pybind11;

template <typename T>
py::array_t<T> to_array(const T* data, std::size_t n) {
    return py::array_t<T>(static_cast<py::ssize_t>(n), data);
}

template <typename T>
py::array_t<T> to_array(const std::vector<T>& v) {
    return to_array(v.data(), v.size());
}

}  // namespace kvelo::binding
