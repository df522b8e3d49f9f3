// Cell references such as "H2", read as a workbook names its cells: one to
// three column letters and a row number, within the limits of a sheet.
#pragma once

#include <cctype>
#include <optional>
#include <string>
#include <utility>

#include "pyutil.hpp"

namespace dorvex {

// The largest sheet a workbook may have: column XFD, row 1048576.
inline constexpr long SHEET_COLUMNS = 16384;
inline constexpr long SHEET_ROWS = 1048576;

// How a setting that must be a cell reference is described in an error.
inline constexpr const char* CELL_REFERENCE = "a cell reference such as \"H2\"";

// (row, column), both 0-based, of a reference such as "H2" or " r3 " (blanks
// around it and the letter case do not matter); none for anything else.
inline std::optional<std::pair<long, long>> parse_cell(py::handle ref) {
    if (!py::isinstance<py::str>(ref)) return std::nullopt;
    std::string text = str(ref);
    size_t i = text.find_first_not_of(" \t\r\n\f\v");
    size_t end = text.find_last_not_of(" \t\r\n\f\v");
    if (i == std::string::npos) return std::nullopt;
    long col = 0, row = 0;
    size_t letters = 0, digits = 0;
    for (; i <= end && std::isalpha(static_cast<unsigned char>(text[i])); ++i) {
        col = col * 26 + (std::toupper(static_cast<unsigned char>(text[i])) - 'A' + 1);
        if (++letters > 3) return std::nullopt;
    }
    for (; i <= end && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (digits == 0 && text[i] == '0') return std::nullopt;
        row = row * 10 + (text[i] - '0');
        if (++digits > 7) return std::nullopt;
    }
    if (i <= end || letters == 0 || digits == 0) return std::nullopt;
    if (col > SHEET_COLUMNS || row > SHEET_ROWS) return std::nullopt;
    return std::make_pair(row - 1, col - 1);
}

}  // namespace dorvex
