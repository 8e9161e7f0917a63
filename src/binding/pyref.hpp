// Owned references to Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <utility>

namespace kelvora::binding {

// One strong reference, released when the handle goes out of scope, so every
// error path lets go of what it holds.
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (may be null, e.g. a failed API call).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// Publishes `made` (a new reference, not null) in `cell` unless another value
// is there already, and returns the value the cell holds afterwards
// (borrowed; the cell keeps its reference): the first value published wins
// for the life of the process and a loser's object is released.  One
// compare-and-exchange; used for every once-only value (interned names, the
// PanicException type, the module cache).
inline PyObject* publish_once(std::atomic<PyObject*>& cell, PyObject* made) noexcept {
    PyObject* expected = nullptr;
    if (cell.compare_exchange_strong(expected, made, std::memory_order_acq_rel, std::memory_order_acquire)) {
        return made;
    }
    Py_DECREF(made);
    return expected;
}

}  // namespace kelvora::binding
