// The configuration checked before the run: a wrong type, a path with a NUL
// or a cell that names no cell would otherwise surface as a traceback from
// deep inside the run; each is one line naming the key instead.
#include "common/cells.hpp"
#include "common/command.hpp"
#include "tallyrun.hpp"

namespace dorvex {

namespace {

// The cells of the section `name` that the worker reads; other keys have
// been warned about and are left alone.
void check_cells(const Globals& g, py::handle file, const py::dict& config, const char* name,
                 Keys cells) {
    if (!config.contains(name)) return;
    std::string label = std::string("config.") + name;
    py::dict section = check_object(g, file, label, config[name]);
    for (const Key& cell : cells) {
        if (!section.contains(cell.name)) continue;
        py::object value = section[cell.name];
        if (!parse_cell(value))
            config_error(g, file, label + "." + cell.name, CELL_REFERENCE, value);
    }
}

}  // namespace

void check_settings(const Globals& g, py::handle file, py::handle conf) {
    warn_unknown_keys(g, file, "config", conf, keys_of(CONFIG_KEYS));
    py::dict config = check_object(g, file, "config", conf);
    check_path_keys(g, file, config, "config",
                    {"system_data_path", "customer_data_path", "output_dir"});
    check_cells(g, file, config, "system_data", keys_of(SYSTEM_DATA_KEYS));
    check_cells(g, file, config, "customer_data", keys_of(CUSTOMER_DATA_KEYS));
}

}  // namespace dorvex
