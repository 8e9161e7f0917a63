// One declaration per module function.
//
// A function is declared once, as a constexpr value: its Python name, the
// model it calls, how the model's result is boxed, and its parameters in
// order, each with its name and its converter:
//
//     constexpr auto kWittMao = declare("witt_mao_magnification", witt_mao_magnification, as_list,
//                                       Reals{"l"}, Real{"re"}, Real{"rstar"});
//
// Everything else is produced from that value at compile time: the binder's
// descriptor (every parameter positional-or-keyword and required), the text
// signature "witt_mao_magnification(l, re, rstar)\n--\n\n" (so that
// __text_signature__ is "(l, re, rstar)" and __doc__ None), the fast-call
// entry, and the row of the function table, whose order is the order of
// registration and of __all__.
//
// The entry reads as: bind the arguments, convert them in parameter order
// (the first failure ends the call), call the model, box its value; a
// model's numeric failure becomes RuntimeError, and the boundary raises
// whatever failed and contains internal faults.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "binding/bind.hpp"
#include "binding/boundary.hpp"
#include "binding/box.hpp"
#include "binding/convert.hpp"
#include "binding/module_init.hpp"

namespace kelvora::binding {

// Parameter kinds: a Python number read as a double, and a Python sequence
// read as an array of doubles (binding/convert.hpp gives the rules).
struct Real {
    using Value = double;
    const char* name;
    static Converted<double> convert(PyObject* object, const char* parameter) {
        return real_argument(object, parameter);
    }
};

struct Reals {
    using Value = std::vector<double>;
    const char* name;
    static Converted<std::vector<double>> convert(PyObject* object, const char* parameter) {
        return reals_argument(object, parameter);
    }
};

// Boxing of a model's value.
struct AsFloat {
    Ref operator()(double value) const { return float_result(value); }
};
struct AsList {
    Ref operator()(const std::vector<double>& values) const { return list_result(values); }
};
inline constexpr AsFloat as_float{};
inline constexpr AsList as_list{};

template <class Model, class Box, class... Parameters>
struct Function {
    using ParameterTypes = std::tuple<Parameters...>;
    static constexpr std::size_t arity = sizeof...(Parameters);

    const char* name;
    Model* model;
    Box box;
    std::tuple<Parameters...> parameters;
};

template <class Model, class Box, class... Parameters>
constexpr Function<Model, Box, Parameters...> declare(const char* name, Model* model, Box box,
                                                      Parameters... parameters) {
    return {name, model, box, {parameters...}};
}

namespace detail {

constexpr std::size_t length(const char* text) { return std::char_traits<char>::length(text); }

template <const auto& F>
constexpr auto parameter_names() {
    return std::apply([](const auto&... p) { return std::array<const char*, sizeof...(p)>{p.name...}; },
                      F.parameters);
}

inline constexpr char kSignatureEnd[] = ")\n--\n\n";

template <const auto& F>
constexpr std::size_t signature_size() {
    std::size_t size = length(F.name) + 1 + length(kSignatureEnd) + 1;  // "name(" ... ")\n--\n\n" NUL
    const auto names = parameter_names<F>();
    for (std::size_t i = 0; i < names.size(); ++i) size += length(names[i]) + (i > 0 ? 2 : 0);
    return size;
}

// "name(p1, p2, ...)\n--\n\n", NUL-terminated.
template <const auto& F>
constexpr auto signature() {
    std::array<char, signature_size<F>()> text{};
    std::size_t at = 0;
    const auto put = [&](const char* piece) {
        for (std::size_t i = 0; piece[i] != '\0'; ++i) text[at++] = piece[i];
    };
    put(F.name);
    put("(");
    const auto names = parameter_names<F>();
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) put(", ");
        put(names[i]);
    }
    put(kSignatureEnd);
    return text;
}

template <const auto& F>
struct Generated {
    static constexpr auto names = parameter_names<F>();
    static constexpr FunctionDescription description{F.name, nullptr, names, 0, names.size(), {}};
    static constexpr auto text_signature = signature<F>();
};

// A model's value, or its numeric failure as the RuntimeError carrying the
// kernel's message.
// (The helpers below are forced inline so that each entry compiles to one
// function, as a hand-written entry would.)
template <class Box, class T>
[[gnu::always_inline]] inline Outcome<Ref> box_result(const Box& box, numeric::Expected<T> result) {
    if (!result) return std::unexpected(numeric_error(result.error()));
    return box(*result);
}

template <class Box, class T>
[[gnu::always_inline]] inline Outcome<Ref> box_result(const Box& box, const T& result) {
    return box(result);
}

// Converts parameter J and those after it, in order, then calls the model
// with every converted value (`done`, the values of parameters 0 .. J-1) and
// boxes its result.  The first conversion that fails ends the call; the
// values converted before it are released on the way out.
template <const auto& F, std::size_t J, class... Done>
[[gnu::always_inline]] inline Outcome<Ref> convert_and_call(PyObject* const* slots, Done&&... done) {
    using Declaration = std::remove_cvref_t<decltype(F)>;
    if constexpr (J == Declaration::arity) {
        return box_result(F.box, F.model(std::move(done)...));
    } else {
        using Parameter = std::tuple_element_t<J, typename Declaration::ParameterTypes>;
        auto converted = Parameter::convert(slots[J], std::get<J>(F.parameters).name);
        if (!converted) return std::unexpected(std::move(converted.error()));
        return convert_and_call<F, J + 1>(slots, std::move(done)..., std::move(*converted));
    }
}

template <const auto& F>
[[gnu::always_inline]] inline Outcome<Ref> call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, std::remove_cvref_t<decltype(F)>::arity> slots{};
    if (auto bound = bind_arguments(Generated<F>::description, args, nargs, kwnames, slots); !bound) {
        return std::unexpected(std::move(bound.error()));
    }
    return convert_and_call<F, 0>(slots.data());
}

}  // namespace detail

// The fast-call entry of the declared function F.
template <const auto& F>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> Outcome<Ref> {
        return detail::call<F>(args, nargs, kwnames);
    });
}

// The function table of the declared functions, in registration order.
template <const auto&... F>
inline constexpr std::array<FunctionEntry, sizeof...(F)> function_table{
    FunctionEntry{F.name, &entry<F>, detail::Generated<F>::text_signature.data()}...};

}  // namespace kelvora::binding
