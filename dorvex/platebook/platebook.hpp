// The report worker `ReportGenerator` and the page class `LabReport`: what the
// files implementing them share.
#pragma once

#include <vector>

#include "common/pyutil.hpp"
#include "fonts.hpp"

namespace dorvex {

inline constexpr Globals g_platebook{"dorvex.platebook"};

// Fixed page grid in millimetres: A4 width, side margins, column gutter.
inline constexpr int PAGE_W = 210;
inline constexpr int MARGIN_LR = 15;
inline constexpr int CONTENT_RIGHT = PAGE_W - MARGIN_LR;
inline constexpr int AVAILABLE_W = PAGE_W - MARGIN_LR * 2;
inline constexpr int GUTTER = 5;

// The C++ side of a ReportGenerator. The documented attributes (conf, pdf,
// links ...) live in the instance dictionary, as they would on a Python
// object; only state no caller needs to see is kept here.
struct ReportGenerator {
    ReportFonts fonts;
    bool written = false;                 // the PDF reached its place
    py::object config_file = py::none();  // for the overwrite guard; none when built from Python
    py::object listed = py::none();       // every image parse_files listed
};

// discovery.cpp
py::object get_max_ratio_from_images(py::object self, py::object images);
py::dict parse_files(py::object self);

// An image of a group that fpdf has read: its entry and what fpdf is handed.
struct Placeable {
    py::object entry;
    py::object source;  // fpdf's name for what it read: the path, or that of the upright picture
};
// The images of `images` that can be drawn; every other one is left out with
// one error line per run (`seen` maps each path tried to its source or None).
std::vector<Placeable> placeable_images(py::handle pdf, py::handle images, py::dict& seen);

// layout.cpp
py::tuple calculate_layout_size(py::object self, py::object num_rows, py::object standard_cell_w,
                                py::object max_ratio, py::object budget_height);

// One group's grid, with the inputs it was computed from.
struct GroupGrid {
    py::object budget_h;  // the group's share of the usable page height
    long cols = 1;
    long rows = 0;
    double cell_w = 0;
    double cell_h = 0;
};
GroupGrid plan_group(py::object self, py::handle g_conf, py::handle images);

// render.cpp
void lab_report_header(py::object self);
void add_toc(py::object self, py::object data);
void generate(py::object self);
// False when `generate` wrote no PDF.
bool report_written(py::handle report);

// settings.cpp: the configuration checks the command makes before any work.
void check_settings(const Globals& g, py::handle file, py::handle cfg, py::handle main_page,
                    py::handle groups);

}  // namespace dorvex
