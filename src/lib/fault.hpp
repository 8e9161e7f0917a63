// Internal faults: violated internal checks.
//
// A fault is not a numeric failure.  It leaves the failing computation at once
// as a C++ exception, skipping every step in between (RAII releases arrays on
// the way), and is caught at the module boundary, where it becomes the
// module's PanicException.  Before it leaves the failing code a short report
// (thread name, source location, message) is written to standard error.
#pragma once

#include <cstddef>
#include <source_location>
#include <string>

namespace kelvora {

class Fault {
public:
    // A fault whose payload is its message text.
    explicit Fault(std::string message) : message_(std::move(message)) {}

    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Writes the standard-error report for a failed check at `where`.
void report_fault(const std::string& message, const std::source_location& where) noexcept;

// Reports and throws a Fault carrying `message`.
[[noreturn]] void raise_fault(std::string message,
                              std::source_location where = std::source_location::current());

// The check `left == right` on two lengths.  On failure the message is the
// three-line assertion text
//   assertion `left == right` failed
//     left: <left>
//    right: <right>
// (no trailing newline).
void check_equal_lengths(std::size_t left, std::size_t right,
                         std::source_location where = std::source_location::current());

}  // namespace kelvora
