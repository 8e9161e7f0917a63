// Boxing of model results: a real as a Python float, an array of reals as a
// list of floats, in order.
//
// When CPython cannot create a result object (out of memory) its pending
// error is printed and cleared, and the internal fault "Python API call
// failed" ends the call (the boundary raises it as PanicException).
#pragma once

#include <vector>

#include "binding/pyref.hpp"

namespace kelvora::binding {

Ref float_result(double value);
Ref list_result(const double* values, Py_ssize_t count);
inline Ref list_result(const std::vector<double>& values) {
    return list_result(values.data(), static_cast<Py_ssize_t>(values.size()));
}

}  // namespace kelvora::binding
