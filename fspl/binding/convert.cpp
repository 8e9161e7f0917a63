#include "fspl/binding/convert.hpp"

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fspl/binding/numpy_api.hpp"

namespace kelvora::fspl::binding {

namespace {

std::string class_name(nb::handle obj) {
    return text(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).attr("__name__"));
}

[[noreturn]] void not_real(const char* name, const std::string& what) {
    throw nb::type_error((std::string(name) + " must be a real number or an array of real numbers, not " + what).c_str());
}

bool is_complex(PyObject* item) { return PyComplex_Check(item) || PyArray_IsScalar(item, ComplexFloating); }

// One element of an object array as a double, by float().
double object_value(PyObject* item, const char* name, bool scalar) {
    if (item == nullptr) item = Py_None;  // an object array's unset entry
    if (!PyNumber_Check(item) || PyUnicode_Check(item) || PyBytes_Check(item) || is_complex(item)) {
        not_real(name, scalar ? class_name(item) : "an array holding " + class_name(item));
    }
    const double value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) {
        if (PyLong_Check(item) && PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            const std::string message =
                std::string(name) + (scalar ? " is" : " holds") + " an int too large to convert to float";
            PyErr_SetString(PyExc_OverflowError, message.c_str());
            throw nb::python_error();
        }
        throw nb::python_error();  // the object's own exception
    }
    return value;
}

// An object array as float64: element by element, since numpy's own
// conversion would take None for NaN and parse strings.  The objects are read
// from a private copy, so that an object's __float__ changing the caller's
// array changes nothing read here.
nb::object from_objects(PyArrayObject* array, const char* name) {
    nb::object copy = nb::steal(PyArray_NewCopy(array, NPY_CORDER));
    if (!copy.is_valid()) throw nb::python_error();
    auto* objects = reinterpret_cast<PyArrayObject*>(copy.ptr());
    nb::object out = nb::steal(PyArray_SimpleNew(PyArray_NDIM(objects), PyArray_DIMS(objects), NPY_DOUBLE));
    if (!out.is_valid()) throw nb::python_error();
    PyObject** items = static_cast<PyObject**>(PyArray_DATA(objects));
    double* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.ptr())));
    const bool scalar = PyArray_NDIM(objects) == 0;
    const npy_intp n = PyArray_SIZE(objects);
    for (npy_intp i = 0; i < n; ++i) data[i] = object_value(items[i], name, scalar);
    return out;
}

}  // namespace

