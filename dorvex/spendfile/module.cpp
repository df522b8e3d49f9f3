// dorvex.spendfile: the expense workbook renaming command. This file holds the
// module level (imports, template, help text, command); rename.cpp does the work.
#include "common/command.hpp"
#include "spendfile.hpp"

namespace {

using dorvex::g_spendfile;

py::dict default_config() {
    py::dict config;
    config["path"] = "./data_spendfile";
    config["dry_run"] = false;
    py::dict excel_in;
    excel_in["name_cell"] = "D6";
    excel_in["amount_cell"] = "P56";
    py::dict tpl;
    tpl["config"] = config;
    tpl["excel_in"] = excel_in;
    return tpl;
}

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

// Wrong types and a missing folder get one line naming the file and the key
// here, before any workbook is touched. "dry_run" takes any value: only a
// text form "true" switches it on.
void check_config(const dorvex::Globals& g, py::handle file, const py::dict& data) {
    py::object empty = py::dict();
    py::object sections[2];
    const char* names[2] = {"config", "excel_in"};
    for (int i = 0; i < 2; ++i) {
        sections[i] = dorvex::check_object(g, file, names[i], data.attr("get")(names[i], empty));
    }
    for (const char* key : {"name_cell", "amount_cell"}) {
        py::object cell = sections[1].attr("get")(key, "");
        if (!py::isinstance<py::str>(cell))
            dorvex::config_error(g, file, std::string("excel_in.") + key, "a cell name such as D6",
                                 cell);
    }
    py::object path = sections[0].attr("get")("path", "./data_spendfile");
    if (!py::isinstance<py::str>(path) || !dorvex::truthy(g["os"].attr("path").attr("isdir")(path)))
        dorvex::config_error(g, file, "config.path", "an existing folder", path);
}

void cmd_spendfile(py::object config, bool generate_config) {
    const auto& g = g_spendfile;
    if (generate_config)
        dorvex::write_json_template(g, g["DEFAULT_CONFIG"], "config_expense_template.json");
    dorvex::require_config(g, config,
                           {"Error: Please provide a JSON file path using --config or -c.",
                            "Hint: Run 'dor-vex spend-file --help' to see the template."});
    py::dict cfg_data = dorvex::read_json_object(g, config);
    check_config(g, config, cfg_data);
    // Nothing renamed for want of the library or the folders: status 1.
    if (!dorvex::rename_expenses(cfg_data)) dorvex::exit(g, 1);
}

}  // namespace

PYBIND11_MODULE(spendfile, m) {
    dorvex::import_modules(m, {"os", "re", "sys", "json", "click", "datetime"});
    m.attr("Path") = py::module_::import("pathlib").attr("Path");
    dorvex::import_optional(m, "HAS_OPENPYXL", [](py::module_& mod) {
        mod.attr("load_workbook") = py::module_::import("openpyxl").attr("load_workbook");
    });
    dorvex::toolkit::import_into(m, {"app_logging", "fileMg"}, "Spendfile");

    py::dict tpl = default_config();
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
