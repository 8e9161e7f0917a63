// kelvora_fspl: the flux-weighted magnification of a limb-darkened source
// star by a point lens, numpy arrays in and out.
//
// The arguments become numpy arrays (convert.hpp) and a Profile, or, for
// coefficients given per entry, arrays of them; numpy's iterator (NpyIter)
// then broadcasts u, rho and those against each other, casts what is not
// float64 and aligns what is not aligned, in C order and in chunks.  The loop runs
// detached from the interpreter (detached.hpp), touching no Python object:
// each chunk of the operands is copied into the loop's own buffers, checked
// there and computed on from there, so that what is checked is what is
// computed on, whatever another thread or process writes into the caller's
// arrays meanwhile.  A bad value ends the call with a ValueError, Ctrl-C with
// KeyboardInterrupt; the outputs, allocated before the loop, are then
// dropped: nothing half-done is returned.  As numpy's ufuncs do, a result
// of shape () is a numpy float64 scalar.  The module holds no mutable state
// and declares that it runs without the GIL (free-threaded CPython).
#define KELVORA_FSPL_IMPORTS_NUMPY
#include "fspl/binding/numpy_api.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "fspl/binding/convert.hpp"
#include "fspl/binding/detached.hpp"
#include "fspl/core/magnification.hpp"
#include "fspl/core/profile.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using kelvora::fspl::Accuracy;
using kelvora::fspl::CoefficientTerms;
using kelvora::fspl::Law;
using kelvora::fspl::Profile;
using kelvora::fspl::binding::Detached;
using kelvora::fspl::binding::Interrupts;

// The thread that handles signals: the main thread of the main interpreter
// (set when the module is first imported there).
std::atomic<unsigned long> main_thread_ident{0};

bool handles_signals() {
    return PyInterpreterState_Get() == PyInterpreterState_Main() &&
           PyThread_get_thread_ident() == main_thread_ident.load(std::memory_order_relaxed);
}

std::string repr(double x) {
    nb::object r = nb::steal(PyObject_Repr(nb::float_(x).ptr()));
    if (!r.is_valid()) throw nb::python_error();
    return nb::cast<std::string>(r);
}

// The domains of u and rho; NaN u is a NaN result, not an error.
bool bad_u(double u) noexcept { return u < 0; }
bool bad_rho(double rho) noexcept { return !(rho > 0) || std::isinf(rho); }

[[noreturn]] void domain_error(bool is_u, double value) {
    throw nb::value_error(((is_u ? "u must be non-negative, got " : "rho must be positive and finite, got ") +
                           repr(value)).c_str());
}

PyArrayObject* as_array(const nb::object& obj) { return reinterpret_cast<PyArrayObject*>(obj.ptr()); }

std::string shape_text(PyArrayObject* a) {
    std::string s = "(";
    for (int d = 0; d < PyArray_NDIM(a); ++d) {
        if (d > 0) s += ", ";
        s += std::to_string(PyArray_DIM(a, d));
    }
    return s + (PyArray_NDIM(a) == 1 ? ",)" : ")");
}

// The broadcast shape of u and rho (numpy's rules).
struct Shape {
    int ndim = 0;
    std::array<npy_intp, NPY_MAXDIMS> dims{};
    npy_intp size = 1;
};

