#include "binding/bind.hpp"
#include "binding/text.hpp"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace kelvora::binding {
namespace {

std::string display_name(const FunctionDescription& d) {
    std::string name;
    if (d.class_name != nullptr) {
        name += d.class_name;
        name += '.';
    }
    name += d.function_name;
    name += "()";
    return name;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'; ...
std::string name_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ',';
            out += i + 1 == names.size() ? " and " : " ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

PendingError type_error(std::string message) { return PendingError::owned(PyExc_TypeError, std::move(message)); }

PendingError too_many_positional(const FunctionDescription& d, Py_ssize_t given) {
    std::string message = display_name(d);
    const std::size_t total = d.positional.size();
    if (d.required_positional == total) {
        message += " takes " + std::to_string(total);
    } else {
        message += " takes from " + std::to_string(d.required_positional) + " to " + std::to_string(total);
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    return type_error(std::move(message));
}

PendingError multiple_values(const FunctionDescription& d, std::string_view name) {
    return type_error(display_name(d) + " got multiple values for argument '" + std::string(name) + "'");
}

PendingError unexpected_keyword(const FunctionDescription& d, PyObject* name) {
    std::string text;
    if (Ref rendered = Ref::steal(PyObject_Str(name))) {
        text = exact_utf8(rendered.get());
    } else {
        PyErr_Clear();
    }
    return type_error(display_name(d) + " got an unexpected keyword argument '" + text + "'");
}

PendingError missing(const FunctionDescription& d, const char* kind, const std::vector<std::string>& names) {
    std::string message = display_name(d) + " missing " + std::to_string(names.size()) + " required " + kind +
                          (names.size() == 1 ? " argument: " : " arguments: ") + name_list(names);
    return type_error(std::move(message));
}

bool same_name(const char* parameter, std::string_view keyword) {
    return std::strlen(parameter) == keyword.size() && std::memcmp(parameter, keyword.data(), keyword.size()) == 0;
}

}  // namespace

std::expected<void, PendingError> bind_arguments(const FunctionDescription& d, PyObject* const* args,
                                                 Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
    const std::size_t positional_count = d.positional.size();
    const std::size_t given = static_cast<std::size_t>(nargs);

    if (args != nullptr) {
        const std::size_t copied = given < positional_count ? given : positional_count;
        for (std::size_t i = 0; i < copied; ++i) slots[i] = args[i];
        if (given > positional_count) return std::unexpected(too_many_positional(d, nargs));
    }

    std::vector<std::string> positional_only_as_keyword;
    const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];

        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
        if (utf8 == nullptr) {
            // Not encodable (e.g. a lone surrogate): it names no parameter.
            PyErr_Clear();
            return std::unexpected(unexpected_keyword(d, name));
        }
        const std::string_view keyword(utf8, static_cast<std::size_t>(size));

        bool matched = false;
        for (std::size_t j = 0; j < d.keyword_only.size(); ++j) {
            if (!same_name(d.keyword_only[j].name, keyword)) continue;
            PyObject*& slot = slots[positional_count + j];
            if (slot != nullptr) return std::unexpected(multiple_values(d, keyword));
            slot = value;
            matched = true;
            break;
        }
        if (matched) continue;

        for (std::size_t i = 0; i < positional_count; ++i) {
            if (!same_name(d.positional[i], keyword)) continue;
            matched = true;
            if (i < d.positional_only) {
                positional_only_as_keyword.emplace_back(keyword);
            } else if (slots[i] != nullptr) {
                return std::unexpected(multiple_values(d, keyword));
            } else {
                slots[i] = value;
            }
            break;
        }
        if (!matched) return std::unexpected(unexpected_keyword(d, name));
    }

    if (!positional_only_as_keyword.empty()) {
        return std::unexpected(
            type_error(display_name(d) + " got some positional-only arguments passed as keyword arguments: " +
                       name_list(positional_only_as_keyword)));
    }

    if (given < d.required_positional) {
        std::vector<std::string> absent;
        for (std::size_t i = 0; i < d.required_positional; ++i) {
            if (slots[i] == nullptr) absent.emplace_back(d.positional[i]);
        }
        if (!absent.empty()) return std::unexpected(missing(d, "positional", absent));
    }

    std::vector<std::string> absent_keywords;
    for (std::size_t j = 0; j < d.keyword_only.size(); ++j) {
        if (d.keyword_only[j].required && slots[positional_count + j] == nullptr) {
            absent_keywords.emplace_back(d.keyword_only[j].name);
        }
    }
    if (!absent_keywords.empty()) return std::unexpected(missing(d, "keyword", absent_keywords));
    return {};
}

}  // namespace kelvora::binding
