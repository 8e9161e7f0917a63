#include "binding/box.hpp"

#include "lib/fault.hpp"

namespace kelvora::binding {

Ref float_result(double value) {
    Ref result = Ref::steal(PyFloat_FromDouble(value));
    if (!result) {
        PyErr_Print();
        raise_fault("Python API call failed");
    }
    return result;
}

Ref list_result(const double* values, Py_ssize_t count) {
    Ref list = Ref::steal(PyList_New(count));
    if (!list) {
        PyErr_Print();
        raise_fault("Python API call failed");
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyList_SET_ITEM(list.get(), i, float_result(values[i]).release());
    }
    return list;
}

}  // namespace kelvora::binding
