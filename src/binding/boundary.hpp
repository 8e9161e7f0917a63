// The module boundary: where pending errors are raised and internal faults
// stop.  Nothing thrown inside a function entry or the init function goes any
// further than this.
#pragma once

#include <expected>
#include <new>

#include "binding/pending.hpp"
#include "lib/fault.hpp"
#include "numeric/failure.hpp"

namespace kelvora::binding {

template <class T>
using Outcome = std::expected<T, PendingError>;

// Runs `body` (returning Outcome<Ref>) and hands its object to CPython, or
// raises its error, or turns an internal fault into PanicException; returns
// null with an exception set in the last two cases.
// Forced inline: each entry is then one function with its own handlers.
template <class Body>
[[gnu::always_inline]] inline PyObject* boundary(Body&& body) noexcept {
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

}  // namespace kelvora::binding
