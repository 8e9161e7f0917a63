#include "binding/convert.hpp"

#include <cstddef>
#include <new>
#include <string>

#include "lib/fault.hpp"

namespace kelvora::binding {
namespace {

// The largest array of doubles an object may hold: PY_SSIZE_T_MAX bytes (the
// platform's largest object size), as whole doubles.
constexpr std::size_t kMaxReals = static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(double);

void append(std::vector<double>& out, double value) {
    if (out.size() == out.capacity() && out.size() >= kMaxReals) raise_fault("capacity overflow");
    out.push_back(value);
}

}  // namespace

Converted<double> to_real_generic(PyObject* object) {
    double value = PyFloat_AsDouble(object);
    if (value != -1.0) return value;
    if (auto error = fetch()) return std::unexpected(std::move(*error));
    return value;  // a genuine -1.0
}

Converted<std::vector<double>> to_reals(PyObject* object) {
    if (PyUnicode_Check(object)) {
        return std::unexpected(PendingError::fixed(PyExc_TypeError, "Can't extract `str` to `Vec`"));
    }
    if (!PySequence_Check(object)) return std::unexpected(PendingError::downcast(object, "Sequence"));

    std::vector<double> out;
    // The reported length only reserves space; the items the iterator yields
    // decide the result.  A failing __len__ is ignored.
    Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) {
        PyErr_Clear();
    } else if (hint > 0) {
        if (static_cast<std::size_t>(hint) > kMaxReals) raise_fault("capacity overflow");
        try {
            out.reserve(static_cast<std::size_t>(hint));
        } catch (const std::bad_alloc&) {
            // A length too large to reserve may still be a lie: iterate anyway.
        }
    }

    Ref iterator = Ref::steal(PyObject_GetIter(object));
    if (!iterator) return std::unexpected(fetch_or_substitute());
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        auto value = to_real(item.get());
        if (!value) return std::unexpected(std::move(value.error()));
        append(out, *value);
    }
    if (PyErr_Occurred()) return std::unexpected(fetch_or_substitute());
    return out;
}

PendingError name_failure(const char* parameter, PendingError error) {
    if (error.type() != PyExc_TypeError) return error;
    PyObject* original = error.instance();

    std::string message = "argument '";
    message += parameter;
    message += "': ";
    if (Ref text = Ref::steal(PyObject_Str(original))) {
        message += exact_utf8(text.get());
    } else {
        PyErr_WriteUnraisable(original);
        if (Ref name = Ref::steal(PyType_GetName(Py_TYPE(original)))) {
            message += "<unprintable " + exact_utf8(name.get()) + " object>";
        } else {
            PyErr_Clear();
            message += "<unprintable object>";
        }
    }

    Ref cause = Ref::steal(PyException_GetCause(original));
    PendingError renamed = PendingError::owned(PyExc_TypeError, std::move(message));
    if (PyObject* instance = renamed.instance()) {
        // Steals `cause`; a null cause clears it.  Either way sets
        // __suppress_context__.
        PyException_SetCause(instance, cause.release());
    }
    return renamed;
}

}  // namespace kelvora::binding
