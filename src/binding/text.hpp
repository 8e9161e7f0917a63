// Text of Python str objects as UTF-8, for messages built in C++.
#pragma once

#include <string>

#include "binding/pyref.hpp"

namespace kelvora::binding {

// The text of a str as UTF-8, lone surrogates passed through ("surrogatepass"),
// so that an error rebuilt from it (PendingError::owned) shows it unchanged.
std::string exact_utf8(PyObject* text);

// Lenient UTF-8 view of a str (lone surrogates become U+FFFD), for reports
// that only need to be readable.
std::string lossy_utf8(PyObject* text);

}  // namespace kelvora::binding
