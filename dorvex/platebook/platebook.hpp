// platebook: a PDF lab report from a folder of measurement images. The
// settings table, the page grid, and what the files implementing the worker
// `ReportGenerator` and the page class `LabReport` share.
#pragma once

#include <cstddef>
#include <iterator>
#include <vector>

#include "common/progress.hpp"
#include "common/pyutil.hpp"
#include "common/settings.hpp"
#include "fonts.hpp"

namespace dorvex {

inline constexpr Globals g_platebook{"dorvex.platebook"};

// The page grid in millimetres: the document is A4 portrait (fpdf's
// default), with fixed side margins and a fixed gutter between columns.
inline constexpr int PAGE_W = 210;
inline constexpr int PAGE_H = 297;
inline constexpr int MARGIN_LR = 15;
inline constexpr int CONTENT_RIGHT = PAGE_W - MARGIN_LR;
inline constexpr int AVAILABLE_W = PAGE_W - MARGIN_LR * 2;
inline constexpr int GUTTER = 5;
// With this many columns the gutters take 175 of the 180 mm and each column
// keeps a sliver; one more and the gutters would take the whole width.
inline constexpr long MAX_COLS = AVAILABLE_W / GUTTER;

// Free facts of the first page: user_title_N and user_content_N, N from 1.
inline constexpr int USER_FACTS = 10;

// The settings: what the template writes, and what the worker uses when a
// key is absent (a few differ: the margins, the folder, the file names).
inline constexpr Key CONFIG_KEYS[] = {
    {"image_folder", text("./data_platebook"), text(".")},
    {"file_prefix", text("Result"), text("")},
    {"output_file", text("test.pdf"), text("report.pdf")},
    {"page_height", integer(PAGE_H), integer(PAGE_H)},
    {"top_margin", integer(10), integer(15)},
    {"bottom_margin", integer(5), integer(15)},
    {"title_buffer", integer(25), integer(25)},
    {"row_gap", integer(10), integer(10)},
};
// Pairs 5 to USER_FACTS are known but not in the template; an absent fact
// is not shown.
inline constexpr Key MAIN_PAGE_KEYS[] = {
    {"title_of_report", text("Devada VezEdez"), text("Lab Report")},
    {"dut_inform", text("duRUD + DO1240"), ABSENT},
    {"environment", text("chamber + corner reflector"), ABSENT},
    {"user_title_1", text("Radar Setting"), ABSENT},
    {"user_content_1", text("2000_2200_256_59_RX14_RX23"), ABSENT},
    {"user_title_2", text("Offset Index"), ABSENT},
    {"user_content_2", text("80"), ABSENT},
    {"user_title_3", text("Remove DC"), ABSENT},
    {"user_content_3", text("0"), ABSENT},
    {"user_title_4", text("Guard Cell"), ABSENT},
    {"user_content_4", text("20"), ABSENT},
    {"user_title_5", ABSENT, ABSENT},
    {"user_content_5", ABSENT, ABSENT},
    {"user_title_6", ABSENT, ABSENT},
    {"user_content_6", ABSENT, ABSENT},
    {"user_title_7", ABSENT, ABSENT},
    {"user_content_7", ABSENT, ABSENT},
    {"user_title_8", ABSENT, ABSENT},
    {"user_content_8", ABSENT, ABSENT},
    {"user_title_9", ABSENT, ABSENT},
    {"user_content_9", ABSENT, ABSENT},
    {"user_title_10", ABSENT, ABSENT},
    {"user_content_10", ABSENT, ABSENT},
};
static_assert(std::size(MAIN_PAGE_KEYS) == 3 + 2 * USER_FACTS, "every fact pair is known");
inline constexpr Key GROUP_KEYS[] = {
    {"name", text("Group 0: 1st Experiment (Result by Metric)"), ABSENT},
    {"pattern", text("g8_Peak_60dB"), text("")},
    {"experiments_per_page", integer(2), integer(1)},
    {"cols_per_row", integer(2), integer(1)},
};
inline constexpr Key SETTINGS[] = {
    {"config", section(keys_of(CONFIG_KEYS)), ABSENT},
    {"main_page", section(keys_of(MAIN_PAGE_KEYS)), ABSENT},
    {"groups", list(keys_of(GROUP_KEYS)), ABSENT},
};

// conf.get(name, <its default>) for a key of the "config" section, and the
// same for a group's key.
inline py::object config_setting(py::handle conf, const char* name) {
    return setting(conf, keys_of(CONFIG_KEYS), name);
}
inline py::object group_setting(py::handle g_conf, const char* name) {
    return setting(g_conf, keys_of(GROUP_KEYS), name);
}

// Text styles of the report: font style, size in points, the height of the
// line or cell the text is drawn in (mm), and the smallest size text that
// does not fit its line may shrink to.
struct TextStyle {
    const char* style;
    int pt;
    double line_h;
    double min_pt;
};
inline constexpr TextStyle RUNNING_HEADER{"B", 10, 10, 10};
inline constexpr TextStyle REPORT_TITLE{"B", 20, 20, 12};
inline constexpr TextStyle FACT{"B", 10, 4, 7};
inline constexpr TextStyle CONTENTS_ENTRY{"U", 12, 10, 8};
inline constexpr TextStyle GROUP_TITLE{"B", 14, 8, 14};
// the smallest caption still readable on paper
inline constexpr TextStyle CAPTION{"B", 8, 4, 5};

// The running header's band at the top of every page from page 2 on.
inline constexpr double HEADER_BAND = RUNNING_HEADER.line_h;
// What a group's title takes: its line and a 1 mm gap before the images.
inline constexpr double GROUP_TITLE_GAP = 1;
inline constexpr double GROUP_TITLE_H = GROUP_TITLE.line_h + GROUP_TITLE_GAP;

// The C++ side of a ReportGenerator. The documented attributes (conf, pdf,
// links ...) live in the instance dictionary, as they would on a Python
// object; only state no caller needs to see is kept here.
struct ReportGenerator {
    ReportFonts fonts;
    bool written = false;            // the PDF reached its place
    py::object listed = py::none();  // every image parse_files listed
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
// one error line per run (`seen` maps each path tried to its source or
// None). Advances `progress` by one per entry.
std::vector<Placeable> placeable_images(py::handle pdf, py::handle images, py::dict& seen,
                                        Progress& progress);

// layout.cpp
// The lowest a line may reach on a page of `pdf`: the configured page
// height, never beyond the document's own page, less the bottom margin.
double bottom_limit(py::handle conf, py::handle pdf);
py::tuple calculate_layout_size(py::object self, py::object num_rows, py::object standard_cell_w,
                                py::object max_ratio, py::object budget_height);

// One group's grid, with the inputs it was computed from.
struct GroupGrid {
    py::object budget_h;  // the group's share of the usable page height
    long cols = 1;
    long rows = 0;
    double cell_w = 0;
    double cell_h = 0;
    double rows_h = 0;  // what the rows take, captions and gaps included
};
GroupGrid plan_group(py::object self, py::handle g_conf, py::handle images);

// text.cpp: text kept inside its box.
// Draws a caption centred in its band (`w` wide, `band_h` high, from x, y):
// as it is when it fits, else smaller down to a floor, then cut with "...".
// False when not even "..." fits.
bool draw_caption(py::handle pdf, py::str text, double x, double y, double w, double band_h);
// The height `lead` and `text` in `style` take in a cell `w` wide (0: to
// the right margin) from the current x: the style's line when they fit
// there, more when the text must be wrapped (see draw_fitted).
double fitted_height(py::handle pdf, const TextStyle& style, py::handle lead, py::handle text,
                     double w, const char* align);
// Draws `lead` and `text` (the font set for them at `style`) in a cell `w`
// wide from the current position and moves to the next line: on the
// style's line when they fit, else smaller down to the style's floor, then
// the text wrapped beside the lead at the floor size, never cut. Wrapped
// text that reaches `bottom` goes on on a new page.
void draw_fitted(py::handle pdf, const TextStyle& style, py::handle lead, py::handle text, double w,
                 const char* align, double bottom, py::object link = py::str(""));
// cell(...) that moves to the start of the next line, fpdf's former ln=True.
void cell_line(py::handle pdf, double w, double h, py::handle text, const char* align = "L",
               py::object link = py::str(""));

// render.cpp
void lab_report_header(py::object self);
void add_toc(py::object self, py::object data);
void generate(py::object self, py::object config_file);
// False when `generate` wrote no PDF.
bool report_written(py::handle report);
// Binds FPDF, Image and LabReport (the report's page class, which subclasses
// FPDF) in `m`: fpdf and Pillow are loaded when a report is made.
void bind_pdf_classes(py::module_& m);
// Binds ReportGenerator.
void init_report_generator(py::module_& m);

// settings.cpp: checks the whole configuration `conf` before any work; a
// bad value is one line naming `file` and the key, status 1.
void check_settings(const Globals& g, py::handle file, py::handle conf);

}  // namespace dorvex
