// The worker `Leafmixer`: its constructor reads the configuration through the
// settings table; the methods live in layout.cpp and compose.cpp.
#include "leafmix.hpp"

namespace dorvex {

namespace {

const auto& g = g_leafmix;

void construct(py::object self, py::object config_dict) {
    py::object conf = config_dict;
    self.attr("conf") = conf;
    self.attr("input_folder") = setting(conf, keys_of(CONFIG_KEYS), "input_folder");
    self.attr("output_file") = setting(conf, keys_of(CONFIG_KEYS), "output_file");
    py::object layout = setting(conf, keys_of(CONFIG_KEYS), "layout");
    self.attr("cols") = setting(layout, keys_of(LAYOUT_KEYS), "cols");
    self.attr("rows") = setting(layout, keys_of(LAYOUT_KEYS), "rows");
    self.attr("is_landscape") = setting(layout, keys_of(LAYOUT_KEYS), "landscape");
    self.attr("margin") = setting(conf, keys_of(CONFIG_KEYS), "margin");
    self.attr("draw_grid") = setting(conf, keys_of(CONFIG_KEYS), "debug_grid");

    // The page_size key is not read: output pages are always A4.
    py::sequence a4 = g["PaperSize"].attr("A4");
    py::object a4_w = a4[0], a4_h = a4[1];
    bool landscape = truthy(self.attr("is_landscape"));
    self.attr("page_width") = landscape ? a4_h : a4_w;
    self.attr("page_height") = landscape ? a4_w : a4_h;
    self.attr("writer") = g["PdfWriter"]();

    log(g, "info",
        "[INIT] Layout: " + str(self.attr("cols")) + "x" + str(self.attr("rows")) +
            ", Landscape=" + str(self.attr("is_landscape")));
}

}  // namespace

void init_leafmixer(py::module_& m) {
    py::class_<Leafmixer> cls(m, "Leafmixer", py::dynamic_attr(), "處理 PDF 合併與排版的應用類別");
    def_dict_init(cls, &construct, py::arg("config_dict"));

    cls.def("get_file_list", &get_file_list)
        .def("calculate_cell_layout", &calculate_cell_layout)
        .def("_get_layout_params", &get_layout_params, py::arg("source_page"),
             py::arg("target_rect"))
        .def("run", &run, py::arg("config_file") = py::none())
        .def("_create_red_frame_page", &create_red_frame_page, py::arg("x"), py::arg("y"),
             py::arg("w"), py::arg("h"))
        .def("_save_file", &save_file);
}

}  // namespace dorvex
