// ReportGenerator's constructor and image discovery: the document set-up, the
// grouping of images by file-name pattern, and the tallest shape of a group.
#include "report.hpp"

namespace dorvex {

namespace {

const auto& g = g_platebook;

}  // namespace

void report_init(py::object self, py::object config, py::object main_page,
                 py::object user_groups) {
    self.attr("conf") = config;
    self.attr("main_page") = main_page;
    self.attr("groups_def") = user_groups;

    py::object pdf = g["LabReport"]();
    pdf.attr("set_auto_page_break")("auto"_a = false);
    pdf.attr("set_margins")(15, config.attr("get")("top_margin", 15), 15);
    self.attr("pdf") = pdf;
    self.attr("links") = py::dict();

    py::object page_h = config.attr("get")("page_height", 297);
    py::object top_m = config.attr("get")("top_margin", 15);
    py::object btm_m = config.attr("get")("bottom_margin", 15);
    py::object usable = page_h - top_m - btm_m;
    self.attr("total_usable_h") = usable;
    log(g, "info", "[INIT] Total usable height: " + format(usable, ".1f") + "mm");
}

py::object get_max_ratio_from_images(py::object self, py::object images) {
    (void)self;
    if (!truthy(images)) return py::float_(0.75);
    py::object max_r = py::int_(0);
    for (py::handle img_data : images) {
        py::object img_path = img_data[py::str("path")];
        auto failure = catch_ordinary([&] {
            py::object img = g["Image"].attr("open")(img_path);
            py::object opened = img.attr("__enter__")();
            py::object size;
            try {
                size = opened.attr("size");
            } catch (...) {
                img.attr("__exit__")(py::none(), py::none(), py::none());
                throw;
            }
            img.attr("__exit__")(py::none(), py::none(), py::none());
            auto [w_px, h_px] = unpack_pair(size);
            if (w_px > py::int_(0)) {
                py::object r = h_px / w_px;
                if (r > max_r) max_r = r;
            }
        });
        if (failure)
            log(g, "warning", "Cannot read image ratio for " + str(img_path) + ": " + str(*failure));
    }
    return max_r > py::int_(0) ? max_r : py::float_(0.75);
}

py::dict parse_files(py::object self) {
    py::object conf = self.attr("conf");
    py::object img_folder = conf.attr("get")("image_folder", ".");
    log(g, "info", "Scanning files in " + str(img_folder) + "...");

    py::object file_mg = g["fileMg"];
    if (!file_mg.attr("checkFileOrDir")(img_folder).equal(py::int_(0))) {
        log(g, "error", "Error: Image folder not found: " + str(img_folder));
        return py::dict();
    }
    py::list extensions;
    for (const char* ext : {"png", "jpg", "jpeg", "bmp"}) extensions.append(ext);
    auto [image_paths, image_names] = unpack_pair(file_mg.attr("find_files_with_extensions")(
        "in_path"_a = img_folder, "extensions"_a = extensions, "recursive"_a = false));
    log(g, "info", "Total images found: " + std::to_string(py::len(image_paths)));

    py::dict parsed_data;
    py::object prefix_setting = conf.attr("get")("file_prefix", "");
    py::object match = g["parseTools"].attr("parseFn_pattern");
    for (py::handle g_def : self.attr("groups_def")) {
        py::object group_name = g_def[py::str("name")];
        py::object pattern_str = g_def.attr("get")("pattern", "");
        if (!truthy(pattern_str.attr("strip")())) continue;

        py::list entries;
        parsed_data[group_name] = entries;
        log(g, "info",
            "Matching for Group: " + str(group_name) + " (Pattern: " + str(pattern_str) + ")");
        py::iterator names = py::iter(image_names);
        for (py::handle fp : image_paths) {
            if (names == py::iterator::sentinel()) break;
            py::object fn = py::reinterpret_borrow<py::object>(*names);
            ++names;
            auto [matched, caption] =
                unpack_pair(match(fn, pattern_str, "fn_prefix"_a = prefix_setting));
            if (!truthy(matched)) continue;
            py::dict entry;
            entry["path"] = fp;
            entry["caption"] = caption;
            entries.append(entry);
        }
        log(g, "info", "  -> Matched " + std::to_string(entries.size()) + " images.");
    }
    return parsed_data;
}

}  // namespace dorvex
