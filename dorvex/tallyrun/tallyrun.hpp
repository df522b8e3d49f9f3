// The matching worker `Tallyrun` and the table steps of its run.
#pragma once

#include <utility>

#include "common/pyutil.hpp"

namespace dorvex {

inline constexpr Globals g_tallyrun{"dorvex.tallyrun"};

// Binds the worker class `Tallyrun` (constructor and run).
void init_tallyrun(py::module_& m);

// The RDD column of `df` as "%Y-%m-%d" text, one date format for the whole
// column; values that are no date become missing, with one warning naming
// `table`.
void normalise_dates(py::handle df, const char* table);

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

// The (success, message) result of a run, built from the table pipeline.
py::tuple run_pipeline(py::object self);

// Sorts `df` by `columns` in the table library's order, except that a text
// column holding only numbers ("10", "100", "20") sorts by their value.
py::object sort_table(py::handle df, std::initializer_list<const char*> columns);

// The monthly quantity summary of the matched table, or None when building
// it failed before it existed (the failure is logged as a warning).
py::object monthly_summary(py::handle result_df);

}  // namespace dorvex