// The broadcast shape of the operands (numpy's rules); `names` says what
// they are, for the message.
Shape broadcast(std::span<PyArrayObject* const> ops, const char* names) {
    Shape shape;
    for (PyArrayObject* a : ops) shape.ndim = std::max(shape.ndim, PyArray_NDIM(a));
    for (int d = 0; d < shape.ndim; ++d) {
        npy_intp size = 1;
        for (PyArrayObject* a : ops) {
            const int da = d - (shape.ndim - PyArray_NDIM(a));
            const npy_intp n = da >= 0 ? PyArray_DIM(a, da) : 1;
            if (n != 1 && size != 1 && n != size) {
                std::string shapes;
                for (std::size_t k = 0; k < ops.size(); ++k)
                    shapes += (k == 0 ? "" : k + 1 == ops.size() ? " and " : ", ") + shape_text(ops[k]);
                throw nb::value_error((std::string(names) + " do not broadcast together: shapes " + shapes).c_str());
            }
            if (n != 1) size = n;
        }
        shape.dims[static_cast<std::size_t>(d)] = size;
    }
    // The size, or 0 for an empty broadcast; numpy refuses overflowing
    // shapes when the outputs are allocated.
    for (int d = 0; d < shape.ndim; ++d) {
        const npy_intp n = shape.dims[static_cast<std::size_t>(d)];
        if (n == 0) return shape.size = 0, shape;
        shape.size = shape.size > NPY_MAX_INTP / n ? NPY_MAX_INTP : shape.size * n;
    }
    return shape;
}

// Where the broadcast is empty, nothing is computed, and each argument's own
// values are checked instead (each distinct one once: a dimension of stride
// 0 is read at its first index only).
void check_each_value(PyArrayObject* a, bool is_u) {
    std::array<npy_intp, NPY_MAXDIMS> dims{};
    for (int d = 0; d < PyArray_NDIM(a); ++d) {
        const npy_intp n = PyArray_DIM(a, d);
        dims[static_cast<std::size_t>(d)] = PyArray_STRIDE(a, d) == 0 && n > 1 ? 1 : n;
    }
    Py_INCREF(PyArray_DESCR(a));
    nb::object distinct = nb::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DESCR(a), PyArray_NDIM(a), dims.data(),
                                                         PyArray_STRIDES(a), PyArray_DATA(a), 0, nullptr));
    if (!distinct.is_valid()) throw nb::python_error();
    Py_INCREF(a);
    if (PyArray_SetBaseObject(as_array(distinct), reinterpret_cast<PyObject*>(a)) < 0) throw nb::python_error();
    nb::object values = nb::steal(PyArray_FromArray(as_array(distinct), PyArray_DescrFromType(NPY_DOUBLE),
                                                    NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST | NPY_ARRAY_ENSURECOPY));
    if (!values.is_valid()) throw nb::python_error();
    const auto* data = static_cast<const double*>(PyArray_DATA(as_array(values)));
    const npy_intp n = PyArray_SIZE(as_array(values));
    for (npy_intp i = 0; i < n; ++i) {
        if (is_u ? bad_u(data[i]) : bad_rho(data[i])) domain_error(is_u, data[i]);
    }
}

// Outputs of the broadcast shape, allocated before anything is computed.
nb::object new_output(const Shape& shape) {
    nb::object out = nb::steal(PyArray_SimpleNew(shape.ndim, const_cast<npy_intp*>(shape.dims.data()), NPY_DOUBLE));
    if (!out.is_valid()) throw nb::python_error();
    return out;
}

double* data_of(const nb::object& array) { return static_cast<double*>(PyArray_DATA(as_array(array))); }

// An output as returned: the array, or for shape () a numpy float64 scalar.
nb::object result(nb::object array) {
    if (PyArray_NDIM(as_array(array)) != 0) return array;
    return nb::steal(PyArray_Return(reinterpret_cast<PyArrayObject*>(array.release().ptr())));
}

nb::object float64_scalar(double value) {
    PyObject* scalar = PyArrayScalar_New(Double);
    if (scalar == nullptr) throw nb::python_error();
    PyArrayScalar_ASSIGN(scalar, Double, value);
    return nb::steal(scalar);
}

struct IteratorDeleter {
    void operator()(NpyIter* iter) const noexcept { NpyIter_Deallocate(iter); }
};

// Elements per chunk: the loop's own copies of the operands (8 KiB each).
constexpr npy_intp CHUNK = 1024;
// u, rho and at most two coefficients.
constexpr std::size_t MAX_OPERANDS = 4;

