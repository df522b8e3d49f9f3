// dorvex.notepress: exported Markdown notes to self-contained HTML pages. This
// file holds the module level (imports, template, command); settings.cpp
// checks the configuration, convert.cpp does the work.
#include "common/command.hpp"
#include "common/lazy.hpp"
#include "notepress.hpp"
#include "templates.hpp"

namespace {

using dorvex::g_notepress;

void cmd_notepress(py::object config, bool generate_config) {
    const auto& g = g_notepress;
    dorvex::require_libraries(
        g, "HAS_MD", {"Missing Python package 'markdown'. Please run: pip install markdown"});
    if (generate_config)
        dorvex::write_json_template(g, g["DEFAULT_CONFIG"], "config_notepress_template.json");
    dorvex::require_config(
        g, config,
        {"Error: Please provide a JSON file path using --config or -c.",
         "Hint: Run 'python -m dorvex notepress --generate-config' to get a template."});

    py::object settings = dorvex::load_config_section(g, config);
    dorvex::check_settings(g, config, settings);
    py::object result = g["NotepressConverter"](settings).attr("run")(config);
    dorvex::finish_run(g, result, {"Done: ", "Error: ", true, 1});
}

}  // namespace

PYBIND11_MODULE(notepress, m) {
    dorvex::import_modules(m, {"os", "sys", "base64", "re"});
    py::module_::import("urllib.parse");
    dorvex::import_modules(m, {"urllib", "click"});
    m.attr("Path") = py::module_::import("pathlib").attr("Path");
    // Markdown is loaded when a note is converted, not for a template or --help
    dorvex::bind_on_first_use(m, {"markdown"},
                              [](py::module_& mod) { dorvex::import_modules(mod, {"markdown"}); });
    m.attr("HAS_MD") = dorvex::importable({"markdown"});
    dorvex::toolkit::import_into(m, {"fileMg", "app_logging"}, "Notepress");

    m.attr("DEFAULT_CONFIG") = dorvex::template_of(dorvex::keys_of(dorvex::SETTINGS));
    m.attr("PAGE_TEMPLATE") = py::str(dorvex::PAGE_TEMPLATE);

    dorvex::init_converter(m);

    m.attr("cmd_notepress") = dorvex::make_command(
        m,
        {"notepress", "cmd_notepress", py::str("Convert Notion exported .md files to HTML pages."),
         "Command entry point for Notepress Generator", "Specify the JSON config file path",
         "Generate config_notepress_template.json"},
        cmd_notepress);
}
