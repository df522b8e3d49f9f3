// Grid layout: the cell size of a group from its share of the page height,
// its columns and rows, and the shape of its tallest image.
#include <algorithm>

#include "platebook.hpp"

namespace dorvex {

namespace {

// Where a group starts on a new page: below the top margin and the running
// header's band, with its title above the rows.
double fresh_page_rows_y(py::handle conf) {
    return config_setting(conf, "top_margin").cast<double>() + HEADER_BAND + GROUP_TITLE_H;
}

}  // namespace

double bottom_limit(py::handle conf, py::handle pdf) {
    double page_h = config_setting(conf, "page_height").cast<double>();
    double paper_h = pdf.attr("h").cast<double>();
    return std::min(page_h, paper_h) - config_setting(conf, "bottom_margin").cast<double>();
}

// Python arithmetic throughout, so int and float results stay what they would be.
py::tuple calculate_layout_size(py::object self, py::object num_rows, py::object standard_cell_w,
                                py::object max_ratio, py::object budget_height) {
    py::object conf = self.attr("conf");
    py::object title_buffer = config_setting(conf, "title_buffer");
    py::object row_gap = config_setting(conf, "row_gap");

    py::object img_budget_h_total = budget_height - title_buffer;
    if (num_rows.equal(py::int_(0))) return py::make_tuple(standard_cell_w, 0);

    py::object max_allowed_h_per_row = img_budget_h_total / num_rows - row_gap;
    py::object calc_h = standard_cell_w * max_ratio;
    if (calc_h > max_allowed_h_per_row) {
        return py::make_tuple(max_allowed_h_per_row / max_ratio, max_allowed_h_per_row);
    }
    return py::make_tuple(standard_cell_w, calc_h);
}

GroupGrid plan_group(py::object self, py::handle g_conf, py::handle images) {
    py::object conf = self.attr("conf");
    py::object g_exp_per_page = group_setting(g_conf, "experiments_per_page");
    py::object g_cols = group_setting(g_conf, "cols_per_row");
    GroupGrid grid;
    grid.budget_h = py::object(self.attr("total_usable_h")) / g_exp_per_page;
    // The rows may take the budget less the title buffer, but never more
    // than a new page holds below the group's title: a title buffer smaller
    // than the header band and the title must not push rows off the page.
    py::object budget = grid.budget_h;
    double rows_room = bottom_limit(conf, self.attr("pdf")) - fresh_page_rows_y(conf);
    py::object title_buffer = config_setting(conf, "title_buffer");
    if (budget - title_buffer > py::float_(rows_room))
        budget = title_buffer + py::float_(rows_room);

    py::object current_cell_w =
        (py::int_(AVAILABLE_W) - (g_cols - py::int_(1)) * py::int_(GUTTER)) / g_cols;
    py::object num_rows = g_platebook["math"].attr("ceil")(py::int_(py::len(images)) / g_cols);
    py::object max_ratio = self.attr("get_max_ratio_from_images")(images);
    py::tuple size =
        self.attr("calculate_layout_size")(num_rows, current_cell_w, max_ratio, budget);
    grid.cols = g_cols.cast<long>();
    grid.rows = num_rows.cast<long>();
    grid.cell_w = size[0].cast<double>();
    grid.cell_h = size[1].cast<double>();
    grid.rows_h = grid.rows * (grid.cell_h + config_setting(conf, "row_gap").cast<double>());
    return grid;
}

}  // namespace dorvex
