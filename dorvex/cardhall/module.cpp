// dorvex.cardhall: the card index page command. This file holds the module
// level (imports, templates, command); generate.cpp builds the page.
#include "cardhall.hpp"
#include "common/atomic.hpp"
#include "common/command.hpp"
#include "templates.hpp"

namespace {

using dorvex::g_cardhall;

constexpr const char* TEMPLATE_FILE = "config_cardhall_template.yaml";

// YAML aliases let a file of a few lines stand for values of any size, which
// the page would then spell out. Without aliases the values are no larger
// than the file (a number may grow a little as text), so four times its size
// is a bound no honest card file reaches.
void refuse_alias_bomb(const dorvex::Globals& g, py::handle config, py::handle loaded) {
    std::size_t size = g["os"].attr("path").attr("getsize")(config).cast<std::size_t>();
    std::size_t limit = 4 * size + (1 << 20);
    if (dorvex::expanded_size(loaded, limit) <= limit) return;
    dorvex::echo(g,
                 "Error: " + dorvex::str(config) +
                     ": YAML aliases expand the values to more than " + std::to_string(limit) +
                     " characters",
                 true);
    dorvex::exit(g, 1);
}

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
    refuse_alias_bomb(g, config, loaded);
    if (auto bad = dorvex::find_bad_setting(loaded, true))
        dorvex::config_error(g, config, bad->key, bad->what, bad->value);
    // The page must not replace the card file it is built from.
    dorvex::refuse_overwrite(g, config, "folder_path", dorvex::page_path(loaded), py::tuple());

    py::object result = g["CardhallGenerator"](loaded).attr("run")();
    py::object success = result[py::int_(0)];
    py::object msg = result[py::int_(1)];
    if (dorvex::truthy(success)) {
        dorvex::echo(g, "Done: " + dorvex::str(msg));
        return;
    }
    dorvex::echo(g, "Error: " + dorvex::str(msg), true);
    dorvex::exit(g, 1);
}

}  // namespace

PYBIND11_MODULE(cardhall, m) {
    dorvex::import_modules(m, {"os", "sys", "re", "click"});
    m.attr("load_yaml") = py::module_::import("dorvex.config").attr("load_yaml");
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
