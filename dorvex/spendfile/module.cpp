// dorvex.spendfile: the expense workbook renaming command. This file holds the
// module level (imports, template, help text, command); settings.cpp checks
// the configuration, rename.cpp does the work.
#include "common/command.hpp"
#include "common/lazy.hpp"
#include "spendfile.hpp"

namespace {

using dorvex::g_spendfile;

// The "\b" lines keep click from re-wrapping the paragraph that follows.
constexpr const char* HELP_HEAD =
    "\n"
    "Read information from Excel and auto-renfiles. \n"
    "This tool relies entirely on a JSON configuration file.\n"
    "\n"
    "\b\n"
    "[JSON Parameter Description]:\n"
    "* config.path         : (String) Directory path containing the target Excel files.\n"
    "* config.dry_run      : (Boolean) Set to True to preview renamed files without actually "
    "moving them.\n"
    "* excel_in.name_cell  : (String) The exact cell coordinate for the Name (e.g., \"D6\").\n"
    "* excel_in.amount_cell: (String) The exact cell coordinate for the Amount (e.g., "
    "\"P56\").\n"
    "\n"
    "\b\n"
    "[Default config.json Template]:\n";

void cmd_spendfile(py::object config, bool generate_config) {
    const auto& g = g_spendfile;
    if (generate_config)
        dorvex::write_json_template(g, g["DEFAULT_CONFIG"], "config_expense_template.json");
    dorvex::require_config(g, config,
                           {"Error: Please provide a JSON file path using --config or -c.",
                            "Hint: Run 'dor-vex spend-file --help' to see the template."});
    py::dict cfg_data = dorvex::read_json_object(g, config);
    dorvex::check_settings(g, config, cfg_data);
    // Nothing renamed for want of the library or the folders: status 1.
    if (!dorvex::rename_expenses(cfg_data)) dorvex::exit(g, 1);
}

}  // namespace

PYBIND11_MODULE(spendfile, m) {
    dorvex::import_modules(m, {"os", "re", "sys", "json", "click", "datetime"});
    m.attr("Path") = py::module_::import("pathlib").attr("Path");
    // openpyxl is loaded when a workbook is read, not for a template
    dorvex::bind_on_first_use(m, {"load_workbook", "HAS_OPENPYXL"}, [](py::module_& mod) {
        dorvex::import_optional(mod, "HAS_OPENPYXL", [](py::module_& lib) {
            lib.attr("load_workbook") = py::module_::import("openpyxl").attr("load_workbook");
        });
    });
    dorvex::toolkit::import_into(m, {"app_logging", "fileMg"}, "Spendfile");

    py::dict tpl = dorvex::template_of(dorvex::keys_of(dorvex::SETTINGS));
    m.attr("DEFAULT_CONFIG") = tpl;
    m.attr("HELP_TEXT") = dorvex::help_with_template(m, HELP_HEAD, tpl);

    m.attr("cmd_spendfile") =
        dorvex::make_command(m,
                             {"spend-file", "cmd_spendfile", m.attr("HELP_TEXT"), nullptr,
                              "Specify the JSON config file path",
                              "Generate a config_expense_template.json in the current directory"},
                             cmd_spendfile);

    dorvex::init_rename(m);
}
