// spend-file: expense workbooks moved under a name built from two of their
// cells. The settings table, and what the module's files share.
#pragma once

#include "common/pyutil.hpp"
#include "common/settings.hpp"

namespace dorvex {

inline constexpr Globals g_spendfile{"dorvex.spendfile"};

// The settings: what the template writes, and what is used when a key is
// absent. "dry_run" is on only for a text form of true, so the default is
// the text "False".
inline constexpr Key CONFIG_KEYS[] = {
    {"path", text("./data_spendfile"), text("./data_spendfile")},
    {"dry_run", boolean(false), text("False")},
};
inline constexpr Key EXCEL_IN_KEYS[] = {
    {"name_cell", text("D6"), text("D6")},
    {"amount_cell", text("P56"), text("P56")},
};
inline constexpr Key SETTINGS[] = {
    {"config", section(keys_of(CONFIG_KEYS)), mapping()},
    {"excel_in", section(keys_of(EXCEL_IN_KEYS)), mapping()},
};

// settings.cpp: checks the whole configuration `conf` before any workbook is
// touched; a bad value is one line naming `file` and the key, status 1.
void check_settings(const Globals& g, py::handle file, py::handle conf);

// rename.cpp
// The run of process_expense_rename. False when nothing could be done (the
// workbook library or the folder is missing); the reason has been logged.
bool rename_expenses(const py::dict& config);
// Binds get_excel_cell_value, sanitize_filename and process_expense_rename.
void init_rename(py::module_& m);

// move.cpp
// Moves `src` to `dest` with a backup copy, destroying nothing: an existing
// `dest` fails the move (FileExistsError) with `src` left in place, and an
// existing backup is kept while the new one takes the next free name
// "<stem> (N)<ext>". Returns the backup path used.
py::object move_file_safe(py::handle src, py::handle dest, py::handle backup);
// `path` when nothing is there, else the first free "<stem> (N)<ext>".
py::object free_name(py::handle path);

}  // namespace dorvex
