// dorvex.cardhall: the card index page command. This file holds the module
// level (imports, templates, command); generate.cpp builds the page.
#include "cardhall.hpp"
#include "common/command.hpp"
#include "common/lazy.hpp"
#include "templates.hpp"

namespace {

using dorvex::g_cardhall;

constexpr const char* TEMPLATE_FILE = "config_cardhall_template.yaml";

void cmd_cardhall(py::object config, bool generate_config) {
    const auto& g = g_cardhall;
    if (generate_config) dorvex::write_text_template(g, g["DEFAULT_YAML_CONTENT"], TEMPLATE_FILE);
    dorvex::require_config(g, config,
                           {"Error: Please provide a YAML file path using --config or -c.",
                            "Hint: Run 'dorvex card-hall --generate-config' to get a template."});

    // The loader says why a file cannot be used; no page means status 1.
    dorvex::require_regular_file(g, config);
    py::object loaded = g["load_yaml"](config);
    if (loaded.is_none()) dorvex::exit(g, 1);
    dorvex::check_settings(g, config, loaded);
    py::object result = g["CardhallGenerator"](loaded).attr("run")(config);
    dorvex::finish_run(g, result, {"Done: ", "Error: ", true, 1});
}

}  // namespace

PYBIND11_MODULE(cardhall, m) {
    dorvex::import_modules(m, {"os", "sys", "re", "click"});
    // PyYAML is loaded when a card file is read, not for the template
    dorvex::bind_on_first_use(m, {"load_yaml"}, [](py::module_& mod) {
        mod.attr("load_yaml") = py::module_::import("dorvex.config").attr("load_yaml");
    });
    dorvex::toolkit::import_into(m, {"app_logging"}, "Cardhall");

    m.attr("DEFAULT_YAML_CONTENT") = dorvex::cardhall::DEFAULT_YAML_CONTENT;
    m.attr("INDEX_TEMPLATE") = dorvex::cardhall::INDEX_TEMPLATE;
    m.attr("CARD_TEMPLATE") = dorvex::cardhall::CARD_TEMPLATE;

    dorvex::init_generator(m);

    m.attr("cmd_cardhall") = dorvex::make_command(
        m,
        {"card-hall", "cmd_cardhall",
         py::str("Generate an HTML index page from a YAML configuration file."), nullptr,
         "Specify the YAML config file path", "Generate config_cardhall_template.yaml"},
        cmd_cardhall);
}
