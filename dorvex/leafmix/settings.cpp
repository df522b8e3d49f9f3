// The "config" section checked before any work, so that a bad value is one
// clear line instead of a traceback or a document with unusable cells.
#include "common/command.hpp"
#include "leafmixer.hpp"

namespace dorvex {

namespace {

// The shorter A4 side in points; margins on both sides must leave room.
constexpr double A4_SHORT_SIDE = 595.0;

void require_text(const Globals& g, py::handle file, const py::dict& conf, const char* key) {
    if (!conf.contains(key)) return;  // the constructor's default applies
    py::object value = conf[key];
    if (!py::isinstance<py::str>(value) || py::len(value) == 0)
        config_error(g, file, std::string("config.") + key, "a non-empty text", value);
}

}  // namespace

void check_settings(const Globals& g, py::handle file, py::handle conf) {
    if (!py::isinstance<py::dict>(conf)) config_error(g, file, "config", "an object", conf);
    auto section = py::reinterpret_borrow<py::dict>(conf);
    require_text(g, file, section, "input_folder");
    require_text(g, file, section, "output_file");

    py::object layout = conf.attr("get")("layout", py::dict());
    if (!py::isinstance<py::dict>(layout))
        config_error(g, file, "config.layout", "an object", layout);
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