std::string text(nb::handle obj) {
    nb::object s = nb::steal(PyObject_Str(obj.ptr()));
    if (!s.is_valid()) throw nb::python_error();
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (utf8 == nullptr) {
        // Lone surrogates: escaped as ascii() escapes them.
        PyErr_Clear();
        nb::object ascii = nb::steal(PyObject_ASCII(s.ptr()));
        if (!ascii.is_valid()) throw nb::python_error();
        utf8 = PyUnicode_AsUTF8AndSize(ascii.ptr(), &size);
        if (utf8 == nullptr) throw nb::python_error();
        return size >= 2 ? std::string(utf8 + 1, static_cast<std::size_t>(size - 2)) : std::string();
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

nb::object real_array(nb::handle obj, const char* name) {
    PyObject* raw = PyArray_FromAny(obj.ptr(), nullptr, 0, 0, 0, nullptr);
    if (raw == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
            // Ragged nesting, more dimensions than numpy allows, and the like.
            nb::python_error cause;
            throw nb::type_error((std::string(name) + " must be a real number or an array of real numbers (" +
                                  cause.what() + ")").c_str());
        }
        throw nb::python_error();
    }
    nb::object array = nb::steal(raw);
    auto* a = reinterpret_cast<PyArrayObject*>(raw);
    switch (PyArray_DESCR(a)->kind) {
        case 'b':
        case 'i':
        case 'u':
        case 'f': return array;
        case 'O': return from_objects(a, name);
        default: break;
    }
    not_real(name, PyArray_NDIM(a) == 0 ? class_name(obj)
                                        : "an array of dtype " + text(reinterpret_cast<PyObject*>(PyArray_DESCR(a))));
}

std::vector<double> real_vector(nb::handle obj, const char* name) {
    // Plain floats in a tuple or list, the common case, directly.
    if (PyTuple_CheckExact(obj.ptr()) || PyList_CheckExact(obj.ptr())) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj.ptr());
        PyObject** items = PySequence_Fast_ITEMS(obj.ptr());
        std::vector<double> out;
        out.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n && PyFloat_CheckExact(items[i]); ++i) out.push_back(PyFloat_AS_DOUBLE(items[i]));
        if (static_cast<Py_ssize_t>(out.size()) == n) return out;
    }
    nb::object array = real_array(obj, name);
    auto* a = reinterpret_cast<PyArrayObject*>(array.ptr());
    if (PyArray_NDIM(a) != 1) throw nb::value_error((std::string(name) + " must be one-dimensional").c_str());
    // Cast (and made contiguous and aligned) where it must be; copied once.
    nb::object doubles = nb::steal(PyArray_FromArray(a, PyArray_DescrFromType(NPY_DOUBLE),
                                                     NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
    if (!doubles.is_valid()) throw nb::python_error();
    auto* d = reinterpret_cast<PyArrayObject*>(doubles.ptr());
    const auto* data = static_cast<const double*>(PyArray_DATA(d));
    return std::vector<double>(data, data + PyArray_DIM(d, 0));
}

namespace {

Law law_of(nb::handle law_obj) {
    if (!PyUnicode_Check(law_obj.ptr())) {
        throw nb::type_error(("law must be a str, not " + class_name(law_obj)).c_str());
    }
    const auto law = parse_law(text(law_obj));
    if (!law) throw nb::value_error(law.error().message.c_str());
    return *law;
}

void check_sequence(nb::handle coefficients) {
    if (PyUnicode_Check(coefficients.ptr()) || PyBytes_Check(coefficients.ptr()) ||
        !PySequence_Check(coefficients.ptr())) {
        throw nb::type_error(("coefficients must be a sequence, not " + class_name(coefficients)).c_str());
    }
}

// The profile made last on this thread, by its law and coefficients' bits:
// a fit calling point by point with the same coefficients makes it once
// (making one takes about a fifth of a call of two floats, its brightness
// and far-field moments, and most of the fixed cost of a table's call).
struct LastProfile {
    Law law = Law::uniform;
    std::vector<double> values;
    std::optional<Profile> profile;
};
struct LastTable {
    std::vector<double> nodes, levels;
    std::optional<Profile> profile;
};

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

Profile table_profile(nb::handle coefficients) {
    const Py_ssize_t n = PySequence_Size(coefficients.ptr());
    if (n < 0) throw nb::python_error();
    if (n != 2) {
        throw nb::value_error(("law 'tabulated' takes 2 coefficients (mu_nodes, intensities), got " +
                               std::to_string(n)).c_str());
    }
    nb::object mu = nb::steal(PySequence_GetItem(coefficients.ptr(), 0));
    if (!mu.is_valid()) throw nb::python_error();
    nb::object intensity = nb::steal(PySequence_GetItem(coefficients.ptr(), 1));
    if (!intensity.is_valid()) throw nb::python_error();
    auto nodes = real_vector(mu, "mu_nodes");
    auto levels = real_vector(intensity, "intensities");
    // As for the analytic laws below: the table made last on this thread.
    thread_local LastTable last;
    if (last.profile && same_bits(last.nodes, nodes) && same_bits(last.levels, levels)) return *last.profile;
    auto profile = Profile::tabulated(nodes, levels);
    if (!profile) throw nb::value_error(profile.error().message.c_str());
    last.profile = *profile;
    last.nodes = std::move(nodes);
    last.levels = std::move(levels);
    return *std::move(profile);
}

Profile analytic_profile(Law law, nb::handle coefficients) {
    const auto values = real_vector(coefficients, "coefficients");
    thread_local LastProfile last;
    if (last.profile && last.law == law && same_bits(last.values, values)) return *last.profile;
    auto profile = Profile::analytic(law, values);
    if (!profile) throw nb::value_error(profile.error().message.c_str());
    last.profile = *profile;
    last.law = law;
    last.values = values;
    return *std::move(profile);
}

// An item that holds coefficients per entry: an array of one or more
// dimensions, or a (nested) list or tuple.
bool per_entry(PyObject* item) {
    if (PyArray_Check(item)) return PyArray_NDIM(reinterpret_cast<PyArrayObject*>(item)) > 0;
    return PyList_Check(item) || PyTuple_Check(item);
}

}  // namespace

Coefficients parse_coefficients(nb::handle law_obj, nb::handle coefficients) {
    const Law law = law_of(law_obj);
    check_sequence(coefficients);
    if (law == Law::tabulated) return {law, table_profile(coefficients), {}};
    // A sequence (not an array: a 1-d array is the coefficients themselves)
    // with an item per coefficient, one of them holding values per entry.
    if (!PyArray_Check(coefficients.ptr())) {
        nb::object items = nb::steal(PySequence_Tuple(coefficients.ptr()));
        if (!items.is_valid()) throw nb::python_error();
        const Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());
        bool arrays = false;
        for (Py_ssize_t i = 0; i < n; ++i) arrays = arrays || per_entry(PyTuple_GET_ITEM(items.ptr(), i));
        if (arrays) {
            if (auto wrong = count_error(law, static_cast<std::size_t>(n))) throw nb::value_error(wrong->message.c_str());
            Coefficients out{law, std::nullopt, {}};
            for (Py_ssize_t i = 0; i < n; ++i) out.arrays.push_back(real_array(PyTuple_GET_ITEM(items.ptr(), i), "coefficients"));
            return out;
        }
        return {law, analytic_profile(law, items), {}};
    }
    return {law, analytic_profile(law, coefficients), {}};
}

bool flag(nb::handle obj, const char* name) {
    if (PyBool_Check(obj.ptr()) || PyArray_IsScalar(obj.ptr(), Bool)) {
        const int truth = PyObject_IsTrue(obj.ptr());
        if (truth < 0) throw nb::python_error();
        return truth != 0;
    }
    throw nb::type_error((std::string(name) + " must be a bool, not " + class_name(obj)).c_str());
}

}  // namespace kelvora::fspl::binding
