// dorvex.tallyrun: matches system order lines (CSV) against a customer
// workbook. This file holds the module level (imports, template, command);
// tallyrun.hpp declares the worker.
#include <vector>

#include "common/cells.hpp"
#include "common/command.hpp"
#include "tallyrun.hpp"

namespace {

using dorvex::g_tallyrun;

py::dict default_cfg_template() {
    py::dict system_data;
    system_data["po_cell"] = "H2";
    system_data["so_cell"] = "I2";
    system_data["so_pos_cell"] = "J2";
    system_data["so_suffix_cell"] = "K2";
    system_data["qty_cell"] = "L2";
    system_data["rdd_cell"] = "Q2";

    py::dict customer_data;
    customer_data["po_cell"] = "F3";
    customer_data["qty_cell"] = "O3";
    customer_data["rdd_cell"] = "R3";

    py::dict config;
    config["system_data_path"] = "./data_tallyrun/system_data.csv";
    config["customer_data_path"] = "./data_tallyrun/customer_data.xlsx";
    config["output_dir"] = "./data_tallyrun/out";
    config["system_data"] = system_data;
    config["customer_data"] = customer_data;

    py::dict tpl;
    tpl["config"] = config;
    return tpl;
}

// A wrong type would otherwise surface as a traceback from deep inside the
// run; each is one error line naming the key instead.
void check_config(const dorvex::Globals& g, py::handle file, py::handle cfg) {
    py::dict config = dorvex::check_object(g, file, "config", cfg);
    dorvex::check_text_keys(g, file, config, "config",
                            {"system_data_path", "customer_data_path", "output_dir"});
    for (const char* section : {"system_data", "customer_data"}) {
        if (!config.contains(section)) continue;
        std::string label = std::string("config.") + section;
        py::dict cells = dorvex::check_object(g, file, label, config[section]);
        for (auto item : cells)
            if (!dorvex::parse_cell(item.second))
                dorvex::config_error(g, file, label + "." + dorvex::str(item.first),
                                     dorvex::CELL_REFERENCE, item.second);
    }
}

// Neither workbook the run writes may replace the system CSV, the customer
// workbook (a user may feed an earlier result back in) or the configuration.
// The paths are those the run will use, found without creating the folder.
void refuse_overwrites(const dorvex::Globals& g, py::handle file, py::handle cfg) {
    py::list inputs;
    inputs.append(cfg.attr("get")("system_data_path", ""));
    inputs.append(cfg.attr("get")("customer_data_path", ""));
    py::object path = g["os"].attr("path");
    py::object folder = cfg.attr("get")("output_dir", "out");
    if (!dorvex::truthy(folder)) folder = py::str(".");
    std::vector<const char*> outputs{"result.xlsx"};
    if (dorvex::str(g["os"].attr("environ").attr("get")("QRV", "")) == "1")
        outputs.push_back("debug_data.xlsx");
    for (const char* name : outputs)
        dorvex::refuse_overwrite(g, file, "output_dir", path.attr("join")(folder, name), inputs);
}

void cmd_tallyrun(py::object config, bool generate_config) {
    const auto& g = g_tallyrun;
    py::dict tpl = default_cfg_template();
    if (generate_config)
        dorvex::write_json_template(g, tpl, "config_tallyrun_template.json", "Template created: ");
    dorvex::require_config(g, config, {"Error: Please provide a JSON config file using -c."});

    py::object cfg = dorvex::load_config_section(g, config);
    check_config(g, config, cfg);
    refuse_overwrites(g, config, cfg);
    py::object result = g["Tallyrun"](cfg).attr("run")();

    py::list pair(result);
    if (pair.size() != 2)
        throw py::value_error("run() must return (success, message), got " +
                              dorvex::str(py::repr(result)));
    py::object msg = pair[1];
    if (dorvex::truthy(pair[0])) {
        dorvex::echo(g, "Success: " + dorvex::str(msg));
        return;
    }
    // A run that produced nothing is a failure for scripts too.
    dorvex::echo(g, "Failed: " + dorvex::str(msg));
    dorvex::exit(g, 1);
}

}  // namespace

PYBIND11_MODULE(tallyrun, m) {
    dorvex::import_modules(m, {"os", "sys", "click"});
    m.attr("pd") = py::module_::import("pandas");
    m.attr("pd").attr("set_option")("future.no_silent_downcasting", true);
    dorvex::toolkit::import_into(m, {"fileMg", "app_logging", "excelTools", "dataIO"}, "Tallyrun");

    dorvex::init_tallyrun(m);

    m.attr("cmd_tallyrun") = dorvex::make_command(
        m,
        {"tally-run", "cmd_tallyrun", py::str("Tally Run: Data processing and SOP generator."),
         nullptr, "Path to JSON config file", "Generate config_tallyrun_template.json"},
        cmd_tallyrun);
}
