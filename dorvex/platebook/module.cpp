// dorvex.platebook: the PDF lab report command. This file holds the module
// level (imports, template, help text, classes, command); the classes' work is
// in discovery.cpp, layout.cpp, render.cpp and fonts.cpp.
#include "common/command.hpp"
#include "platebook.hpp"

namespace {

using dorvex::g_platebook;

py::dict default_config() {
    py::dict config;
    config["image_folder"] = "./data_platebook";
    config["file_prefix"] = "Result";
    config["output_file"] = "test.pdf";
    config["page_height"] = 297;
    config["top_margin"] = 10;
    config["bottom_margin"] = 5;
    config["title_buffer"] = 25;
    config["row_gap"] = 10;

    py::dict main_page;
    main_page["title_of_report"] = "Devada VezEdez";
    main_page["dut_inform"] = "duRUD + DO1240";
    main_page["environment"] = "chamber + corner reflector";
    main_page["user_title_1"] = "Radar Setting";
    main_page["user_content_1"] = "2000_2200_256_59_RX14_RX23";
    main_page["user_title_2"] = "Offset Index";
    main_page["user_content_2"] = "80";
    main_page["user_title_3"] = "Remove DC";
    main_page["user_content_3"] = "0";
    main_page["user_title_4"] = "Guard Cell";
    main_page["user_content_4"] = "20";

    py::dict group;
    group["name"] = "Group 0: 1st Experiment (Result by Metric)";
    group["pattern"] = "g8_Peak_60dB";
    group["experiments_per_page"] = 2;
    group["cols_per_row"] = 2;
    py::list groups;
    groups.append(group);

    py::dict tpl;
    tpl["config"] = config;
    tpl["main_page"] = main_page;
    tpl["groups"] = groups;
    return tpl;
}

// The "\b" lines keep click from re-wrapping the paragraph that follows.
constexpr const char* HELP_HEAD =
    "\n"
    "Generate a PDF report from multiple images based on a JSON configuration.\n"
    "\n"
    "\b\n"
    "[JSON Parameter Description]:\n"
    "* config.image_folder : (String) The folder containing the images.\n"
    "* config.output_file  : (String) The name of the output PDF file.\n"
    "* main_page           : (Dict) Key-value pairs displayed on the first TOC page.\n"
    "* groups              : (List) Define layout and matching patterns for image groups.\n"
    "\n"
    "\b\n"
    "[Default config.json Template]:\n";

void cmd_platebook(py::object config, bool generate_config) {
    const auto& g = g_platebook;
    dorvex::require_libraries(
        g, "HAS_PDF_LIBS",
        {"Missing required packages for PDF generation.",
         "Please reinstall with the PDF feature enabled:", "--> pip install Dorvex[pdf]"});
    if (generate_config)
        dorvex::write_json_template(g, g["DEFAULT_CONFIG"], "config_platebook_template.json");
    dorvex::require_config(g, config,
                           {"Error: Please provide a JSON file path using --config or -c.",
                            "Hint: Run 'dor-vex platebook --help' to see the template."});

    py::dict data = dorvex::read_json_object(g, config);
    py::object cfg = data.attr("get")("config");
    py::object main_page = data.attr("get")("main_page");
    py::object groups = data.attr("get")("groups");
    if (!dorvex::truthy(cfg) || !dorvex::truthy(main_page) || !dorvex::truthy(groups)) {
        dorvex::log(g, "error",
                    "Invalid configuration format. Missing 'config', 'main_page', or 'groups'.");
        dorvex::exit(g, 1);
    }
    dorvex::check_settings(g, config, cfg, main_page, groups);
    py::object report = g["ReportGenerator"](cfg, main_page, groups);
    if (py::isinstance<dorvex::ReportGenerator>(report))
        report.cast<dorvex::ReportGenerator&>().config_file = config;
    report.attr("generate")();
    // the worker has logged why no PDF was written
    if (!dorvex::report_written(report)) dorvex::exit(g, 1);
}

// Unicode fonts tried in this order when helvetica cannot encode a text:
// (family, regular file, bold file, index in a font collection). The first
// found draws the text, later ones fill in the characters it lacks.
py::list unicode_fonts() {
    py::list fonts;
    fonts.append(py::make_tuple("DejaVuSans", "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
                                "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf", 0));
    // index 2 of the collection is the Simplified Chinese face
    fonts.append(py::make_tuple("NotoSansCJK",
                                "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc",
                                "/usr/share/fonts/opentype/noto/NotoSansCJK-Bold.ttc", 2));
    return fonts;
}

// The constructor: the document, without pages, and the usable page height.
void report_init(py::object self, py::object config, py::object main_page, py::object user_groups) {
    const auto& g = g_platebook;
    self.attr("conf") = config;
    self.attr("main_page") = main_page;
    self.attr("groups_def") = user_groups;

    py::object pdf = g["LabReport"]();
    pdf.attr("set_auto_page_break")("auto"_a = false);
    pdf.attr("set_margins")(15, config.attr("get")("top_margin", 15), 15);
    self.attr("pdf") = pdf;
    self.attr("links") = py::dict();

    py::object page_h = config.attr("get")("page_height", 297);
    py::object top_m = config.attr("get")("top_margin", 15);
    py::object btm_m = config.attr("get")("bottom_margin", 15);
    py::object usable = page_h - top_m - btm_m;
    self.attr("total_usable_h") = usable;
    dorvex::log(g, "info", "[INIT] Total usable height: " + dorvex::format(usable, ".1f") + "mm");
}

void define_classes(py::module_& m) {
    // LabReport must subclass a Python class (FPDF), so it is made with type().
    py::dict ns;
    ns["__module__"] = "dorvex.platebook";
    ns["__doc__"] = "The report document: FPDF with a running header from page 2 on.";
    py::object lab_report = py::module_::import("builtins")
                                .attr("type")("LabReport", py::make_tuple(m.attr("FPDF")), ns);
    lab_report.attr("header") =
        py::cpp_function(dorvex::lab_report_header, py::name("header"), py::is_method(lab_report));
    m.attr("LabReport") = lab_report;

    py::class_<dorvex::ReportGenerator> cls(m, "ReportGenerator", py::dynamic_attr());
    dorvex::def_dict_init(cls, &report_init, py::arg("config"), py::arg("main_page"),
                          py::arg("user_groups"));
    cls.def("get_max_ratio_from_images", &dorvex::get_max_ratio_from_images, py::arg("images"))
        .def("calculate_layout_size", &dorvex::calculate_layout_size, py::arg("num_rows"),
             py::arg("standard_cell_w"), py::arg("max_ratio"), py::arg("budget_height"))
        .def("parse_files", &dorvex::parse_files)
        .def("add_toc", &dorvex::add_toc, py::arg("data"))
        .def("generate", &dorvex::generate);
}

}  // namespace

