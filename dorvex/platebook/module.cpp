// dorvex.platebook: the PDF lab report command. This file holds the module
// level (imports, template, help text, command); report.hpp declares the
// worker and page classes.
#include "common/command.hpp"
#include "report.hpp"

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
    if (!dorvex::truthy(g["HAS_PDF_LIBS"])) {
        dorvex::log(g, "error", "Missing required packages for PDF generation.");
        dorvex::log(g, "error", "Please reinstall with the PDF feature enabled:");
        dorvex::log(g, "error", "--> pip install Dorvex[pdf]");
        dorvex::exit(g, 1);
    }
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
    g["ReportGenerator"](cfg, main_page, groups).attr("generate")();
}

}  // namespace

PYBIND11_MODULE(platebook, m) {
    for (const char* name : {"os", "math", "json", "sys", "click"})
        m.attr(name) = py::module_::import(name);

    try {
        m.attr("FPDF") = py::module_::import("fpdf").attr("FPDF");
        m.attr("Image") = py::module_::import("PIL.Image");
        m.attr("HAS_PDF_LIBS") = true;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        m.attr("FPDF") = py::module_::import("builtins").attr("object");
        if (py::hasattr(m, "Image")) py::delattr(m, "Image");
        m.attr("HAS_PDF_LIBS") = false;
    }

    py::module_ corvalib = py::module_::import("corvalib");
    for (const char* name : {"app_logging", "fileMg", "parseTools"})
        m.attr(name) = py::module_::import((std::string("corvalib.") + name).c_str());
    (void)corvalib;
    m.attr("log") = m.attr("app_logging").attr("lazy_logger")("Platebook");

    py::dict tpl = default_config();
    m.attr("DEFAULT_CONFIG") = tpl;
    m.attr("HELP_TEXT") = py::str(HELP_HEAD) +
                          py::str(m.attr("json").attr("dumps")(tpl, "indent"_a = 4,
                                                               "ensure_ascii"_a = false)) +
                          py::str("\n");

    dorvex::init_report(m);

    m.attr("cmd_platebook") = dorvex::make_command(
        m,
        {"platebook", "cmd_platebook", m.attr("HELP_TEXT"), nullptr,
         "Specify the JSON config file path",
         "Generate a config_platebook_template.json in the current directory"},
        cmd_platebook);
}
