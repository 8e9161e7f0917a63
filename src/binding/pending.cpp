#include "binding/pending.hpp"

#include <atomic>
#include <cstdio>

#include "binding/text.hpp"
#include "lib/fault.hpp"

namespace kelvora::binding {
namespace {

constexpr const char kPanicDoc[] =
    "\n"
    "The exception raised when C++ code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

std::atomic<PyObject*> g_panic_type{nullptr};

PyObject* decode_exact(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
}

// The downcast message, formed from the type object the pending error holds.
PyObject* downcast_message(PyObject* type, const char* target) {
    Ref qualname = Ref::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
    if (!qualname) {
        PyErr_Clear();
        return PyUnicode_FromFormat("'<failed to extract type name>' object cannot be converted to '%s'",
                                    target);
    }
    return PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", qualname.get(), target);
}

}  // namespace

PendingError PendingError::fixed(PyObject* type, const char* text) { return PendingError(Fixed{type, text}); }

PendingError PendingError::owned(PyObject* type, std::string text) {
    return PendingError(Owned{type, std::move(text)});
}

PendingError PendingError::downcast(PyObject* object, const char* target) {
    return PendingError(Downcast{Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object))), target});
}

PendingError PendingError::panic(std::string message) { return PendingError(Panic{std::move(message)}); }

PendingError PendingError::realised(Ref instance) { return PendingError(std::move(instance)); }

void PendingError::set_deferred(State& state) {
    struct Visitor {
        void operator()(Fixed& f) const {
            Ref value = Ref::steal(PyUnicode_FromString(f.text));
            if (value) PyErr_SetObject(f.type, value.get());
        }
        void operator()(Owned& o) const {
            Ref value = Ref::steal(decode_exact(o.text));
            if (value) PyErr_SetObject(o.type, value.get());
        }
        void operator()(Downcast& d) const {
            Ref value = Ref::steal(downcast_message(d.from_type.get(), d.target));
            if (value) PyErr_SetObject(PyExc_TypeError, value.get());
        }
        void operator()(Panic& p) const {
            PyObject* type = panic_exception_type();
            if (type == nullptr) return;  // MemoryError is pending instead
            Ref message = Ref::steal(decode_exact(p.message));
            if (!message) return;
            Ref args = Ref::steal(PyTuple_Pack(1, message.get()));
            if (args) PyErr_SetObject(type, args.get());
        }
        void operator()(Ref& instance) const { PyErr_SetRaisedException(instance.release()); }
    };
    std::visit(Visitor{}, state);
}

void PendingError::raise() && { set_deferred(state_); }

PyObject* PendingError::instance() {
    if (auto* done = std::get_if<Ref>(&state_)) return done->get();
    // The single realiser of this error.  The thread detaches for the moment
    // of realisation and re-attaches through the GIL-state API, so other
    // threads may run meanwhile.  That is only sound when this thread's
    // current state is its GIL-state one (always, outside subinterpreters);
    // otherwise the error is realised without detaching.
    PyThreadState* own = PyThreadState_Get();
    PyObject* raised = nullptr;
    if (PyGILState_GetThisThreadState() == own) {
        PyThreadState* saved = PyEval_SaveThread();
        PyGILState_STATE gil = PyGILState_Ensure();
        set_deferred(state_);
        raised = PyErr_GetRaisedException();
        PyGILState_Release(gil);
        PyEval_RestoreThread(saved);
    } else {
        set_deferred(state_);
        raised = PyErr_GetRaisedException();
    }
    state_ = Ref::steal(raised);
    return raised;
}

PyObject* PendingError::type() {
    PyObject* exc = instance();
    return exc ? reinterpret_cast<PyObject*>(Py_TYPE(exc)) : nullptr;
}

PyObject* panic_exception_type() noexcept {
    if (PyObject* type = g_panic_type.load(std::memory_order_acquire)) return type;
    PyObject* made = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException,
                                               nullptr);
    if (made == nullptr) return nullptr;
    return publish_once(g_panic_type, made);
}

std::optional<PendingError> fetch() {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) return std::nullopt;
    // Making the PanicException type may itself fail (out of memory); keep the
    // fetched exception in that case.
    PyObject* panic_type = panic_exception_type();
    if (panic_type == nullptr) PyErr_Clear();
    if (panic_type != nullptr && reinterpret_cast<PyObject*>(Py_TYPE(exc.get())) == panic_type) {
        // A PanicException of ours came back through Python code (e.g. a
        // user's __float__ re-raised it): resume the fault rather than treat
        // it as an ordinary error.
        std::string message;
        if (Ref text = Ref::steal(PyObject_Str(exc.get()))) {
            message = lossy_utf8(text.get());
        } else {
            PyErr_Clear();
            message = "Unwrapped panic from Python code";
        }
        std::fputs("--- kelvora is resuming an internal fault after fetching a PanicException from Python. ---\n"
                   "Python stack trace below:\n",
                   stderr);
        std::fflush(stderr);
        PyErr_SetRaisedException(exc.release());
        PyErr_PrintEx(0);
        throw Fault(std::move(message));
    }
    return PendingError::realised(std::move(exc));
}

PendingError fetch_or_substitute() {
    if (auto err = fetch()) return std::move(*err);
    return PendingError::fixed(PyExc_SystemError, "attempted to fetch exception but none was set");
}

}  // namespace kelvora::binding