PYBIND11_MODULE(platebook, m) {
    dorvex::import_modules(m, {"os", "math", "json", "sys", "click"});
    bool has_pdf = dorvex::import_optional(m, "HAS_PDF_LIBS", [](py::module_& mod) {
        mod.attr("FPDF") = py::module_::import("fpdf").attr("FPDF");
        mod.attr("Image") = py::module_::import("PIL.Image");
    });
    if (!has_pdf) {
        // LabReport still needs a base class
        m.attr("FPDF") = py::module_::import("builtins").attr("object");
        if (py::hasattr(m, "Image")) py::delattr(m, "Image");
    }
    dorvex::toolkit::import_into(m, {"app_logging", "fileMg", "parseTools"}, "Platebook");

    py::dict tpl = default_config();
    m.attr("DEFAULT_CONFIG") = tpl;
    m.attr("HELP_TEXT") = dorvex::help_with_template(m, HELP_HEAD, tpl);

    m.attr("UNICODE_FONTS") = unicode_fonts();
    define_classes(m);

    m.attr("cmd_platebook") =
        dorvex::make_command(m,
                             {"platebook", "cmd_platebook", m.attr("HELP_TEXT"), nullptr,
                              "Specify the JSON config file path",
                              "Generate a config_platebook_template.json in the current directory"},
                             cmd_platebook);
}
