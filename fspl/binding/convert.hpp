// Python arguments to what the core computes on, with the errors that name
// the argument.
//
//   TypeError     what is not a real number (str, bytes, None, complex,
//                 datetime, structured dtypes, objects without __float__),
//                 ragged nesting, a law that is not a str, coefficients that
//                 are not a sequence, a flag that is not a bool;
//   ValueError    a number outside its domain (reported by the loop,
//                 module.cpp), an unknown law, a bad table or coefficients;
//   OverflowError an int beyond the range of a double;
//
// and the caller's own exceptions, from an object's __float__, unchanged.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <vector>

#include "fspl/core/profile.hpp"

namespace kelvora::fspl::binding {

namespace nb = nanobind;

// obj as a numpy array whose dtype numpy casts to float64 (bool, integers,
// floats), in any layout, without a copy where it is one already; objects
// that are numbers (Fraction, Decimal, numpy scalars, anything with __float__
// or __index__) through float(), into a new float64 array.
nb::object real_array(nb::handle obj, const char* name);

// obj as a one-dimensional vector of doubles, copied.
std::vector<double> real_vector(nb::handle obj, const char* name);

// The law and its coefficients: one profile, or, for an analytic law whose
// coefficients are a sequence holding arrays (coefficients=(u1_per_band,)),
// one real array per coefficient, to be broadcast against u and rho, each
// entry's profile made as the loop reaches it.
struct Coefficients {
    Law law;
    std::optional<Profile> profile;
    std::vector<nb::object> arrays;
};
Coefficients parse_coefficients(nb::handle law, nb::handle coefficients);

// A bool (Python's or numpy's).
bool flag(nb::handle obj, const char* name);

// str(obj) as UTF-8, with unencodable characters escaped.
std::string text(nb::handle obj);

}  // namespace kelvora::fspl::binding