// kernel(i, values) for the entries of the broadcast of the operands (u,
// rho and any per-entry coefficients), in C order (i the flat index into a
// C-ordered output), values[k] operand k's value there, u and rho checked
// before anything is computed on them.  The kernel returns false to stop
// (its own error, raised by `fail`).  Runs detached; a bad value or a
// signal ends it with the exception raised.
template <class Kernel, class Fail>
void sweep(std::span<PyArrayObject* const> operands, Kernel&& kernel, Fail&& fail) {
    const std::size_t count = operands.size();
    std::array<PyArrayObject*, MAX_OPERANDS> ops{};
    std::array<npy_uint32, MAX_OPERANDS> op_flags{};
    std::array<PyArray_Descr*, MAX_OPERANDS> dtypes{};
    PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);
    for (std::size_t k = 0; k < count; ++k) {
        ops[k] = operands[k];
        op_flags[k] = NPY_ITER_READONLY | NPY_ITER_ALIGNED;
        dtypes[k] = float64;
    }
    std::unique_ptr<NpyIter, IteratorDeleter> iter(NpyIter_AdvancedNew(
        static_cast<int>(count), ops.data(), NPY_ITER_EXTERNAL_LOOP | NPY_ITER_BUFFERED | NPY_ITER_ZEROSIZE_OK,
        NPY_CORDER, NPY_SAME_KIND_CASTING, op_flags.data(), dtypes.data(), -1, nullptr, nullptr, CHUNK));
    Py_DECREF(float64);
    if (!iter) throw nb::python_error();
    if (NpyIter_IterationNeedsAPI(iter.get())) throw std::logic_error("kelvora_fspl: a float64 cast needs the interpreter");
    NpyIter_IterNextFunc* next = NpyIter_GetIterNext(iter.get(), nullptr);
    if (next == nullptr) throw nb::python_error();
    char** data = NpyIter_GetDataPtrArray(iter.get());
    const npy_intp* strides = NpyIter_GetInnerStrideArray(iter.get());
    const npy_intp* inner = NpyIter_GetInnerLoopSizePtr(iter.get());

    std::optional<std::pair<bool, double>> bad;  // (is u, value) of the first bad entry
    bool interrupted = false, stopped = false;
    {
        Interrupts interrupts(handles_signals());
        Detached detached;
        std::array<std::array<double, CHUNK>, MAX_OPERANDS> buffers;
        std::array<const char*, MAX_OPERANDS> at{};
        std::size_t index = 0;
        do {
            for (std::size_t k = 0; k < count; ++k) at[k] = data[k];
            for (npy_intp left = *inner; left > 0;) {
                const npy_intp n = std::min(left, CHUNK);
                const auto m = static_cast<std::size_t>(n);
                for (std::size_t k = 0; k < count; ++k) {
                    for (npy_intp e = 0; e < n; ++e)
                        std::memcpy(&buffers[k][static_cast<std::size_t>(e)], at[k] + e * strides[k], sizeof(double));
                    at[k] += n * strides[k];
                }
                for (std::size_t e = 0; e < m && !bad; ++e) {
                    if (bad_u(buffers[0][e])) bad.emplace(true, buffers[0][e]);
                    else if (bad_rho(buffers[1][e])) bad.emplace(false, buffers[1][e]);
                }
                if (bad) break;
                if constexpr (requires { kernel.block(index, buffers[0].data(), buffers[1].data(), m); }) {
                    // A kernel that takes the chunk at once (u and rho only).
                    kernel.block(index, buffers[0].data(), buffers[1].data(), m);
                    interrupted = interrupts.step(detached);
                } else {
                    std::array<double, MAX_OPERANDS> values{};
                    for (std::size_t e = 0; e < m && !stopped && !interrupted; ++e) {
                        for (std::size_t k = 0; k < count; ++k) values[k] = buffers[k][e];
                        stopped = !kernel(index + e, values.data());
                        interrupted = !stopped && interrupts.step(detached);
                    }
                }
                if (stopped || interrupted) break;
                index += m;
                left -= n;
            }
        } while (!bad && !stopped && !interrupted && next(iter.get()));
    }
    if (interrupted) throw nb::python_error();
    if (bad) domain_error(bad->first, bad->second);
    if (stopped) fail();
    if (PyErr_Occurred()) throw nb::python_error();
}

