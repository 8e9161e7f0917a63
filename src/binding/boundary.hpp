// The module boundary: where pending errors are raised and internal faults
// stop.  Nothing thrown inside a function entry or the init function goes any
// further than this.
#pragma once

#include <expected>
#include <new>
#include <vector>

#include "binding/pending.hpp"
#include "lib/fault.hpp"
#include "numeric/failure.hpp"

namespace kelvora::binding {

template <class T>
using Outcome = std::expected<T, PendingError>;

// Runs `body` (returning Outcome<Ref>) and hands its object to CPython, or
// raises its error, or turns an internal fault into PanicException; returns
// null with an exception set in the last two cases.
template <class Body>
PyObject* boundary(Body&& body) noexcept {
    try {
        Outcome<Ref> outcome = body();
        if (outcome) return outcome->release();
        std::move(outcome.error()).raise();
    } catch (const Fault& fault) {
        PendingError::panic(fault.message()).raise();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PendingError::panic("panic from C++ code").raise();
    }
    return nullptr;
}

// A numeric failure as the RuntimeError carrying the kernel's message.
inline PendingError numeric_error(const numeric::Failure& failure) {
    return PendingError::fixed(PyExc_RuntimeError, failure.message);
}

// Result objects.  When CPython cannot create one (out of memory) its pending
// error is printed and cleared, and the internal fault "Python API call
// failed" ends the call.
Ref float_result(double value);
Ref list_result(const double* values, Py_ssize_t count);
inline Ref list_result(const std::vector<double>& values) {
    return list_result(values.data(), static_cast<Py_ssize_t>(values.size()));
}

}  // namespace kelvora::binding
