#include "lib/fault.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>

namespace kelvora {
namespace {

// Name of the calling thread as the report shows it: "main" for the process's
// initial thread, otherwise the OS thread name, or "<unnamed>".
std::string thread_name() {
    if (static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid()) return "main";
    char buf[64] = {};
    if (::pthread_getname_np(::pthread_self(), buf, sizeof buf) == 0 && buf[0] != '\0') {
        return buf;
    }
    return "<unnamed>";
}

// The source path relative to the project root (src/lib/..., src/binding/...),
// whatever directory the build ran in.
std::string_view project_path(std::string_view file) {
    for (std::string_view root : {std::string_view("src/lib/"), std::string_view("src/binding/"),
                                  std::string_view("numeric/")}) {
        if (auto at = file.rfind(root); at != std::string_view::npos) return file.substr(at);
    }
    return file;
}

}  // namespace

void report_fault(const std::string& message, const std::source_location& where) noexcept {
    try {
        std::string report = "thread '" + thread_name() + "' panicked at ";
        report += project_path(where.file_name());
        report += ':' + std::to_string(where.line()) + ':' + std::to_string(where.column()) + ":\n";
        report += message;
        report += '\n';
        std::fwrite(report.data(), 1, report.size(), stderr);
        std::fflush(stderr);
    } catch (...) {
        // Out of memory while reporting: the fault itself still travels on.
    }
}

void raise_fault(std::string message, std::source_location where) {
    report_fault(message, where);
    throw Fault(std::move(message));
}

void check_equal_lengths(std::size_t left, std::size_t right, std::source_location where) {
    if (left == right) return;
    raise_fault("assertion `left == right` failed\n  left: " + std::to_string(left) +
                    "\n right: " + std::to_string(right),
                where);
}

}  // namespace kelvora
