// The "config" section checked before any work, so that a bad value is one
// clear line instead of a traceback or a document with unusable cells.
#include "common/command.hpp"
#include "leafmix.hpp"

namespace dorvex {

namespace {

// The shorter A4 side in points; margins on both sides must leave room.
constexpr double A4_SHORT_SIDE = 595.0;
constexpr double A4_LONG_SIDE = 842.0;

}  // namespace

void check_settings(const Globals& g, py::handle file, py::handle conf) {
    py::dict section = check_object(g, file, "config", conf);
    check_text_keys(g, file, section, "config", {"input_folder", "output_file"}, true);

    py::dict layout =
        check_object(g, file, "config.layout", conf.attr("get")("layout", py::dict()));
    py::object cols = check_number(g, file, "config.layout.cols", layout.attr("get")("cols", 2),
                                   Need::positive_integer);
    py::object rows = check_number(g, file, "config.layout.rows", layout.attr("get")("rows", 1),
                                   Need::positive_integer);
    py::object margin = check_number(g, file, "config.margin", conf.attr("get")("margin", 20),
                                     Need::positive_number);
    if (2 * margin.cast<double>() >= A4_SHORT_SIDE)
        config_error(g, file, "config.margin", "less than 297.5 points, half the A4 width", margin);

    // A cell below 1 point shows nothing a reader could see.
    bool landscape = truthy(layout.attr("get")("landscape", false));
    double usable_w = (landscape ? A4_LONG_SIDE : A4_SHORT_SIDE) - 2 * margin.cast<double>();
    double usable_h = (landscape ? A4_SHORT_SIDE : A4_LONG_SIDE) - 2 * margin.cast<double>();
    auto at_most = [&](const char* label, const py::object& count, double usable,
                       const char* side) {
        long most = static_cast<long>(usable);  // whole points: the most 1-point cells
        if (count > py::int_(most))
            config_error(
                g, file, label,
                "at most " + std::to_string(most) + ", so that a cell is at least 1 point " + side,
                count);
    };
    at_most("config.layout.cols", cols, usable_w, "wide");
    at_most("config.layout.rows", rows, usable_h, "high");
}

}  // namespace dorvex
