// dorvex.chartsite: Mermaid diagrams and Markdown pages to a small static
// site. This file holds the module level (imports, templates, default
// configuration, command); settings.cpp checks the configuration,
// convert.cpp holds the worker, pages.cpp and index.cpp make the site.
#include "chartsite.hpp"
#include "common/command.hpp"
#include "common/lazy.hpp"
#include "templates.hpp"

namespace {

using dorvex::g_chartsite;

// The renderer's environment settings, checked before anything is made: a
// bad one is one line, status 1.
void check_render_settings() {
    const auto& g = g_chartsite;
    if (auto bad = dorvex::catch_python(PyExc_ValueError, [] { dorvex::render_settings(); })) {
        dorvex::echo(g, "Error: " + dorvex::str(*bad), true);
        dorvex::exit(g, 1);
    }
}

void cmd_chartsite(py::object config, bool generate_config) {
    const auto& g = g_chartsite;
    dorvex::require_libraries(
        g, "HAS_MD", {"Missing Python package 'markdown'. Please run: pip install markdown"});
    if (generate_config)
        dorvex::write_json_template(g, g["DEFAULT_CONFIG"], "config_chartsite_template.json");
    dorvex::require_config(g, config,
                           {"Error: Please provide a JSON file path using --config or -c.",
                            "Hint: Run 'dor-vex chartsite --generate-config' to get a template."});
    py::object conf = dorvex::load_config_section(g, config);
    dorvex::check_settings(g, config, conf);
    check_render_settings();

    // Whatever the constructor or the run raise ends the command with its
    // text after "[ERROR]", on standard output, status 1.
    py::object result;
    auto failure = dorvex::catch_ordinary([&] {
        result = g["MermaidConverter"](conf).attr("run")(config);
        dorvex::unpack_pair(result);
    });
    if (failure) {
        dorvex::echo(g, "\n[ERROR] " + dorvex::error_text(*failure));
        dorvex::exit(g, 1);
    }
    // Nothing to convert is a warning, not a failure: status 0 either way.
    dorvex::finish_run(g, result, {"\n[DONE] ", "\n[WARNING] ", false, 0});
}

}  // namespace

PYBIND11_MODULE(chartsite, m) {
    dorvex::import_modules(m, {"os", "subprocess", "sys", "shutil", "click"});
    // Markdown is loaded when a page is converted, not for a template or --help
    dorvex::bind_on_first_use(m, {"markdown"},
                              [](py::module_& mod) { dorvex::import_modules(mod, {"markdown"}); });
    m.attr("HAS_MD") = dorvex::importable({"markdown"});
    dorvex::toolkit::import_into(m, {"fileMg", "app_logging"}, "Chartsite");

    m.attr("PAGE_TEMPLATE") = py::str(dorvex::PAGE_TEMPLATE);
    m.attr("INDEX_TEMPLATE") = py::str(dorvex::INDEX_TEMPLATE);
    m.attr("DEFAULT_CONFIG") = dorvex::template_of(dorvex::keys_of(dorvex::SETTINGS));

    dorvex::init_converter(m);

    m.attr("cmd_chartsite") = dorvex::make_command(
        m,
        {"chartsite", "cmd_chartsite",
         py::str("Convert .mmd and markdown files into static HTML pages."),
         "Command entry point for Chartsite Generator", "Specify the JSON config file path",
         "Generate config_chartsite_template.json"},
        cmd_chartsite);
}
