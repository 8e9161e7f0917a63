// Minimal reader for the CSV tables in tests/data.
//
// Lines that are empty or start with '#' are comments; the first other line
// is the header; every following line is a row of comma-separated cells (no
// quoting: the test tables hold numbers and plain identifiers only).  A
// trailing '\r' is dropped so files with CRLF endings read the same.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace kelvora::test {

struct CsvTable {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;

    // Index of a header column, or -1 when absent.
    int column(const std::string& name) const {
        for (std::size_t i = 0; i < header.size(); ++i) {
            if (header[i] == name) return static_cast<int>(i);
        }
        return -1;
    }

    // Cell (row, col) read as a double (round-trip decimal, "nan", "inf").
    double number(std::size_t row, int col) const { return std::stod(rows.at(row).at(static_cast<std::size_t>(col))); }
};

// The directory of the reference tables (tests/data of the source tree),
// found at run time so that no path of the build machine is compiled in:
//
//   1. the environment variable KELVORA_TEST_DATA_DIR (CTest sets it for every
//      test, see tests/CMakeLists.txt);
//   2. otherwise tests/data in the working directory or one of its parents,
//      then in the executable's directory or one of its parents (a build
//      directory inside the checkout, run by hand).
//
// A directory counts only if it holds kernel_bits.csv, so an unrelated
// tests/data higher up is not taken.  Throws std::runtime_error (a test
// failure naming the variable) when none is found.
inline const std::filesystem::path& test_data_dir() {
    static const std::filesystem::path dir = [] {
        namespace fs = std::filesystem;
        if (const char* env = std::getenv("KELVORA_TEST_DATA_DIR"); env != nullptr && *env != '\0') {
            return fs::path(env);
        }
        const auto search_up = [](const fs::path& start) -> std::optional<fs::path> {
            std::error_code ec;
            for (fs::path at = start; !at.empty(); at = at.parent_path()) {
                const fs::path candidate = at / "tests" / "data";
                if (fs::is_regular_file(candidate / "kernel_bits.csv", ec)) return candidate;
                if (at == at.root_path()) break;
            }
            return std::nullopt;
        };
        std::error_code ec;
        if (const fs::path cwd = fs::current_path(ec); !ec) {
            if (auto found = search_up(cwd)) return *found;
        }
        if (const fs::path exe = fs::read_symlink("/proc/self/exe", ec); !ec) {
            if (auto found = search_up(exe.parent_path())) return *found;
        }
        throw std::runtime_error(
            "reference tables not found: set KELVORA_TEST_DATA_DIR to the tests/data directory of the "
            "kelvora source tree (no tests/data holding kernel_bits.csv in the working directory, the "
            "executable's directory or their parents)");
    }();
    return dir;
}

// Path of a file in the reference-table directory (test_data_dir()).
inline std::string test_data_path(const std::string& name) { return (test_data_dir() / name).string(); }

inline std::vector<std::string> split_csv_line(const std::string& line) {
    std::vector<std::string> cells;
    std::string cell;
    for (const char ch : line) {
        if (ch == ',') {
            cells.push_back(cell);
            cell.clear();
        } else {
            cell.push_back(ch);
        }
    }
    cells.push_back(cell);
    return cells;
}

// Reads `path`; std::nullopt when the file cannot be opened.
inline std::optional<CsvTable> read_csv(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    CsvTable table;
    bool have_header = false;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line.front() == '#') continue;
        if (!have_header) {
            table.header = split_csv_line(line);
            have_header = true;
        } else {
            table.rows.push_back(split_csv_line(line));
        }
    }
    return table;
}

// Reads `path`; throws std::runtime_error (a test failure) when it is missing.
inline CsvTable load_csv(const std::string& path) {
    auto table = read_csv(path);
    if (!table) {
        throw std::runtime_error("cannot open test table " + path +
                                 " (the reference tables are read from $KELVORA_TEST_DATA_DIR, else tests/data)");
    }
    return *std::move(table);
}

}  // namespace kelvora::test