// The profiles of per-entry coefficients, the four most recently used kept
// (entries broadcast along bands reuse them in turn), each with the terms
// of its coefficient derivatives when asked for.  Used by the loop only.
class Profiles {
public:
    struct Entry {
        std::array<double, 2> key{};
        std::optional<Profile> profile;
        std::optional<CoefficientTerms> terms;
        std::uint64_t used = 0;
    };

    Profiles(Law law, std::size_t count, bool terms) : law_(law), count_(count), terms_(terms) {}

    // The entry of these coefficients, or nullptr with error() set.
    const Entry* get(const double* c) noexcept {
        for (Entry& entry : entries_) {
            if (entry.used > 0 && std::equal(c, c + count_, entry.key.begin())) {
                entry.used = ++clock_;
                return &entry;
            }
        }
        Entry& slot = *std::min_element(entries_.begin(), entries_.end(),
                                        [](const Entry& a, const Entry& b) { return a.used < b.used; });
        try {
            auto made = Profile::analytic(law_, std::span<const double>(c, count_));
            if (!made) {
                error_ = made.error().message;
                return nullptr;
            }
            slot.terms.reset();
            slot.profile.emplace(*std::move(made));
            if (terms_) slot.terms.emplace(*slot.profile);
        } catch (const std::bad_alloc&) {
            error_ = "out of memory";
            return nullptr;
        }
        std::copy(c, c + count_, slot.key.begin());
        slot.used = ++clock_;
        return &slot;
    }
    const std::string& error() const noexcept { return error_; }

private:
    Law law_;
    std::size_t count_;
    bool terms_;
    std::array<Entry, 4> entries_{};
    std::uint64_t clock_ = 0;
    std::string error_;
};

// The arguments of both functions: u, rho and any per-entry coefficients
// as arrays castable to float64, with their broadcast shape, and the law's
// profile when its coefficients are the same for every entry.  Where the
// broadcast is empty u and rho are checked here (per-entry coefficients
// form no profile there, and are not); otherwise the loop checks each value
// as it reads it.
struct Arguments {
    std::vector<nb::object> operands;  // u, rho, coefficients
    Shape shape;
    kelvora::fspl::binding::Coefficients coefficients;

    std::vector<PyArrayObject*> arrays() const {
        std::vector<PyArrayObject*> out;
        for (const nb::object& o : operands) out.push_back(as_array(o));
        return out;
    }
};

Arguments prepare(nb::handle u_obj, nb::handle rho_obj, nb::handle law, nb::handle coefficients,
                  std::optional<kelvora::fspl::binding::Coefficients> made = std::nullopt) {
    std::vector<nb::object> operands{kelvora::fspl::binding::real_array(u_obj, "u"),
                                     kelvora::fspl::binding::real_array(rho_obj, "rho")};
    auto parsed = made ? *std::move(made) : kelvora::fspl::binding::parse_coefficients(law, coefficients);
    for (nb::object& array : parsed.arrays) operands.push_back(std::move(array));
    parsed.arrays.clear();
    std::vector<PyArrayObject*> arrays;
    for (const nb::object& o : operands) arrays.push_back(as_array(o));
    const Shape shape = broadcast(arrays, arrays.size() == 2 ? "u and rho" : "u, rho and coefficients");
    if (shape.size == 0) {
        check_each_value(arrays[0], true);
        check_each_value(arrays[1], false);
    }
    return {std::move(operands), shape, std::move(parsed)};
}

