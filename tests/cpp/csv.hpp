// Minimal reader for the CSV tables in tests/data.
//
// Lines that are empty or start with '#' are comments; the first other line
// is the header; every following line is a row of comma-separated cells (no
// quoting: the test tables hold numbers and plain identifiers only).  A
// trailing '\r' is dropped so files with CRLF endings read the same.
#pragma once

#include <cstddef>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
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

#ifdef KELVORA_TEST_DATA_DIR
// Absolute path of a file in tests/data.
inline std::string test_data_path(const std::string& name) {
    return std::string(KELVORA_TEST_DATA_DIR) + "/" + name;
}
#endif

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
    if (!table) throw std::runtime_error("cannot open test table " + path);
    return *std::move(table);
}

}  // namespace kelvora::test
