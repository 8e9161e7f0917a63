// kelvora_fspl: the flux-weighted magnification of a limb-darkened source
// star by a point lens, numpy arrays in and out.
//
// The binding only converts and checks: array-likes become float64 arrays
// (numpy's asarray) broadcast against each other (numpy's rules), the law and
// its coefficients become a Profile (fspl/core/profile.hpp), and every value
// is checked before anything is computed, so a bad argument raises and leaves
// nothing behind.  The loop then runs without the GIL, touching no Python
// object; the module holds no mutable state and declares that it runs
// without the GIL (free-threaded CPython).
//
// Errors: TypeError for what is not a number (or a str law); ValueError for a
// number out of its domain, an unknown law, the wrong coefficients, a profile
// that is negative or dark; numpy's ValueError for shapes that do not
// broadcast.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "fspl/core/magnification.hpp"
#include "fspl/core/profile.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using kelvora::fspl::Law;
using kelvora::fspl::Profile;

using ReadArray = nb::ndarray<const double, nb::numpy, nb::ro>;
using WriteArray = nb::ndarray<double, nb::numpy, nb::c_contig>;

std::string repr(double x) {
    return nb::cast<std::string>(nb::repr(nb::float_(x)));
}

// str(obj) as UTF-8, with unencodable characters escaped (a str law may hold
// lone surrogates).
std::string text(nb::handle obj) {
    nb::object s = nb::steal(PyObject_Str(obj.ptr()));
    if (!s.is_valid()) throw nb::python_error();
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        nb::object ascii = nb::steal(PyObject_ASCII(s.ptr()));
        if (!ascii.is_valid()) throw nb::python_error();
        std::string quoted = nb::cast<std::string>(ascii);
        return quoted.size() >= 2 ? quoted.substr(1, quoted.size() - 2) : quoted;
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::string class_name(nb::handle obj) {
    return text(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).attr("__name__"));
}

[[noreturn]] void not_real(const char* name, const std::string& what) {
    throw nb::type_error((std::string(name) + " must be a real number or an array of real numbers, not " + what).c_str());
}

// obj as a float64 ndarray.  Booleans, integers and floats are accepted as
// numpy converts them; objects that are numbers (Fraction, Decimal, numpy
// scalars, anything with __float__ or __index__) through float(), whose own
// exceptions reach the caller unchanged; strings, bytes, None, complex
// numbers and the like are a TypeError.
nb::object as_float_array(nb::handle obj, const char* name) {
    nb::module_ np = nb::module_::import_("numpy");
    nb::object array;
    try {
        array = np.attr("asarray")(obj);
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError)) {
            // Ragged nesting and the like.
            throw nb::type_error((std::string(name) + " must be a real number or an array of real numbers (" +
                                  e.what() + ")").c_str());
        }
        throw;
    }
    const std::string kind = text(array.attr("dtype").attr("kind"));
    if (kind == "f" || kind == "i" || kind == "u" || kind == "b") {
        return np.attr("asarray")(array, "dtype"_a = np.attr("float64"));
    }
    const bool scalar = nb::cast<std::size_t>(array.attr("ndim")) == 0;
    if (kind == "O") {
        // Element by element: numpy's own conversion would take None for NaN
        // and parse strings.
        nb::object out = np.attr("empty")(array.attr("shape"), "dtype"_a = np.attr("float64"));
        auto target = nb::cast<nb::ndarray<double, nb::numpy, nb::c_contig>>(out);
        double* data = target.data();
        std::size_t i = 0;
        for (nb::handle item : array.attr("flat")) {
            if (!PyNumber_Check(item.ptr()) || PyUnicode_Check(item.ptr()) || PyBytes_Check(item.ptr())) {
                not_real(name, scalar ? class_name(item) : "an array holding " + class_name(item));
            }
            const double value = PyFloat_AsDouble(item.ptr());
            if (value == -1.0 && PyErr_Occurred()) throw nb::python_error();
            data[i++] = value;
        }
        return out;
    }
    not_real(name, scalar ? class_name(obj) : "an array of dtype " + text(array.attr("dtype")));
}

// The strided elements of a broadcast view, in C order.
class Elements {
public:
    explicit Elements(const ReadArray& a) : data_(a.data()), ndim_(a.ndim()), shape_(ndim_), stride_(ndim_), index_(ndim_, 0) {
        for (std::size_t d = 0; d < ndim_; ++d) {
            shape_[d] = static_cast<std::ptrdiff_t>(a.shape(d));
            stride_[d] = a.stride(d);  // in elements
        }
    }
    double next() noexcept {
        const double value = data_[offset_];
        for (std::size_t d = ndim_; d-- > 0;) {
            offset_ += stride_[d];
            if (++index_[d] < shape_[d]) break;
            offset_ -= stride_[d] * shape_[d];
            index_[d] = 0;
        }
        return value;
    }

private:
    const double* data_;
    std::size_t ndim_;
    std::vector<std::ptrdiff_t> shape_, stride_, index_;
    std::ptrdiff_t offset_ = 0;
};