void check_plain(double u, double rho) {
    if (bad_u(u)) domain_error(true, u);
    if (bad_rho(rho)) domain_error(false, rho);
}

// Two Python floats: checked and computed directly, with the GIL held, for
// an analytic law or a table of at most SMALL_TABLE segments (a point of a
// large table may take long enough to want it released, and Ctrl-C
// answered: about 1 us per segment with the lens on the source).  The
// coefficients are parsed into made either way, for the arrays' path to
// take over where this one does not serve.
constexpr std::size_t SMALL_TABLE = 16;

std::optional<std::array<double, 2>> direct_floats(nb::handle u, nb::handle rho, nb::handle law,
                                                   nb::handle coefficients,
                                                   std::optional<kelvora::fspl::binding::Coefficients>& made) {
    if (!PyFloat_CheckExact(u.ptr()) || !PyFloat_CheckExact(rho.ptr())) return std::nullopt;
    made = kelvora::fspl::binding::parse_coefficients(law, coefficients);
    if (!made->profile || (made->law == Law::tabulated && made->profile->segment_rises().size() > SMALL_TABLE))
        return std::nullopt;
    const std::array<double, 2> values{PyFloat_AS_DOUBLE(u.ptr()), PyFloat_AS_DOUBLE(rho.ptr())};
    check_plain(values[0], values[1]);
    return values;
}

// The accuracy of the tolerance argument: a real number (not a bool) in
// [1e-9, 1).
Accuracy accuracy_of(nb::handle tolerance) {
    PyObject* t = tolerance.ptr();
    double value = 0.0;
    if (PyFloat_CheckExact(t)) {
        value = PyFloat_AS_DOUBLE(t);
    } else {
        const bool real = (PyFloat_Check(t) || PyLong_Check(t) || PyArray_IsScalar(t, Floating) ||
                           PyArray_IsScalar(t, Integer)) && !PyBool_Check(t);
        if (!real) {
            const std::string name =
                kelvora::fspl::binding::text(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(t))).attr("__name__"));
            throw nb::type_error(("tolerance must be a real number, not " + name).c_str());
        }
        value = PyFloat_AsDouble(t);
        if (value == -1.0 && PyErr_Occurred()) throw nb::python_error();
    }
    auto accuracy = Accuracy::of(value);
    if (!accuracy) throw nb::value_error(accuracy.error().message.c_str());
    return *accuracy;
}


constexpr const char* MAGNIFICATION_DOC = R"(Flux-weighted point-lens magnification of a limb-darkened source star.

A = integral(I A0) / integral(I) over the source disk, with
A0(x) = (x^2 + 2)/(x sqrt(x^2 + 4)) the point-lens magnification.

Parameters
----------
u : array_like
    Lens-source separations, in Einstein radii (>= 0; NaN gives NaN).
rho : array_like
    Source radius, in Einstein radii (> 0, finite).  Broadcast against u.
law : str
    'uniform', 'linear', 'quadratic', 'square-root', 'power-2' or
    'tabulated'.  With mu = sqrt(1 - r^2), r in source radii:
    linear I = 1 - u1 (1 - mu); quadratic I = 1 - u1 (1 - mu) - u2 (1 - mu)^2;
    square-root I = 1 - c (1 - mu) - d (1 - sqrt(mu));
    power-2 I = 1 - c (1 - mu^alpha), 0.1 <= alpha <= 10; tabulated: I
    linear in mu between nodes rising strictly within [0, 1], constant
    beyond the first and last.
coefficients : sequence
    () for 'uniform', (u1,), (u1, u2), (c, d), (c, alpha), or
    (mu_nodes, intensities) for 'tabulated'.  For an analytic law each
    coefficient may also be an array, broadcast against u and rho, each
    entry with its own profile (one call for many bands: (u1_per_band,)).
