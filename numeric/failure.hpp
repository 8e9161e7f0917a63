// Numeric failure values shared by every kernel and model.
//
// A kernel that cannot produce a value returns a Failure instead of throwing:
// the failure carries one fixed, static message text and nothing else (no
// argument values are inserted).  Callers pass an inner failure up unchanged,
// so the message may name a kernel deeper in the call chain than the one that
// was called (e.g. `ellippi` ending with an `elliprj` message).
#pragma once

#include <expected>

namespace kelvora::numeric {

struct Failure {
    const char* message;  // static storage, never null
};

template <class T>
using Expected = std::expected<T, Failure>;

// Shorthand for returning a failure: `return fail("ellipk: m must be less than 1.");`
inline std::unexpected<Failure> fail(const char* message) noexcept {
    return std::unexpected<Failure>(Failure{message});
}

}  // namespace kelvora::numeric