std::vector<double> as_vector(nb::handle obj, const char* name) {
    nb::object array = as_float_array(obj, name);
    if (nb::cast<std::size_t>(array.attr("ndim")) != 1) {
        throw nb::value_error((std::string(name) + " must be one-dimensional").c_str());
    }
    auto view = nb::cast<ReadArray>(array);
    std::vector<double> out(view.shape(0));
    Elements elements(view);
    for (double& x : out) x = elements.next();
    return out;
}

Profile make_profile(nb::handle law_obj, nb::handle coefficients) {
    if (!nb::isinstance<nb::str>(law_obj)) {
        throw nb::type_error(("law must be a str, not " + class_name(law_obj)).c_str());
    }
    const auto law = kelvora::fspl::parse_law(text(law_obj));
    if (!law) throw nb::value_error(law.error().message.c_str());
    if (nb::isinstance<nb::str>(coefficients) || nb::isinstance<nb::bytes>(coefficients) ||
        !PySequence_Check(coefficients.ptr())) {
        throw nb::type_error(("coefficients must be a sequence, not " + class_name(coefficients)).c_str());
    }
    if (*law == Law::tabulated) {
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
        const auto nodes = as_vector(mu, "mu_nodes");
        const auto levels = as_vector(intensity, "intensities");
        auto profile = Profile::tabulated(nodes, levels);
        if (!profile) throw nb::value_error(profile.error().message.c_str());
        return *profile;
    }
    const auto values = as_vector(coefficients, "coefficients");
    auto profile = Profile::analytic(*law, values);
    if (!profile) throw nb::value_error(profile.error().message.c_str());
    return *profile;
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
    (mu_nodes, intensities) for 'tabulated'.

Returns
-------
numpy.ndarray
    float64, of the broadcast shape of u and rho (0-d for scalars).
    Relative accuracy 1e-12 for the uniform disk, 1e-9 for every law.

Raises
------
ValueError
    u < 0; rho <= 0 or not finite; an unknown law; the wrong number of
    coefficients, or coefficients that are not finite or make I negative
    somewhere on the disk (or zero everywhere); a bad table.
TypeError
    An argument that is not a real number (or array of them), a law that
    is not a str, coefficients that are not a sequence.
)";

// The arguments of both functions, converted and checked: u and rho
// broadcast to one shape, the profile made.  Every value is checked before
// anything is computed (each argument's own values, so that a bad one is
// reported even where broadcasting leaves nothing to compute).
struct Arguments {
    nb::object shape;
    ReadArray u, rho;
    Profile profile;
};

Arguments prepare(nb::handle u_obj, nb::handle rho_obj, nb::handle law_obj, nb::handle coefficients) {
    nb::module_ np = nb::module_::import_("numpy");
    nb::object u_array = as_float_array(u_obj, "u");
    nb::object rho_array = as_float_array(rho_obj, "rho");
    Profile profile = make_profile(law_obj, coefficients);
    {
        auto u = nb::cast<ReadArray>(u_array);
        Elements us(u);
        for (std::size_t i = 0; i < u.size(); ++i) {
            const double ui = us.next();
            if (ui < 0) throw nb::value_error(("u must be non-negative, got " + repr(ui)).c_str());
        }
        auto rho = nb::cast<ReadArray>(rho_array);
        Elements rhos(rho);
        for (std::size_t i = 0; i < rho.size(); ++i) {
            const double ri = rhos.next();
            if (!(ri > 0) || std::isinf(ri)) {
                throw nb::value_error(("rho must be positive and finite, got " + repr(ri)).c_str());
            }
        }
    }
    nb::object shape = np.attr("broadcast_shapes")(u_array.attr("shape"), rho_array.attr("shape"));
    auto u = nb::cast<ReadArray>(np.attr("broadcast_to")(u_array, shape));
    auto rho = nb::cast<ReadArray>(np.attr("broadcast_to")(rho_array, shape));
    return {shape, u, rho, std::move(profile)};
}

nb::object empty(const nb::object& shape) {
    nb::module_ np = nb::module_::import_("numpy");
    return np.attr("empty")(shape, "dtype"_a = np.attr("float64"));
}

nb::object magnification(nb::handle u_obj, nb::handle rho_obj, nb::handle law_obj, nb::handle coefficients) {
    const Arguments args = prepare(u_obj, rho_obj, law_obj, coefficients);
    const std::size_t n = args.u.size();
    nb::object result = empty(args.shape);
    double* target = nb::cast<WriteArray>(result).data();
    {
        nb::gil_scoped_release released;
        Elements us(args.u), rhos(args.rho);
        for (std::size_t i = 0; i < n; ++i) {
            const double ui = us.next();
            target[i] = kelvora::fspl::magnification(ui, rhos.next(), args.profile);
        }
    }
    return result;
}

