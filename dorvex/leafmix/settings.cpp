// The "config" section checked before any work, so that a bad value is one
// clear line instead of a traceback or a document with unusable cells.
#include "common/command.hpp"
#include "leafmixer.hpp"

namespace dorvex {

namespace {

// The shorter A4 side in points; margins on both sides must leave room.
constexpr double A4_SHORT_SIDE = 595.0;

}  // namespace

void check_settings(const Globals& g, py::handle file, py::handle conf) {
    py::dict section = check_object(g, file, "config", conf);
    check_text_keys(g, file, section, "config", {"input_folder", "output_file"}, true);

    py::dict layout = check_object(g, file, "config.layout", conf.attr("get")("layout", py::dict()));
    check_number(g, file, "config.layout.cols", layout.attr("get")("cols", 2),
                 Need::positive_integer);
    check_number(g, file, "config.layout.rows", layout.attr("get")("rows", 1),
                 Need::positive_integer);
    py::object margin =
        check_number(g, file, "config.margin", conf.attr("get")("margin", 20), Need::positive_number);
    if (2 * margin.cast<double>() >= A4_SHORT_SIDE)
        config_error(g, file, "config.margin", "less than 297.5 points, half the A4 width", margin);
}

}  // namespace dorvex