tolerance : float, optional
    Relative accuracy asked of A, from 1e-9 (the default, the most
    accurate) up to below 1: |A/A_true - 1| <= tolerance for every law,
    every rho in [1e-6, 1e3] and every u >= 0.  Small sources of the
    linear, quadratic and square-root laws (rho up to 0.064 at the default,
    0.2 at 1e-4) take a series in rho with tabulated moments, three to six
    times faster than the quadrature; otherwise a looser tolerance takes
    fewer quadrature nodes, and the far-field series from closer to the
    source.  The uniform disk is a closed form, accurate to 1e-12 at any
    tolerance.

Returns
-------
numpy.ndarray or numpy.float64
    float64, of the broadcast shape of u and rho; a numpy.float64 scalar
    where that shape is () (as numpy's ufuncs return).  Relative accuracy
    1e-12 for the uniform disk, the tolerance (1e-9 by default) for every
    law.

Raises
------
ValueError
    u < 0; rho <= 0 or not finite; u and rho that do not broadcast; an
    unknown law; the wrong number of coefficients, or coefficients that are
    not finite, beyond 1e6 in magnitude, or make I negative somewhere on the
    disk (or zero everywhere); a bad table; a tolerance below 1e-9, not
    below 1, or NaN.
TypeError
    An argument that is not a real number (or array of them), a law that
    is not a str, coefficients that are not a sequence, a tolerance that
    is not a real number.
OverflowError
    An int beyond the range of a double.
KeyboardInterrupt
    Ctrl-C during the call (answered within about 0.05 s); nothing is
    returned.
)";

constexpr const char* GRADIENT_DOC = R"(The magnification with its derivatives, for fitting.

Returns (A, dA_du, dA_drho), three float64 arrays of the broadcast shape of
u and rho (numpy.float64 scalars where it is ()); with
coefficients_gradient=True (a bool), also one array per
coefficient: dA/du1 (linear), dA/du1 and dA/du2 (quadratic), dA/dc and
dA/dd (square-root), dA/dc and dA/dalpha (power-2), and for 'tabulated'
dA/dI_j for each intensity I_j as given (the nodes are held fixed).  A
uniform disk has no coefficients.

Arguments and errors are those of magnification(), and A is bit for bit
what magnification() returns at the same tolerance.  The derivatives are
exact up to rounding and quadrature: relative accuracy 10 x tolerance
(1e-8 by default) for rho <= 100 at every u.  For larger sources, with
the lens closer than 4 Einstein radii outside the limb, where A - 1 ~
2/rho^2 and the derivatives are small differences of terms of size one,
the accuracy is absolute: 10 x tolerance times A/rho for the u- and
rho-derivatives, times A for the coefficients'.

At u = rho, where the lens sits on the limb, dA/du and dA/drho diverge
like ln|u - rho| when the limb is bright: dA_du = -inf and dA_drho = +inf
there (the limits from both sides).  A dark limb (I = 0 at mu = 0, e.g.
linear with u1 = 1) makes them finite; the value given is then the limit
from inside (u -> rho-).  dA/du is 0 at u = 0.
)";

