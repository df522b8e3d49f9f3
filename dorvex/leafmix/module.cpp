// dorvex.leafmix: the N-up PDF merge command. This file holds the module
// level (imports, template, command); leafmix.hpp declares the worker and
// its settings.
#include "common/command.hpp"
#include "common/lazy.hpp"
#include "leafmix.hpp"

namespace {

using dorvex::g_leafmix;

// Both modules import before any name is bound: all names or none.
void bind_pypdf(py::module_& m) {
    py::module_ pypdf = py::module_::import("pypdf");
    py::module_ generic = py::module_::import("pypdf.generic");
    for (const char* name : {"PdfReader", "PdfWriter", "PageObject", "Transformation", "PaperSize"})
        m.attr(name) = pypdf.attr(name);
    for (const char* name : {"NameObject", "DictionaryObject", "StreamObject"})
        m.attr(name) = generic.attr(name);
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
    // Nothing to merge or a failed save: the run produced no document.
    if (!dorvex::truthy(g["Leafmixer"](conf).attr("run")(config))) dorvex::exit(g, 1);
}

}  // namespace

PYBIND11_MODULE(leafmix, m) {
    dorvex::import_modules(m, {"os", "sys", "click"});
    // pypdf is loaded when a document is read or made, not for a template
    m.attr("HAS_PDF_LIBS") = dorvex::importable({"pypdf"});
    dorvex::bind_on_first_use(m,
                              {"PdfReader", "PdfWriter", "PageObject", "Transformation",
                               "PaperSize", "NameObject", "DictionaryObject", "StreamObject"},
                              bind_pypdf);
    dorvex::toolkit::import_into(m, {"fileMg", "app_logging"}, "Leafmix");

    m.attr("DEFAULT_CONFIG") = dorvex::template_of(dorvex::keys_of(dorvex::SETTINGS));

    dorvex::init_leafmixer(m);

    m.attr("cmd_leafmix") =
        dorvex::make_command(m,
                             {"leaf-mix", "cmd_leafmix",
                              py::str("Merge multiple PDF files into a single layout report."),
                              nullptr, "Specify the JSON config file path",
                              "Generate a config_leafmix_template.json in the current directory"},
                             cmd_leafmix);
}
