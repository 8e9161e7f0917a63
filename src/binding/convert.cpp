#include "binding/convert.hpp"
#include "binding/text.hpp"

#include <bit>
#include <cstddef>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>

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

// Exact lists and tuples, read by index.  This is what their iterators do:
// the list iterator reads item i while i is below the list's current size,
// so a list that changes while an item is converted is followed exactly as
// iteration would follow it.  Items that are not exact floats go through the
// same conversion as on the generic path, holding their own reference.
template <bool IsList>
Converted<std::vector<double>> indexed_reals(PyObject* object) {
    auto size = [object] { return IsList ? PyList_GET_SIZE(object) : PyTuple_GET_SIZE(object); };
    std::vector<double> out;
    out.reserve(static_cast<std::size_t>(size()));
    for (Py_ssize_t i = 0; i < size(); ++i) {
        PyObject* item = IsList ? PyList_GET_ITEM(object, i) : PyTuple_GET_ITEM(object, i);
        if (Py_IS_TYPE(item, &PyFloat_Type)) {
            out.push_back(PyFloat_AS_DOUBLE(item));
            continue;
        }
        Ref held = Ref::borrow(item);
        auto value = to_real_generic(held.get());
        if (!value) return std::unexpected(std::move(value.error()));
        append(out, *value);
    }
    return out;
}

// Whether a buffer format string describes one native double.
bool is_native_double(const char* format) {
    if (format == nullptr) return false;
    const std::string_view f(format);
    return f == "d" || f == "@d" || f == "=d" || (std::endian::native == std::endian::little && f == "<d");
}

// A one-dimensional, C-contiguous buffer of native doubles exported by a type
// whose items, iterated, are floats of exactly those values: numpy.ndarray
// (items numpy.float64, a float subclass), array.array and memoryview.  For
// such an object the values are copied in one go.  Anything else (other
// exporters, subclasses, other formats, strided or multi-dimensional views, a
// buffer request that fails) is left to the generic path.
std::optional<std::vector<double>> buffer_reals(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    const bool known = type == &PyMemoryView_Type || std::strcmp(type->tp_name, "numpy.ndarray") == 0 ||
                       std::strcmp(type->tp_name, "array.array") == 0;
    if (!known || type->tp_as_buffer == nullptr || type->tp_as_buffer->bf_getbuffer == nullptr) return std::nullopt;

    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();  // e.g. a released memoryview: the generic path reports it
        return std::nullopt;
    }
    std::optional<std::vector<double>> out;
    if (view.ndim == 1 && view.itemsize == sizeof(double) && is_native_double(view.format) &&
        view.strides != nullptr && view.strides[0] == static_cast<Py_ssize_t>(sizeof(double)) &&
        view.suboffsets == nullptr) {
        const auto count = static_cast<std::size_t>(view.shape[0]);
        try {
            out.emplace(count);
        } catch (...) {
            PyBuffer_Release(&view);
            throw;
        }
        if (count != 0) std::memcpy(out->data(), view.buf, count * sizeof(double));
    }
    PyBuffer_Release(&view);
    return out;
}

}  // namespace

Converted<double> to_real_generic(PyObject* object) {
    double value = PyFloat_AsDouble(object);
    if (value != -1.0) return value;
    if (auto error = fetch()) return std::unexpected(std::move(*error));
    return value;  // a genuine -1.0
}

Converted<std::vector<double>> to_reals(PyObject* object) {
#ifndef Py_GIL_DISABLED
    // Without the GIL another thread could resize a list between the size
    // check and the read; free-threaded builds take the generic path.
    if (PyList_CheckExact(object)) return indexed_reals<true>(object);
#endif
    if (PyTuple_CheckExact(object)) return indexed_reals<false>(object);
    if (auto values = buffer_reals(object)) return std::move(*values);
    return to_reals_generic(object);
}

Converted<std::vector<double>> to_reals_generic(PyObject* object) {
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