nb::object magnification(nb::handle u_obj, nb::handle rho_obj, nb::handle law, nb::handle coefficients,
                         nb::handle tolerance) {
    const Accuracy accuracy = accuracy_of(tolerance);
    std::optional<kelvora::fspl::binding::Coefficients> made;
    if (const auto plain = direct_floats(u_obj, rho_obj, law, coefficients, made)) {
        const auto [u, rho] = *plain;
        return float64_scalar(kelvora::fspl::magnification(u, rho, *made->profile, accuracy));
    }
    const Arguments args = prepare(u_obj, rho_obj, law, coefficients, std::move(made));
    nb::object out = new_output(args.shape);
    if (args.shape.size > 0) {
        double* target = data_of(out);
        const auto arrays = args.arrays();
        if (args.coefficients.profile && args.coefficients.profile->law() == Law::uniform) {
            // The uniform disk a chunk at a time, its closed forms side by side.
            struct Chunks {
                const Profile& profile;
                Accuracy accuracy;
                double* target;
                void block(std::size_t index, const double* u, const double* rho, std::size_t n) const noexcept {
                    kelvora::fspl::magnification_points(u, rho, profile, accuracy, target + index, n);
                }
            };
            sweep(arrays, Chunks{*args.coefficients.profile, accuracy, target}, [] {});
        } else if (args.coefficients.profile) {
            const Profile& profile = *args.coefficients.profile;
            sweep(arrays, [&](std::size_t i, const double* v) noexcept {
                target[i] = kelvora::fspl::magnification(v[0], v[1], profile, accuracy);
                return true;
            }, [] {});
        } else {
            Profiles profiles(args.coefficients.law, arrays.size() - 2, false);
            sweep(arrays, [&](std::size_t i, const double* v) noexcept {
                const auto* entry = profiles.get(v + 2);
                if (entry == nullptr) return false;
                target[i] = kelvora::fspl::magnification(v[0], v[1], *entry->profile, accuracy);
                return true;
            }, [&] { throw nb::value_error(profiles.error().c_str()); });
        }
    }
    return result(std::move(out));
}

nb::object magnification_and_gradient(nb::handle u_obj, nb::handle rho_obj, nb::handle law,
                                      nb::handle coefficients, nb::handle coefficients_gradient_obj,
                                      nb::handle tolerance) {
    const bool coefficients_gradient =
        kelvora::fspl::binding::flag(coefficients_gradient_obj, "coefficients_gradient");
    const Accuracy accuracy = accuracy_of(tolerance);
    std::optional<kelvora::fspl::binding::Coefficients> made;
    if (const auto plain = direct_floats(u_obj, rho_obj, law, coefficients, made)) {
        // The same results as the arrays' path gives for shape (): a tuple
        // of numpy.float64.
        const auto [u, rho] = *plain;
        const Profile& profile = *made->profile;
        const std::size_t count = coefficients_gradient ? static_cast<std::size_t>(profile.gradient_count()) : 0;
        const std::optional<CoefficientTerms> terms =
            count > 0 ? std::optional<CoefficientTerms>(profile) : std::nullopt;
        std::vector<double> dc(count);
        const auto g =
            kelvora::fspl::magnification_gradient(u, rho, profile, terms ? &*terms : nullptr, dc, accuracy);
        nb::object tuple = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(3 + count)));
        if (!tuple.is_valid()) throw nb::python_error();
        const double parts[3] = {g.value, g.du, g.drho};
        for (std::size_t k = 0; k < 3 + count; ++k) {
            PyTuple_SET_ITEM(tuple.ptr(), static_cast<Py_ssize_t>(k),
                             float64_scalar(k < 3 ? parts[k] : dc[k - 3]).release().ptr());
        }
        return tuple;
    }
    const Arguments args = prepare(u_obj, rho_obj, law, coefficients, std::move(made));
    const auto arrays = args.arrays();
    const std::optional<Profile>& fixed = args.coefficients.profile;
    const std::size_t count =
        !coefficients_gradient ? 0
        : fixed                ? static_cast<std::size_t>(fixed->gradient_count())
                               : arrays.size() - 2;
    std::vector<nb::object> outputs;
    std::vector<double*> targets;
    for (std::size_t k = 0; k < 3 + count; ++k) {
        outputs.push_back(new_output(args.shape));
        targets.push_back(data_of(outputs.back()));
    }
    if (args.shape.size > 0) {
        std::vector<double> dc(count);
        auto store = [&](std::size_t i, const kelvora::fspl::Gradient& g) noexcept {
            targets[0][i] = g.value;
            targets[1][i] = g.du;
            targets[2][i] = g.drho;
            for (std::size_t k = 0; k < count; ++k) targets[3 + k][i] = dc[k];
        };
        if (fixed) {
            const std::optional<CoefficientTerms> terms =
                count > 0 ? std::optional<CoefficientTerms>(*fixed) : std::nullopt;
            sweep(arrays, [&](std::size_t i, const double* v) noexcept {
                store(i, kelvora::fspl::magnification_gradient(v[0], v[1], *fixed, terms ? &*terms : nullptr, dc,
                                                               accuracy));
                return true;
            }, [] {});
        } else {
            Profiles profiles(args.coefficients.law, arrays.size() - 2, count > 0);
            sweep(arrays, [&](std::size_t i, const double* v) noexcept {
                const auto* entry = profiles.get(v + 2);
                if (entry == nullptr) return false;
                store(i, kelvora::fspl::magnification_gradient(v[0], v[1], *entry->profile,
                                                               entry->terms ? &*entry->terms : nullptr, dc,
                                                               accuracy));
                return true;
            }, [&] { throw nb::value_error(profiles.error().c_str()); });
        }
    }
    nb::object tuple = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(outputs.size())));
    if (!tuple.is_valid()) throw nb::python_error();
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        PyTuple_SET_ITEM(tuple.ptr(), static_cast<Py_ssize_t>(k), result(std::move(outputs[k])).release().ptr());
    }
    return tuple;
}

}  // namespace

