// dorvex.platebook: the PDF lab report command. This file holds the module
// level (imports, template, help text, command); settings.cpp checks the
// configuration, the worker's work is in discovery.cpp, layout.cpp,
// render.cpp, text.cpp and fonts.cpp.
#include "common/command.hpp"
#include "common/lazy.hpp"
#include "platebook.hpp"

namespace {

using dorvex::g_platebook;

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

// Without fpdf or Pillow: the three documented lines, status 1.
void require_pdf_libraries(const dorvex::Globals& g) {
    dorvex::require_libraries(
        g, "HAS_PDF_LIBS",
        {"Missing required packages for PDF generation.",
         "Please reinstall with the PDF feature enabled:", "--> pip install Dorvex[pdf]"});
}

void cmd_platebook(py::object config, bool generate_config) {
    const auto& g = g_platebook;
    require_pdf_libraries(g);
    if (generate_config)
        dorvex::write_json_template(g, g["DEFAULT_CONFIG"], "config_platebook_template.json");
    dorvex::require_config(g, config,
                           {"Error: Please provide a JSON file path using --config or -c.",
                            "Hint: Run 'dor-vex platebook --help' to see the template."});

    py::dict data = dorvex::read_json_object(g, config);
    dorvex::check_settings(g, config, data);
    // The libraries are loaded now; one that is installed but cannot be
    // loaded counts as missing.
    py::getattr(g.module(), "LabReport");
    require_pdf_libraries(g);
    auto section = [&](const char* name) {
        return dorvex::setting(data, dorvex::keys_of(dorvex::SETTINGS), name);
    };
    py::object report =
        g["ReportGenerator"](section("config"), section("main_page"), section("groups"));
    report.attr("generate")(config);
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

}  // namespace

PYBIND11_MODULE(platebook, m) {
    dorvex::import_modules(m, {"os", "math", "json", "sys", "click"});
    // fpdf and Pillow are loaded when a report is made, not for a template,
    // the help or a configuration error; whether they are installed is
    // known without loading them.
    dorvex::bind_on_first_use(m, {"FPDF", "Image", "LabReport"}, dorvex::bind_pdf_classes);
    dorvex::bind_on_first_use(m, {"HAS_PDF_LIBS"}, [](py::module_& mod) {
        mod.attr("HAS_PDF_LIBS") = dorvex::importable({"fpdf", "PIL"});
    });
    dorvex::toolkit::import_into(m, {"app_logging", "fileMg", "parseTools"}, "Platebook");

    py::dict tpl = dorvex::template_of(dorvex::keys_of(dorvex::SETTINGS));
    m.attr("DEFAULT_CONFIG") = tpl;
    m.attr("HELP_TEXT") = dorvex::help_with_template(m, HELP_HEAD, tpl);

    m.attr("UNICODE_FONTS") = unicode_fonts();
    dorvex::init_report_generator(m);

    m.attr("cmd_platebook") =
        dorvex::make_command(m,
                             {"platebook", "cmd_platebook", m.attr("HELP_TEXT"), nullptr,
                              "Specify the JSON config file path",
                              "Generate a config_platebook_template.json in the current directory"},
                             cmd_platebook);
}
