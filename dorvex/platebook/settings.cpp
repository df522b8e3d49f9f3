// Configuration checks made before any work, so that a value that would crash
// the run or draw nonsense gets one clear error line instead.
#include "common/command.hpp"
#include "platebook.hpp"

namespace dorvex {

namespace {

std::string mm(double value) { return format(py::float_(value), ".1f"); }

// The three sections, each present and not empty; else the documented line,
// naming the file, and status 1.
void require_sections(const Globals& g, py::handle file, const py::dict& data) {
    for (const char* name : {"config", "main_page", "groups"})
        if (!truthy(setting(data, keys_of(SETTINGS), name))) {
            log(g, "error",
                printable(file) +
                    ": Invalid configuration format. Missing 'config', 'main_page', or 'groups'.");
            exit(g, 1);
        }
}

// A length in mm of the "config" section: a number of at least 0, above 0
// when `positive`.
double length(const Globals& g, py::handle file, const py::dict& conf, const char* key,
              bool positive) {
    std::string label = std::string("config.") + key;
    py::object value = check_number(g, file, label, config_setting(conf, key),
                                    positive ? Need::positive_number : Need::number);
    if (value.cast<double>() < 0) config_error(g, file, label, "a number of at least 0", value);
    return value.cast<double>();
}

struct Lengths {
    double usable;        // the page height less both margins
    double title_buffer;  // what a group's title takes from its budget
    double row_gap;
};

Lengths check_config(const Globals& g, py::handle file, const py::dict& conf) {
    check_path_keys(g, file, conf, "config", {"image_folder"});
    check_text_keys(g, file, conf, "config", {"file_prefix"});
    check_path_keys(g, file, conf, "config", {"output_file"}, true);
    double page_h = length(g, file, conf, "page_height", true);
    double top_m = length(g, file, conf, "top_margin", false);
    double btm_m = length(g, file, conf, "bottom_margin", false);
    Lengths lengths{page_h - top_m - btm_m, length(g, file, conf, "title_buffer", false),
                    length(g, file, conf, "row_gap", false)};
    if (lengths.usable <= 0)
        config_error(g, file, "config.page_height",
                     "more than top_margin + bottom_margin (" + mm(top_m + btm_m) + ")",
                     config_setting(conf, "page_height"));
    return lengths;
}

void check_group(const Globals& g, py::handle file, const std::string& label, py::handle group,
                 const Lengths& lengths) {
    py::dict g_conf = check_object(g, file, label, group);
    py::object name = g_conf.attr("get")("name");
    if (!py::isinstance<py::str>(name)) config_error(g, file, label + ".name", "a string", name);
    check_text_keys(g, file, g_conf, label, {"pattern"});

    std::string cols_label = label + ".cols_per_row";
    py::object cols = check_number(g, file, cols_label, group_setting(g_conf, "cols_per_row"),
                                   Need::positive_integer);
    if (cols.cast<double>() > MAX_COLS)
        config_error(g, file, cols_label,
                     "at most " + std::to_string(MAX_COLS) + ", so that columns keep a width",
                     cols);
    // A group's budget is the usable height divided by this: below 1 it
    // would be taller than the page.
    std::string per_page_label = label + ".experiments_per_page";
    py::object per_page = check_number(g, file, per_page_label,
                                       group_setting(g_conf, "experiments_per_page"), Need::number);
    if (per_page.cast<double>() < 1)
        config_error(g, file, per_page_label, "a number of at least 1", per_page);
    double budget = lengths.usable / per_page.cast<double>();
    if (budget - lengths.title_buffer - lengths.row_gap <= 0)
        config_error(g, file, per_page_label,
                     "small enough to leave group \"" + str(name) +
                         "\" room for a row of images (its share " + mm(lengths.usable) + " / " +
                         str(per_page) + " = " + mm(budget) +
                         " mm must exceed title_buffer + row_gap = " +
                         mm(lengths.title_buffer + lengths.row_gap) + " mm)",
                     per_page);
}

}  // namespace

void check_settings(const Globals& g, py::handle file, py::handle conf) {
    py::dict data = check_object(g, file, "the top level", conf);
    warn_unknown_keys(g, file, "", data, keys_of(SETTINGS));
    require_sections(g, file, data);
    py::dict config = check_object(g, file, "config", setting(data, keys_of(SETTINGS), "config"));
    check_object(g, file, "main_page", setting(data, keys_of(SETTINGS), "main_page"));
    py::object groups = setting(data, keys_of(SETTINGS), "groups");
    if (!py::isinstance<py::list>(groups))
        config_error(g, file, "groups", "an array of objects", groups);

    Lengths lengths = check_config(g, file, config);
    long index = 0;
    for (py::handle group : groups)
        check_group(g, file, "groups[" + std::to_string(index++) + "]", group, lengths);
}

}  // namespace dorvex
