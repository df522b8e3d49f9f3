// dorvex.notepress: exported Markdown notes to self-contained HTML pages. This
// file holds the module level (imports, template, command); notepress.hpp
// declares the worker.
#include "common/command.hpp"
#include "notepress.hpp"
#include "templates.hpp"

namespace {

using dorvex::g_notepress;

py::dict default_config() {
    py::dict config;
    config["input_path"] = "./";
    config["output_path"] = "./";
    config["embed_images"] = true;
    config["watermark_enable"] = false;
    config["watermark_text"] = "CONFIDENTIAL";
    py::dict tpl;
    tpl["config"] = config;
    return tpl;
}

// The settings are used as they come, but a value of the wrong kind would
// fail every file (or the whole run with a traceback); one line says which.
void check_settings(const dorvex::Globals& g, py::handle file, py::handle settings) {
    py::dict dict = dorvex::check_object(g, file, "config", settings);
    dorvex::check_text_keys(g, file, dict, "config",
                            {"input_path", "output_path", "watermark_text"});
    // Switches go by truth value (0 and null are off), but the text "false"
    // would be on.
    for (const char* key : {"embed_images", "watermark_enable"}) {
        if (!dict.contains(key)) continue;
        py::object value = dict[key];
        if (py::isinstance<py::str>(value) || py::isinstance<py::list>(value) ||
            py::isinstance<py::dict>(value))
            dorvex::config_error(g, file, std::string("config.") + key, "true or false", value);
    }
}

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
    check_settings(g, config, settings);
    py::object result = g["NotepressConverter"](settings).attr("run")(config);
    auto [ok, message] = dorvex::unpack_pair(result);
    if (dorvex::truthy(ok)) {
        dorvex::echo(g, "Done: " + dorvex::str(message));
        return;
    }
    dorvex::echo(g, "Error: " + dorvex::str(message), true);
    dorvex::exit(g, 1);
}

}  // namespace

PYBIND11_MODULE(notepress, m) {
    dorvex::import_modules(m, {"os", "sys", "base64", "re"});
    py::module_::import("urllib.parse");
    dorvex::import_modules(m, {"urllib", "click"});
    m.attr("Path") = py::module_::import("pathlib").attr("Path");
    dorvex::import_optional(m, "HAS_MD",
                            [](py::module_& mod) { dorvex::import_modules(mod, {"markdown"}); });
    dorvex::toolkit::import_into(m, {"fileMg", "app_logging"}, "Notepress");

    m.attr("DEFAULT_CONFIG") = default_config();
    m.attr("PAGE_TEMPLATE") = py::str(dorvex::PAGE_TEMPLATE);

    dorvex::init_converter(m);

    m.attr("cmd_notepress") = dorvex::make_command(
        m,
        {"notepress", "cmd_notepress", py::str("Convert Notion exported .md files to HTML pages."),
         "Command entry point for Notepress Generator", "Specify the JSON config file path",
         "Generate config_notepress_template.json"},
        cmd_notepress);
}
