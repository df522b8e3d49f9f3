// dorvex.leafmix: the N-up PDF merge command. This file holds the module
// level (imports, template, command); leafmix.hpp declares the worker.
#include "common/command.hpp"
#include "leafmix.hpp"

namespace {

using dorvex::g_leafmix;

py::dict default_config() {
    py::dict layout;
    layout["cols"] = 2;
    layout["rows"] = 2;
    layout["landscape"] = false;

    py::dict config;
    config["input_folder"] = "./data_leafmix";
    config["output_file"] = "./data_leafmix/merged_report.pdf";
    config["layout"] = layout;
    config["page_size"] = "A4";
    config["margin"] = 20;
    config["debug_grid"] = false;

    py::dict tpl;
    tpl["config"] = config;
    return tpl;
}

void cmd_leafmix(py::object config, bool generate_config) {
    const auto& g = g_leafmix;
    dorvex::require_libraries(
        g, "HAS_PDF_LIBS",
        {"Missing required packages for PDF processing.",
         "Please reinstall with the correct dependencies or run: pip install pypdf"});
    if (generate_config)
        dorvex::write_json_template(g, g["DEFAULT_CONFIG"], "config_leafmix_template.json");
    dorvex::require_config(g, config,
                           {"Error: Please provide a JSON file path using --config or -c.",
                            "Hint: Run 'dorvex leaf-mix --generate-config' to get a template."});

    py::object conf = dorvex::load_config_section(g, config);
    dorvex::check_settings(g, config, conf);
    py::object mixer = g["Leafmixer"](conf);
    // a replacement class from a caller may have no C++ side
    if (py::isinstance<dorvex::Leafmixer>(mixer))
        mixer.cast<dorvex::Leafmixer&>().config_file = config;
    // Nothing to merge or a failed save: the run produced no document.
    if (!dorvex::truthy(mixer.attr("run")())) dorvex::exit(g, 1);
}

}  // namespace

PYBIND11_MODULE(leafmix, m) {
    dorvex::import_modules(m, {"os", "sys", "click"});
    dorvex::import_optional(m, "HAS_PDF_LIBS", [](py::module_& mod) {
        // both modules import before any name is bound: all names or none
        py::module_ pypdf = py::module_::import("pypdf");
        py::module_ generic = py::module_::import("pypdf.generic");
        for (const char* name :
             {"PdfReader", "PdfWriter", "PageObject", "Transformation", "PaperSize"})
            mod.attr(name) = pypdf.attr(name);
        for (const char* name : {"NameObject", "DictionaryObject", "StreamObject"})
            mod.attr(name) = generic.attr(name);
    });
    dorvex::toolkit::import_into(m, {"fileMg", "app_logging"}, "Leafmix");

    m.attr("DEFAULT_CONFIG") = default_config();

    dorvex::init_leafmixer(m);

    m.attr("cmd_leafmix") =
        dorvex::make_command(m,
                             {"leaf-mix", "cmd_leafmix",
                              py::str("Merge multiple PDF files into a single layout report."),
                              nullptr, "Specify the JSON config file path",
                              "Generate a config_leafmix_template.json in the current directory"},
                             cmd_leafmix);
}
