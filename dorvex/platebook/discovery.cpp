// Image discovery: the grouping of images by file-name pattern, the tallest
// shape of a group, and which images can be drawn, upright.
#include "common/files.hpp"
#include "common/toolkit.hpp"
#include "platebook.hpp"

namespace dorvex {

namespace {

const auto& g = g_platebook;

// The EXIF orientation of an opened image, 1 (as stored) when it has none or
// its EXIF cannot be read: such a picture is drawn as it is stored.
long exif_orientation(py::handle img) {
    long turn = 1;
    // EXIF that came with the header only: looking further would decode a
    // whole PNG to reach chunks after its pixels
    if (!img.attr("info").contains("exif")) return turn;
    catch_ordinary([&] {
        py::object tag = img.attr("getexif")().attr("get")(0x0112);
        if (py::isinstance<py::int_>(tag)) turn = tag.cast<long>();
    });
    return turn;
}

bool turned(long orientation) { return orientation >= 2 && orientation <= 8; }

// What fpdf is handed for an image: its path, or, when its EXIF orientation
// turns it, the upright picture (a JPEG as a JPEG, so it stays compact).
py::object upright_source(py::handle path) {
    py::object img = g["Image"].attr("open")(path);
    py::object source = py::reinterpret_borrow<py::object>(path);
    try {
        if (turned(exif_orientation(img))) {
            py::object upright = py::module_::import("PIL.ImageOps").attr("exif_transpose")(img);
            if (str(img.attr("format")) == "JPEG") {
                source = py::module_::import("io").attr("BytesIO")();
                upright.attr("save")(source, "JPEG", "quality"_a = 95,
                                     "icc_profile"_a = img.attr("info").attr("get")("icc_profile"));
            } else {
                source = upright;
            }
        }
    } catch (...) {
        img.attr("close")();
        throw;
    }
    img.attr("close")();
    return source;
}

}  // namespace

std::vector<Placeable> placeable_images(py::handle pdf, py::handle images, py::dict& seen) {
    py::object preload = py::module_::import("fpdf.image_parsing").attr("preload_image");
    std::vector<Placeable> ready;
    for (py::handle img_data : images) {
        py::object path = img_data[py::str("path")];
        if (!seen.contains(path)) {
            py::object source = py::none();
            auto failure = catch_ordinary([&] {
                // fpdf keeps what it read under the name it returns, so
                // drawing by that name reads nothing again
                source = preload(
                    pdf.attr("image_cache"), upright_source(path),
                    "resource_access_policy"_a = pdf.attr("resource_access_policy"))[py::int_(0)];
            });
            if (failure) {
                std::string reason = str(*failure);
                if (reason.empty()) reason = str(py::type::of(*failure).attr("__name__"));
                log(g, "error", "Cannot place image " + str(path) + ": " + reason);
                source = py::none();
            }
            seen[path] = source;
        }
        py::object source = seen[path];
        if (!source.is_none())
            ready.push_back({py::reinterpret_borrow<py::object>(img_data), source});
    }
    return ready;
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
            long turn = exif_orientation(opened);
            if (turn >= 5 && turn <= 8) std::swap(w_px, h_px);  // turned by a quarter
            if (w_px > py::int_(0)) {
                py::object r = h_px / w_px;
                if (r > max_r) max_r = r;
            }
        });
        if (failure)
            log(g, "warning",
                "Cannot read image ratio for " + str(img_path) + ": " + str(*failure));
    }
    return max_r > py::int_(0) ? max_r : py::float_(0.75);
}

py::dict parse_files(py::object self) {
    py::object conf = self.attr("conf");
    py::object img_folder = conf.attr("get")("image_folder", ".");
    log(g, "info", "Scanning files in " + str(img_folder) + "...");

    if (!toolkit::folder_usable(g, img_folder)) {
        log(g, "error", "Error: Image folder not found: " + str(img_folder));
        return py::dict();
    }
    auto [found_paths, found_names] = toolkit::find_files_with_extensions(
        g, img_folder, list_of("png", "jpg", "jpeg", "bmp"), false);
    auto [image_paths, image_names] = regular_files(g, found_paths, found_names);
    log(g, "info", "Total images found: " + std::to_string(py::len(image_paths)));
    if (py::isinstance<ReportGenerator>(self)) self.cast<ReportGenerator&>().listed = image_paths;

    py::dict parsed_data;
    py::object prefix_setting = conf.attr("get")("file_prefix", "");
    py::object basename = g["os"].attr("path").attr("basename");
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
            auto [matched, caption] = toolkit::parse_fn_pattern(g, fn, pattern_str, prefix_setting);
            // "*.jpg" or "plot.png" name the file with its extension
            if (!truthy(matched)) {
                py::object full = basename(fp);
                if (full.equal(fn)) continue;
                matched = toolkit::parse_fn_pattern(g, full, pattern_str, prefix_setting).first;
                if (!truthy(matched)) continue;
            }
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
