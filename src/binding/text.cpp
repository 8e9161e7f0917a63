#include "binding/text.hpp"

namespace kelvora::binding {
namespace {

// The UTF-8 bytes of `text`: CPython's own cached encoding when the string
// has one (no lone surrogates), otherwise encoded with the `errors` handler.
// An error while encoding is cleared and gives the empty text.
std::string utf8(PyObject* text, const char* errors) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) return std::string(data, size);
    PyErr_Clear();
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", errors));
    if (!bytes) {
        PyErr_Clear();
        return {};
    }
    return std::string(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
}

}  // namespace

std::string exact_utf8(PyObject* text) { return utf8(text, "surrogatepass"); }

std::string lossy_utf8(PyObject* text) { return utf8(text, "replace"); }

}  // namespace kelvora::binding
