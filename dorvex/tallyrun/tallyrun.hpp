// tally-run: system order lines (CSV) matched against a customer workbook.
// The settings table, the worker, and what the module's files share.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

#include "common/pyutil.hpp"
#include "common/settings.hpp"

namespace dorvex {

inline constexpr Globals g_tallyrun{"dorvex.tallyrun"};

// The settings: what the template writes, and what is used when a key is
// absent (no input path, results in "out", every cell at its default).
inline constexpr Key SYSTEM_DATA_KEYS[] = {
    {"po_cell", text("H2"), text("H2")},     {"so_cell", text("I2"), text("I2")},
    {"so_pos_cell", text("J2"), text("J2")}, {"so_suffix_cell", text("K2"), text("K2")},
    {"qty_cell", text("L2"), text("L2")},    {"rdd_cell", text("Q2"), text("Q2")},
};
inline constexpr Key CUSTOMER_DATA_KEYS[] = {
    {"po_cell", text("F3"), text("F3")},
    {"qty_cell", text("O3"), text("O3")},
    {"rdd_cell", text("R3"), text("R3")},
};
inline constexpr Key CONFIG_KEYS[] = {
    {"system_data_path", text("./data_tallyrun/system_data.csv"), text("")},
    {"customer_data_path", text("./data_tallyrun/customer_data.xlsx"), text("")},
    {"output_dir", text("./data_tallyrun/out"), text("out")},
    {"system_data", section(keys_of(SYSTEM_DATA_KEYS)), mapping()},
    {"customer_data", section(keys_of(CUSTOMER_DATA_KEYS)), mapping()},
};
inline constexpr Key SETTINGS[] = {
    {"config", section(keys_of(CONFIG_KEYS)), mapping()},
};

// Where each column of a table is read from: the cell key of its section
// and the worker attribute that holds it.
struct Field {
    const char* column;
    const char* key;
    const char* attribute;
};
inline constexpr Field SYSTEM_FIELDS[] = {
    {"PO", "po_cell", "sys_po_cell"},
    {"SO", "so_cell", "sys_so_cell"},
    {"SO_POS", "so_pos_cell", "sys_so_pos_cell"},
    {"SO_SUFFIX", "so_suffix_cell", "sys_so_suffix_cell"},
    {"QTY", "qty_cell", "sys_qty_cell"},
    {"RDD", "rdd_cell", "sys_rdd_cell"},
};
inline constexpr Field CUSTOMER_FIELDS[] = {
    {"PO", "po_cell", "po_cell"},
    {"QTY", "qty_cell", "qty_cell"},
    {"RDD", "rdd_cell", "rdd_cell"},
};

// What the run writes into output_dir; the debug workbook only when the
// environment variable DEBUG_SWITCH is "1".
inline constexpr const char* RESULT_FILE = "result.xlsx";
inline constexpr const char* DEBUG_FILE = "debug_data.xlsx";
inline constexpr const char* DEBUG_SWITCH = "QRV";

// An input file of the run: how messages name it, its key, and the
// extensions it may have (the second one optional).
struct Input {
    const char* label;
    const char* key;
    const char* extension;
    const char* other_extension;
};
inline constexpr Input SYSTEM_INPUT{"System data", "system_data_path", ".csv", nullptr};
inline constexpr Input CUSTOMER_INPUT{"Customer data", "customer_data_path", ".xlsx", ".xls"};

// settings.cpp: checks the "config" section `conf` before the run; a bad
// value is one line naming `file` and the key, status 1.
void check_settings(const Globals& g, py::handle file, py::handle conf);

// tallyrun.cpp
// Whether DEBUG_SWITCH is on in the environment now.
bool debug_mode();
// Tallyrun.run: the (success, message) pair. `config_file` is the
// configuration the command read (None from Python), for the overwrite guard.
py::tuple run(py::object self, py::object config_file);
// Binds the worker class `Tallyrun` and _read_dates.
void init_tallyrun(py::module_& m);

// pipeline.cpp
// Why the file at `path` cannot be read as `input`, as the run's message
// ("System data file not found at: <path>"); none when it can. Only a
// regular file passes, so no read can block on a FIFO.
std::optional<std::string> input_problem(py::handle path, const Input& input);
// The steps of a run after the system file was found; the pair of the run.
// Raises what the readers and the writer raise.
py::tuple run_pipeline(py::object self);

// columns.cpp
// (dates, unreadable) of a column of date cells or date texts: Timestamps
// (NaT where blank or no date) and True where a value is present but no
// date. Texts are read in one format per column: year first is ISO order,
// dotted dates are day first, slashed ones month first unless the column
// holds a date that can only be day first (25/12/2023).
std::pair<py::object, py::object> read_dates(py::handle column);
// True where a value is present but holds no number ("00123" is an
// identifier, not a number).
py::object not_numbers(py::handle column);

// summary.cpp
// Sorts `df` by `columns` in the table library's order, except that a text
// column holding only numbers ("10", "100", "20") sorts by their value.
py::object sort_table(py::handle df, std::initializer_list<const char*> columns);
// The monthly quantity summary of the matched table, or None when building
// it failed before it existed (the failure is logged as a warning).
py::object monthly_summary(py::handle result_df);

}  // namespace dorvex
