// The report worker `ReportGenerator` and the page class `LabReport`.
#pragma once

#include "common/pyutil.hpp"

namespace dorvex {

inline constexpr Globals g_platebook{"dorvex.platebook"};

// Binds `LabReport` (a subclass of the module's FPDF) and `ReportGenerator`.
void init_report(py::module_& m);

}  // namespace dorvex
