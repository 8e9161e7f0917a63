// Pending errors: the one error value that crosses the module surface.
//
// A pending error is either deferred (an exception type plus a recipe for its
// value, so that no Python object but the type exists until it is raised) or
// realised (a finished exception instance fetched from the interpreter).  It
// is raised only at the module boundary.  Inside the numerical code failures
// are plain values (numeric::Failure); internal faults are C++ exceptions
// (kelvora::Fault) that the boundary turns into PanicException.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "binding/pyref.hpp"

namespace kelvora::binding {

class PendingError {
public:
    // Deferred: `type(text)` with a static text.
    static PendingError fixed(PyObject* type, const char* text);
    // Deferred: `type(text)` with an owned UTF-8 text (lone surrogates kept
    // via "surrogatepass").
    static PendingError owned(PyObject* type, std::string text);
    // Deferred TypeError "'<qualname of type(object)>' object cannot be
    // converted to '<target>'", formed when first needed.
    static PendingError downcast(PyObject* object, const char* target);
    // Deferred PanicException whose value is the one-element tuple (message,).
    static PendingError panic(std::string message);
    // Realised: takes over a fetched exception instance.
    static PendingError realised(Ref instance);

    PendingError(PendingError&&) noexcept = default;
    PendingError& operator=(PendingError&&) noexcept = default;

    // Sets the error as the interpreter's current exception.  Used only at the
    // boundaries; consumes the error.
    void raise() &&;

    // The exception instance, realising a deferred error once.  Never null
    // unless the interpreter is out of memory.
    PyObject* instance();
    // The exception's type (realises).
    PyObject* type();

private:
    struct Fixed {
        PyObject* type;  // a built-in exception type (immortal)
        const char* text;
    };
    struct Owned {
        PyObject* type;
        std::string text;
    };
    struct Downcast {
        Ref from_type;
        const char* target;
    };
    struct Panic {
        std::string message;
    };
    using State = std::variant<Fixed, Owned, Downcast, Panic, Ref>;

    explicit PendingError(State state) : state_(std::move(state)) {}
    // Runs the deferred recipe: PyErr_SetObject(type, value).
    static void set_deferred(State& state);

    State state_;
};

// The process's PanicException type (borrowed; created once, on first need).
// Null only if the interpreter could not create it (out of memory).
PyObject* panic_exception_type() noexcept;

// The interpreter's current exception as a realised pending error, clearing
// it; nullopt when none is pending.  A fetched PanicException of this module
// is not returned: the fault is resumed (banner and traceback on standard
// error) and travels on to the boundary as a kelvora::Fault.
std::optional<PendingError> fetch();

// fetch(), or the deferred SystemError "attempted to fetch exception but none
// was set" when the interpreter reported failure without an exception.
PendingError fetch_or_substitute();

}  // namespace kelvora::binding
