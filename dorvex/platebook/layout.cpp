// Grid layout: the cell size of a group from its share of the page height,
// its columns and rows, and the shape of its tallest image.
#include "platebook.hpp"

namespace dorvex {

// Python arithmetic throughout, so int and float results stay what they would be.
py::tuple calculate_layout_size(py::object self, py::object num_rows, py::object standard_cell_w,
                                py::object max_ratio, py::object budget_height) {
    py::object conf = self.attr("conf");
    py::object title_buffer = conf.attr("get")("title_buffer", 25);
    py::object row_gap = conf.attr("get")("row_gap", 10);

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
    py::object g_exp_per_page = g_conf.attr("get")("experiments_per_page", 1);
    py::object g_cols = g_conf.attr("get")("cols_per_row", 1);
    GroupGrid grid;
    grid.budget_h = py::object(self.attr("total_usable_h")) / g_exp_per_page;
    py::object current_cell_w =
        (py::int_(AVAILABLE_W) - (g_cols - py::int_(1)) * py::int_(GUTTER)) / g_cols;
    py::object num_rows = g_platebook["math"].attr("ceil")(py::int_(py::len(images)) / g_cols);
    py::object max_ratio = self.attr("get_max_ratio_from_images")(images);
    py::tuple size =
        self.attr("calculate_layout_size")(num_rows, current_cell_w, max_ratio, grid.budget_h);
    grid.cols = g_cols.cast<long>();
    grid.rows = num_rows.cast<long>();
    grid.cell_w = size[0].cast<double>();
    grid.cell_h = size[1].cast<double>();
    return grid;
}

}  // namespace dorvex