NB_MODULE(_core, m) {
    if (PyArray_ImportNumPyAPI() < 0) throw nb::python_error();
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) {
        nb::object ident = nb::module_::import_("threading").attr("main_thread")().attr("ident");
        main_thread_ident.store(nb::cast<unsigned long>(ident), std::memory_order_relaxed);
    }
    m.doc() =
        "Finite source, point lens: the flux-weighted magnification of a limb-darkened\n"
        "source star by a single point-mass lens, numpy arrays in and out.";
    m.attr("__version__") = KELVORA_VERSION;
    m.attr("LAWS") = nb::make_tuple("uniform", "linear", "quadratic", "square-root", "power-2", "tabulated");
    m.attr("DEFAULT_TOLERANCE") = kelvora::fspl::DEFAULT_TOLERANCE;
    m.def("magnification", &magnification, "u"_a.none(), "rho"_a.none(), "law"_a.none() = "uniform",
          "coefficients"_a.none() = nb::tuple(), nb::kw_only(),
          "tolerance"_a.none() = kelvora::fspl::DEFAULT_TOLERANCE,
          nb::sig("def magnification(u: numpy.typing.ArrayLike, rho: numpy.typing.ArrayLike, "
                  "law: str = 'uniform', coefficients: collections.abc.Sequence[typing.Any] | "
                  "numpy.typing.NDArray[typing.Any] = (), *, tolerance: float = 1e-09) "
                  "-> numpy.typing.NDArray[numpy.float64] | numpy.float64"),
          MAGNIFICATION_DOC);
    m.def("magnification_and_gradient", &magnification_and_gradient, "u"_a.none(), "rho"_a.none(),
          "law"_a.none() = "uniform", "coefficients"_a.none() = nb::tuple(), nb::kw_only(),
          "coefficients_gradient"_a.none() = false, "tolerance"_a.none() = kelvora::fspl::DEFAULT_TOLERANCE,
          nb::sig("def magnification_and_gradient(u: numpy.typing.ArrayLike, rho: numpy.typing.ArrayLike, "
                  "law: str = 'uniform', coefficients: collections.abc.Sequence[typing.Any] | "
                  "numpy.typing.NDArray[typing.Any] = (), *, coefficients_gradient: bool = False, "
                  "tolerance: float = 1e-09) "
                  "-> tuple[numpy.typing.NDArray[numpy.float64] | numpy.float64, ...]"),
          GRADIENT_DOC);
}
