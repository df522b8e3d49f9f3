// The "config" section checked before any work, so that a bad value is one
// clear line instead of a traceback or a document with unusable cells.
#include <string>

#include "common/command.hpp"
#include "leafmix.hpp"

namespace dorvex {

namespace {

// A4 in points, as pypdf's PaperSize.A4 gives it. The margins on both sides
// of the shorter side must leave room.
constexpr double A4_SHORT_SIDE = 595.0;
constexpr double A4_LONG_SIDE = 842.0;
constexpr double MARGIN_BELOW = A4_SHORT_SIDE / 2;

// A cell below 1 point shows nothing a reader could see: at most as many
// cells as whole points of `usable`.
void check_fits(const Globals& g, py::handle file, const char* label, const py::object& count,
                double usable, const char* side) {
    long most = static_cast<long>(usable);
    if (count > py::int_(most))
        config_error(
            g, file, label,
            "at most " + std::to_string(most) + ", so that a cell is at least 1 point " + side,
            count);
}

}  // namespace

void check_settings(const Globals& g, py::handle file, py::handle conf) {
    warn_unknown_keys(g, file, "config", conf, keys_of(CONFIG_KEYS));
    py::dict section = check_object(g, file, "config", conf);
    check_path_keys(g, file, section, "config", {"input_folder", "output_file"}, true);

    py::dict layout =
        check_object(g, file, "config.layout", setting(section, keys_of(CONFIG_KEYS), "layout"));
    py::object cols =
        check_number(g, file, "config.layout.cols", setting(layout, keys_of(LAYOUT_KEYS), "cols"),
                     Need::positive_integer);
    py::object rows =
        check_number(g, file, "config.layout.rows", setting(layout, keys_of(LAYOUT_KEYS), "rows"),
                     Need::positive_integer);
    py::object margin =
        check_number(g, file, "config.margin", setting(section, keys_of(CONFIG_KEYS), "margin"),
                     Need::positive_number);
    double margins = 2 * margin.cast<double>();
    if (margins >= A4_SHORT_SIDE)
        config_error(
            g, file, "config.margin",
            "less than " + format(py::float_(MARGIN_BELOW), "g") + " points, half the A4 width",
            margin);

    bool landscape = truthy(setting(layout, keys_of(LAYOUT_KEYS), "landscape"));
    check_fits(g, file, "config.layout.cols", cols,
               (landscape ? A4_LONG_SIDE : A4_SHORT_SIDE) - margins, "wide");
    check_fits(g, file, "config.layout.rows", rows,
               (landscape ? A4_SHORT_SIDE : A4_LONG_SIDE) - margins, "high");
}

}  // namespace dorvex
