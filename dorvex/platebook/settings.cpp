// Configuration checks made before any work, so that a value that would crash
// the run or draw nonsense gets one clear error line instead.
#include "common/command.hpp"
#include "platebook.hpp"

namespace dorvex {

namespace {

constexpr long MAX_COLS = 36;  // the most 5 mm gutters that leave a column of 180 mm some width

std::string mm(double value) { return format(py::float_(value), ".1f"); }

}  // namespace

void check_settings(const Globals& g, py::handle file, py::handle cfg, py::handle main_page,
                    py::handle groups) {
    check_object(g, file, "config", cfg);
    check_object(g, file, "main_page", main_page);
    if (!py::isinstance<py::list>(groups))
        config_error(g, file, "groups", "an array of objects", groups);

    py::dict conf = py::reinterpret_borrow<py::dict>(cfg);
    check_text_keys(g, file, conf, "config", {"image_folder", "file_prefix"});
    check_text_keys(g, file, conf, "config", {"output_file"}, true);
    py::object get = cfg.attr("get");
    // Lengths in mm: the page height must be positive, the others at least 0.
    auto length = [&](const char* key, int fallback, bool positive) {
        std::string label = std::string("config.") + key;
        py::object value = check_number(g, file, label, get(key, fallback),
                                        positive ? Need::positive_number : Need::number);
        if (value.cast<double>() < 0) config_error(g, file, label, "a number of at least 0", value);
        return value.cast<double>();
    };
    double page_h = length("page_height", 297, true);
    double top_m = length("top_margin", 15, false);
    double btm_m = length("bottom_margin", 15, false);
    double title_buffer = length("title_buffer", 25, false);
    double row_gap = length("row_gap", 10, false);
    double usable = page_h - top_m - btm_m;
    if (usable <= 0)
        config_error(g, file, "config.page_height",
                     "more than top_margin + bottom_margin (" + mm(top_m + btm_m) + ")",
                     get("page_height", 297));

    long index = 0;
    for (py::handle group : groups) {
        std::string label = "groups[" + std::to_string(index++) + "]";
        check_object(g, file, label, group);
        py::object gget = group.attr("get");
        py::object name = gget("name");
        if (!py::isinstance<py::str>(name))
            config_error(g, file, label + ".name", "a string", name);
        check_text_keys(g, file, py::reinterpret_borrow<py::dict>(group), label, {"pattern"});

        py::object cols = check_number(g, file, label + ".cols_per_row", gget("cols_per_row", 1),
                                       Need::positive_integer);
        if (cols.cast<double>() > MAX_COLS)
            config_error(g, file, label + ".cols_per_row",
                         "at most " + std::to_string(MAX_COLS) + ", so that columns keep a width",
                         cols);
        py::object per_page = check_number(g, file, label + ".experiments_per_page",
                                           gget("experiments_per_page", 1), Need::positive_number);
        double budget = usable / per_page.cast<double>();
        if (budget - title_buffer - row_gap <= 0)
            config_error(g, file, label + ".experiments_per_page",
                         "small enough to leave group \"" + str(name) +
                             "\" room for a row of images (its share " + mm(usable) + " / " +
                             str(per_page) + " = " + mm(budget) +
                             " mm must exceed title_buffer + row_gap = " +
                             mm(title_buffer + row_gap) + " mm)",
                         per_page);
    }
}

}  // namespace dorvex
