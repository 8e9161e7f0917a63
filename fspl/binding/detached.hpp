// Running a long loop outside the interpreter: the thread detaches (releases
// the GIL, or in a free-threaded build lets the collector run), computes on
// plain memory, and answers Ctrl-C.
//
// Re-entering the interpreter at its exit.  CPython 3.13 ends a daemon thread
// that asks for the GIL back while the interpreter finalises by calling
// pthread_exit, which unwinds the thread's stack with abi::__forced_unwind.
// That unwind must not reach a destructor or any other noexcept frame
// (std::terminate: the process aborts), nor a handler that swallows it.  The
// thread is parked instead, forever, where it caught the unwind, touching
// nothing: the process is exiting, and parks no lock a finalising interpreter
// needs (as CPython 3.14 itself parks such threads, PyThread_hang_thread).
#pragma once

#include <Python.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>

namespace kelvora::fspl::binding {

// PyEval_RestoreThread, parking the thread if the interpreter is ending it.
// (PyEval_RestoreThread throws nothing else; the handler catches by `...`,
// since the forced unwind carries no C++ exception object to bind a
// reference to.)
[[gnu::noinline]] inline void reattach(PyThreadState* state) noexcept {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {  // abi::__forced_unwind: never rethrown, never left
        for (;;) pause();
    }
}

// A scope in which the calling thread is detached from the interpreter.
class Detached {
public:
    Detached() noexcept : state_(PyEval_SaveThread()) {}
    ~Detached() { reattach(state_); }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

    // f() with the thread attached for its duration.
    template <class F>
    auto attached(F&& f) {
        reattach(state_);
        auto result = f();
        state_ = PyEval_SaveThread();
        return result;
    }

private:
    PyThreadState* state_;
};

// Checks for a pending signal (Ctrl-C) about every INTERVAL of computing,
// from the thread that handles signals only (the main thread of the main
// interpreter: elsewhere PyErr_CheckSignals does nothing).  The clock itself
// is read every `every_` steps, a count that adapts to the cost of a step
// (from a 30 ns far-field point to a tenth of a second for a point of a
// 1e5-node table), so that it costs nothing measurable.
class Interrupts {
public:
    static constexpr auto INTERVAL = std::chrono::milliseconds(50);

    explicit Interrupts(bool handles_signals) noexcept
        : enabled_(handles_signals), last_clock_(Clock::now()), last_check_(last_clock_) {}

    // After one step: true when a signal handler raised (its exception is
    // set, the thread detached again); the caller then stops.
    bool step(Detached& detached) noexcept {
        if (!enabled_ || --countdown_ != 0) return false;
        return tick(detached);
    }

private:
    using Clock = std::chrono::steady_clock;

    bool tick(Detached& detached) noexcept {
        const auto now = Clock::now();
        const auto since = now - last_clock_;
        last_clock_ = now;
        // Read the clock about every millisecond of work.
        if (since < std::chrono::microseconds(500) && every_ < (std::size_t{1} << 20)) {
            every_ *= 2;
        } else if (since > std::chrono::milliseconds(2) && every_ > 1) {
            every_ /= 2;
        }
        countdown_ = every_;
        if (now - last_check_ < INTERVAL) return false;
        last_check_ = now;
        return detached.attached([] { return PyErr_CheckSignals() != 0; });
    }

    bool enabled_;
    std::size_t every_ = 1;
    std::size_t countdown_ = 1;
    Clock::time_point last_clock_;
    Clock::time_point last_check_;
};

}  // namespace kelvora::fspl::binding
