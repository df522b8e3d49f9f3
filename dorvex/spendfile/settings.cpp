// The configuration checked before any workbook is touched: wrong types, cells
// that name no cell and a missing folder are one line naming the key.
#include "common/cells.hpp"
#include "common/command.hpp"
#include "spendfile.hpp"

namespace dorvex {

void check_settings(const Globals& g, py::handle file, py::handle conf) {
    py::dict data = check_object(g, file, "the top level", conf);
    warn_unknown_keys(g, file, "", data, keys_of(SETTINGS));
    py::dict config = check_object(g, file, "config", setting(data, keys_of(SETTINGS), "config"));
    py::dict excel_in =
        check_object(g, file, "excel_in", setting(data, keys_of(SETTINGS), "excel_in"));
    for (const char* key : {"name_cell", "amount_cell"}) {
        py::object cell = setting(excel_in, keys_of(EXCEL_IN_KEYS), key);
        if (!parse_cell(cell))
            config_error(g, file, std::string("excel_in.") + key, CELL_REFERENCE, cell);
    }
    py::object path = setting(config, keys_of(CONFIG_KEYS), "path");
    if (!py::isinstance<py::str>(path) || !truthy(g["os"].attr("path").attr("isdir")(path)))
        config_error(g, file, "config.path", "an existing folder", path);
}

}  // namespace dorvex