constexpr const char* GRADIENT_DOC = R"(The magnification with its derivatives, for fitting.

Returns (A, dA_du, dA_drho), three float64 arrays of the broadcast shape of
u and rho; with coefficients_gradient=True, also one array per
coefficient: dA/du1 (linear), dA/du1 and dA/du2 (quadratic), dA/dc and
dA/dd (square-root), dA/dc and dA/dalpha (power-2), and for 'tabulated'
dA/dI_j for each intensity I_j as given (the nodes are held fixed).  A
uniform disk has no coefficients.

Arguments and errors are those of magnification(), and A is bit for bit
what magnification() returns.  The derivatives are exact up to rounding
and quadrature: relative accuracy 1e-8 for rho <= 10 (for larger sources,
where A - 1 ~ 2/rho^2, between u = 0.05 rho and 4 rho the u- and
rho-derivatives are accurate to 1e-16/rho absolutely).

At u = rho, where the lens sits on the limb, dA/du and dA/drho diverge
like ln|u - rho| when the limb is bright: dA_du = -inf and dA_drho = +inf
there (the limits from both sides).  A dark limb (I = 0 at mu = 0, e.g.
linear with u1 = 1) makes them finite; the value given is then the limit
from inside (u -> rho-).  dA/du is 0 at u = 0.
)";

nb::object magnification_and_gradient(nb::handle u_obj, nb::handle rho_obj, nb::handle law_obj,
                                      nb::handle coefficients, bool coefficients_gradient) {
    const Arguments args = prepare(u_obj, rho_obj, law_obj, coefficients);
    const std::size_t n = args.u.size();
    const std::size_t count = coefficients_gradient ? static_cast<std::size_t>(args.profile.gradient_count()) : 0;
    std::vector<nb::object> arrays;
    std::vector<double*> targets;
    for (std::size_t k = 0; k < 3 + count; ++k) {
        arrays.push_back(empty(args.shape));
        targets.push_back(nb::cast<WriteArray>(arrays.back()).data());
    }
    {
        nb::gil_scoped_release released;
        const std::optional<kelvora::fspl::CoefficientTerms> terms =
            count > 0 ? std::optional<kelvora::fspl::CoefficientTerms>(args.profile) : std::nullopt;
        std::vector<double> dc(count);
        Elements us(args.u), rhos(args.rho);
        for (std::size_t i = 0; i < n; ++i) {
            const double ui = us.next();
            const auto g = kelvora::fspl::magnification_gradient(ui, rhos.next(), args.profile,
                                                                 terms ? &*terms : nullptr, dc);
            targets[0][i] = g.value;
            targets[1][i] = g.du;
            targets[2][i] = g.drho;
            for (std::size_t k = 0; k < count; ++k) targets[3 + k][i] = dc[k];
        }
    }
    nb::list out;
    for (auto& a : arrays) out.append(a);
    return nb::tuple(out);
}

}  // namespace

NB_MODULE(kelvora_fspl, m) {
    m.doc() =
        "Finite source, point lens: the flux-weighted magnification of a limb-darkened\n"
        "source star by a single point-mass lens, numpy arrays in and out.";
    m.attr("__version__") = KELVORA_VERSION;
    m.attr("LAWS") = nb::make_tuple("uniform", "linear", "quadratic", "square-root", "power-2", "tabulated");
    m.def("magnification", &magnification, "u"_a, "rho"_a, "law"_a = "uniform", "coefficients"_a = nb::tuple(),
          nb::sig("def magnification(u: numpy.typing.ArrayLike, rho: numpy.typing.ArrayLike, "
                  "law: str = 'uniform', coefficients: collections.abc.Sequence[typing.Any] | "
                  "numpy.typing.NDArray[typing.Any] = ()) "
                  "-> numpy.typing.NDArray[numpy.float64]"),
          MAGNIFICATION_DOC);
    m.def("magnification_and_gradient", &magnification_and_gradient, "u"_a, "rho"_a, "law"_a = "uniform",
          "coefficients"_a = nb::tuple(), nb::kw_only(), "coefficients_gradient"_a = false,
          nb::sig("def magnification_and_gradient(u: numpy.typing.ArrayLike, rho: numpy.typing.ArrayLike, "
                  "law: str = 'uniform', coefficients: collections.abc.Sequence[typing.Any] | "
                  "numpy.typing.NDArray[typing.Any] = (), *, coefficients_gradient: bool = False) "
                  "-> tuple[numpy.typing.NDArray[numpy.float64], ...]"),
          GRADIENT_DOC);
}
