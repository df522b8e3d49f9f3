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

// move.cpp
// Moves `src` to `dest` with a backup copy, destroying nothing: an existing
// `dest` fails the move (FileExistsError) with `src` left in place, and an
// existing backup is kept while the new one takes the next free name
// "<stem> (N)<ext>". Returns the backup path used.
py::object move_file_safe(py::handle src, py::handle dest, py::handle backup);
// `path` when nothing is there, else the first free "<stem> (N)<ext>".
py::object free_name(py::handle path);

}  // namespace dorvex
