// The rename work of spend-file: cell reading, name cleaning and the moves.
#pragma once

#include "common/pyutil.hpp"

namespace dorvex {

inline constexpr Globals g_spendfile{"dorvex.spendfile"};

// Binds get_excel_cell_value, sanitize_filename and process_expense_rename.
void init_rename(py::module_& m);

// The run of process_expense_rename. False when nothing could be done (the
// workbook library or the folder is missing); the reason has been logged.
bool rename_expenses(const py::dict& config);

}  // namespace dorvex
