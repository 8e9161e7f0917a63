// Conversion of Python arguments into reals and arrays of reals.
#pragma once

#include <expected>
#include <vector>

#include "binding/pending.hpp"

namespace kelvora::binding {

template <class T>
using Converted = std::expected<T, PendingError>;

// A Python number as a double: exact floats are read directly; anything else
// goes through PyFloat_AsDouble (so __float__ and __index__ are honoured), a
// -1.0 result counting as an error only when an exception is pending.
inline Converted<double> to_real(PyObject* object);

// A Python sequence as an array of doubles, one per item its iterator
// produces, in iteration order.  `str` is refused although it is a sequence;
// non-sequences are refused with the downcast message (target "Sequence").
//
// Exact lists and tuples are read by index and exact numpy float64 arrays,
// array.array('d') and memoryviews of native doubles are copied from their
// buffer; the result, and every error, is the same as the generic path's.
Converted<std::vector<double>> to_reals(PyObject* object);

// The element-by-element conversion through the object's iterator.
Converted<std::vector<double>> to_reals_generic(PyObject* object);

// Prefixes a conversion failure with the parameter's name when its type is
// exactly TypeError: "argument '<name>': <str of the error>", keeping the
// original's __cause__ (or clearing it) and dropping the original.  Any other
// error passes unchanged.
PendingError name_failure(const char* parameter, PendingError error);

// Converters that name their failures, for the function entries.
inline Converted<double> real_argument(PyObject* object, const char* parameter) {
    auto value = to_real(object);
    if (!value) return std::unexpected(name_failure(parameter, std::move(value.error())));
    return value;
}

inline Converted<std::vector<double>> reals_argument(PyObject* object, const char* parameter) {
    auto value = to_reals(object);
    if (!value) return std::unexpected(name_failure(parameter, std::move(value.error())));
    return value;
}

// Slow path of to_real, out of line.
Converted<double> to_real_generic(PyObject* object);

inline Converted<double> to_real(PyObject* object) {
    if (Py_IS_TYPE(object, &PyFloat_Type)) return PyFloat_AS_DOUBLE(object);
    return to_real_generic(object);
}

}  // namespace kelvora::binding
