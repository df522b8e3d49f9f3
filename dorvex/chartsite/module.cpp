// dorvex.chartsite: Mermaid diagrams and Markdown pages to a small static
// site. This file holds the module level (imports, templates, default
// configuration, command); convert.cpp the worker, index.cpp the index page.
#include "chartsite.hpp"
#include "common/command.hpp"
#include "templates.hpp"

namespace {

using dorvex::g_chartsite;

py::dict default_config() {
    py::dict doc_titles;
    doc_titles["README.md"] = "README (v0.1)";
    doc_titles["test.md"] = "Test MarkDown Document (v0.1)";
    py::dict chart_titles;
    chart_titles["ab.mmd"] = "A to B Flow";
    chart_titles["cd.mmd"] = "C to D Flow";

    py::dict config;
    config["input_folder"] = "./data_chartsite";
    config["output_folder"] = "./data_chartsite/html_out";
    config["index_title"] = "Project Documentation";
    config["doc_titles"] = doc_titles;
    config["chart_titles"] = chart_titles;

    py::dict tpl;
    tpl["config"] = config;
    return tpl;
}

// Wrong types would otherwise surface as tracebacks or odd paths deep in the
// run (os.path.exists(5) tests a file descriptor); absent keys keep their
// defaults.
void check_settings(py::handle file, py::handle conf) {
    const auto& g = g_chartsite;
    py::dict settings = dorvex::check_object(g, file, "config", conf);
    dorvex::check_text_keys(g, file, settings, "config", {"input_folder", "output_folder"}, true);
    dorvex::check_text_keys(g, file, settings, "config", {"index_title"});
    for (const char* key : {"doc_titles", "chart_titles"})
        if (settings.contains(key))
            dorvex::check_text_map(g, file, std::string("config.") + key, settings[key]);
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
    check_settings(config, conf);
    if (auto bad = dorvex::catch_python(PyExc_ValueError, [] { dorvex::render_settings(); })) {
        dorvex::echo(g, "Error: " + dorvex::str(*bad), true);
        dorvex::exit(g, 1);
    }

    std::string line;
    auto failure = dorvex::catch_ordinary([&] {
        py::tuple result(g["MermaidConverter"](conf).attr("run")(config));
        if (result.size() != 2) throw py::value_error("run() must return (success, message)");
        line = std::string("\n[") + (dorvex::truthy(result[0]) ? "DONE" : "WARNING") + "] " +
               dorvex::str(result[1]);
    });
    if (failure) {
        dorvex::echo(g, "\n[ERROR] " + dorvex::str(*failure));
        dorvex::exit(g, 1);
    }
    dorvex::echo(g, line);
}

}  // namespace

PYBIND11_MODULE(chartsite, m) {
    dorvex::import_modules(m, {"os", "subprocess", "sys", "shutil", "click"});
    dorvex::import_optional(m, "HAS_MD",
                            [](py::module_& mod) { dorvex::import_modules(mod, {"markdown"}); });
    dorvex::toolkit::import_into(m, {"fileMg", "app_logging"}, "Chartsite");

    m.attr("PAGE_TEMPLATE") = py::str(dorvex::PAGE_TEMPLATE);
    m.attr("INDEX_TEMPLATE") = py::str(dorvex::INDEX_TEMPLATE);
    m.attr("DEFAULT_CONFIG") = default_config();

    dorvex::init_converter(m);

    m.attr("cmd_chartsite") = dorvex::make_command(
        m,
        {"chartsite", "cmd_chartsite",
         py::str("Convert .mmd and markdown files into static HTML pages."),
         "Command entry point for Chartsite Generator", "Specify the JSON config file path",
         "Generate config_chartsite_template.json"},
        cmd_chartsite);
}
