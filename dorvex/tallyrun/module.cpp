// dorvex.tallyrun: matches system order lines (CSV) against a customer
// workbook. This file holds the module level (imports, command); settings.cpp
// checks the configuration, tallyrun.cpp and pipeline.cpp do the work.
#include "common/command.hpp"
#include "common/lazy.hpp"
#include "tallyrun.hpp"

namespace {

using dorvex::g_tallyrun;

void cmd_tallyrun(py::object config, bool generate_config) {
    const auto& g = g_tallyrun;
    py::dict tpl = dorvex::template_of(dorvex::keys_of(dorvex::SETTINGS));
    if (generate_config)
        dorvex::write_json_template(g, tpl, "config_tallyrun_template.json", "Template created: ");
    dorvex::require_config(g, config, {"Error: Please provide a JSON config file using -c."});
    py::object cfg = dorvex::load_config_section(g, config);
    dorvex::check_settings(g, config, cfg);
    py::object result = g["Tallyrun"](cfg).attr("run")("config_file"_a = config);
    // A run that produced nothing is a failure for scripts too: status 1.
    dorvex::finish_run(g, result, dorvex::Report{"Success: ", "Failed: ", false, 1});
}

}  // namespace

PYBIND11_MODULE(tallyrun, m) {
    dorvex::import_modules(m, {"os", "sys", "click"});
    // pandas, and the toolkit part that needs it, are loaded when tables are
    // read, not for a template, --help or a configuration error
    dorvex::bind_on_first_use(m, {"pd"}, [](py::module_& mod) {
        py::module_ pd = py::module_::import("pandas");
        pd.attr("set_option")("future.no_silent_downcasting", true);
        mod.attr("pd") = pd;
    });
    dorvex::toolkit::import_submodules(m, {"fileMg", "app_logging"});
    dorvex::bind_on_first_use(m, {"excelTools"}, [](py::module_& mod) {
        py::getattr(mod, "pd");  // the option is set before the toolkit makes a table
        dorvex::toolkit::import_submodules(mod, {"excelTools"});
    });
    dorvex::toolkit::import_into(m, {"dataIO"}, "Tallyrun");

    dorvex::init_tallyrun(m);

    m.attr("cmd_tallyrun") = dorvex::make_command(
        m,
        {"tally-run", "cmd_tallyrun", py::str("Tally Run: Data processing and SOP generator."),
         nullptr, "Path to JSON config file", "Generate config_tallyrun_template.json"},
        cmd_tallyrun);
}
