// The matching worker `Tallyrun` and the table steps of its run.
#pragma once

#include "common/pyutil.hpp"

namespace dorvex {

inline constexpr Globals g_tallyrun{"dorvex.tallyrun"};

// Binds the worker class `Tallyrun` (constructor and run).
void init_tallyrun(py::module_& m);

// The RDD column of `df` as "%Y-%m-%d" text, one date format for the whole
// column; values that are no date become missing, with one warning naming
// `table`.
void normalise_dates(py::handle df, const char* table);

// The (success, message) result of a run, built from the table pipeline.
py::tuple run_pipeline(py::object self);

// Sorts `df` by `columns` in the table library's order, except that a text
// column holding only numbers ("10", "100", "20") sorts by their value.
py::object sort_table(py::handle df, std::initializer_list<const char*> columns);

// The monthly quantity summary of the matched table, or None when building
// it failed before it existed (the failure is logged as a warning).
py::object monthly_summary(py::handle result_df);

}  // namespace dorvex
