// Where things go: the input files in merge order, the grid cell, and the fit
// and transformation of one source page, and of its annotations, into one cell.
#include <algorithm>
#include <cmath>

#include "common/files.hpp"
#include "common/toolkit.hpp"
#include "leafmix.hpp"

namespace dorvex {

namespace {

const auto& g = g_leafmix;

// The page's /Rotate as a clockwise quarter-turn angle 0, 90, 180 or 270.
// Viewers honour any multiple of 90, negative or above 360, so those are
// brought into range; anything else draws the page unrotated.
int displayed_rotation(py::handle rot) {
    if (!py::isinstance<py::int_>(rot) && !py::isinstance<py::float_>(rot)) return 0;
    if (py::isinstance<py::bool_>(rot)) return 0;
    double value = as_double(rot);
    if (!std::isfinite(value) || std::fmod(value, 90.0) != 0.0) return 0;
    return static_cast<int>(std::fmod(std::fmod(value, 360.0) + 360.0, 360.0));
}

// The share of its cell a page fills in the limiting direction, leaving a
// little white between neighbouring pages.
constexpr double CELL_FILL = 0.95;

py::object number(double v) { return pdf_objects().attr("FloatObject")(v); }

// The entry `key` as an array, none when absent or not an array.
py::object array_entry(py::handle dict, const char* key) {
    py::object value = dict.attr("get")(key);
    if (value.is_none()) return value;
    value = value.attr("get_object")();
    return py::isinstance(value, pdf_objects().attr("ArrayObject")) ? value
                                                                    : py::object(py::none());
}

// A flat list of x, y pairs moved through m.
py::object moved_points(py::handle values, const Affine& m) {
    py::sequence seq = values.attr("get_object")();
    if (py::len(seq) % 2) throw py::value_error("coordinates come in x, y pairs");
    py::object out = pdf_objects().attr("ArrayObject")();
    for (size_t i = 0; i + 1 < py::len(seq); i += 2) {
        Point p = m.apply(as_double(seq[i]), as_double(seq[i + 1]));
        out.attr("append")(number(p.x));
        out.attr("append")(number(p.y));
    }
    return out;
}

// A PDF rectangle (any two opposite corners) as an upright box, and back.
Box box_of(py::handle values) {
    py::sequence seq = values.attr("get_object")();
    if (py::len(seq) != 4) throw py::value_error("a rectangle has 4 numbers");
    double x0 = as_double(seq[0]), y0 = as_double(seq[1]);
    double x1 = as_double(seq[2]), y1 = as_double(seq[3]);
    return {std::min(x0, x1), std::min(y0, y1), std::max(x0, x1), std::max(y0, y1)};
}

py::object box_array(const Box& box) { return pdf_array({box.x0, box.y0, box.x1, box.y1}); }

Affine affine_of(py::sequence m) {
    if (py::len(m) != 6) throw py::value_error("a matrix has 6 numbers");
    return {as_double(m[0]), as_double(m[1]), as_double(m[2]),
            as_double(m[3]), as_double(m[4]), as_double(m[5])};
}

}  // namespace

Affine Affine::of(py::handle transformation) { return affine_of(transformation.attr("ctm")); }

Affine Affine::of_array(py::handle numbers) { return affine_of(numbers.attr("get_object")()); }

Box Affine::apply(const Box& box) const {
    Box out{INFINITY, INFINITY, -INFINITY, -INFINITY};
    for (Point corner : {Point{box.x0, box.y0}, Point{box.x0, box.y1}, Point{box.x1, box.y0},
                         Point{box.x1, box.y1}}) {
        Point p = apply(corner.x, corner.y);
        out = {std::min(out.x0, p.x), std::min(out.y0, p.y), std::max(out.x1, p.x),
               std::max(out.y1, p.y)};
    }
    return out;
}

void move_annotation_geometry(py::handle annot, const Affine& m) {
    py::object name = pdf_objects().attr("NameObject");
    Box rect = box_of(annot[py::str("/Rect")]);
    Box moved = m.apply(rect);
    annot[name("/Rect")] = box_array(moved);
    // /RD insets the drawn shape from /Rect, as left, top, right, bottom.
    if (py::object entry = array_entry(annot, "/RD"); !entry.is_none() && py::len(entry) == 4) {
        py::sequence rd = entry;
        Box inner = m.apply(Box{rect.x0 + as_double(rd[0]), rect.y0 + as_double(rd[3]),
                                rect.x1 - as_double(rd[2]), rect.y1 - as_double(rd[1])});
        annot[name("/RD")] = box_array(
            {inner.x0 - moved.x0, moved.y1 - inner.y1, moved.x1 - inner.x1, inner.y0 - moved.y0});
    }
    for (const char* key : {"/QuadPoints", "/Vertices", "/L", "/CL"})
        if (py::object points = array_entry(annot, key); !points.is_none())
            annot[name(key)] = moved_points(points, m);
    // lists of point lists: ink strokes, and the paths that may replace them
    for (const char* key : {"/InkList", "/Path"}) {
        py::object lists = array_entry(annot, key);
        if (lists.is_none()) continue;
        py::object out = pdf_objects().attr("ArrayObject")();
        for (py::handle points : lists) out.attr("append")(moved_points(points, m));
        annot[name(key)] = out;
    }
}

py::tuple get_file_list(py::object self) {
    py::object folder = self.attr("input_folder");
    if (!toolkit::folder_usable(g, folder)) {
        log(g, "error", "Error: Input folder not found: " + str(folder));
        return py::make_tuple(py::list(), py::list());
    }
    auto [found_paths, found_names] =
        toolkit::find_files_with_extensions(g, folder, list_of("pdf"), false);
    auto [pdf_paths, pdf_names] = regular_files(g, found_paths, found_names);
    if (pdf_paths.empty()) return py::make_tuple(py::list(), py::list());

    // Plain code-point order of the names; sorted() is stable, so equal names
    // keep the toolkit's order.
    py::module_ builtins = py::module_::import("builtins");
    py::object pairs =
        builtins.attr("sorted")(builtins.attr("zip")(pdf_paths, pdf_names),
                                "key"_a = py::module_::import("operator").attr("itemgetter")(1));

    // The output of an earlier run is not an input of this one (the default
    // puts it inside the input folder); any other file at the output path is,
    // and the overwrite guard refuses it.
    py::list paths, names;
    for (py::handle pair : pairs) {
        paths.append(pair[py::int_(0)]);
        names.append(pair[py::int_(1)]);
    }
    py::object output = self.attr("output_file");
    for (py::object clash = find_overwrite(output, paths); !clash.is_none();
         clash = find_overwrite(output, paths)) {
        if (!written_by_leafmix(clash)) break;
        log(g, "info", "Skipping the output file itself: " + str(clash));
        py::object at = paths.attr("index")(clash);
        paths.attr("pop")(at);
        names.attr("pop")(at);
    }
    return py::make_tuple(paths, names);
}

py::tuple calculate_cell_layout(py::object self) {
    // Python arithmetic on the configured values: int stays int until the
    // true division.
    py::int_ two(2);
    py::object margin = self.attr("margin");
    py::object page_w = self.attr("page_width"), page_h = self.attr("page_height");
    py::object usable_w = page_w - two * margin;
    py::object usable_h = page_h - two * margin;
    py::object cols = self.attr("cols"), rows = self.attr("rows");
    return py::make_tuple(usable_w / cols, usable_h / rows);
}

py::object get_layout_params(py::object /*self*/, py::object source_page, py::object target_rect) {
    py::list rect(target_rect);
    if (rect.size() != 4)
        throw py::value_error("target_rect must have 4 items (x, y, width, height), got " +
                              std::to_string(rect.size()));
    double tx = as_double(rect[0]), ty = as_double(rect[1]);
    double tw = as_double(rect[2]), th = as_double(rect[3]);

    py::object rot = source_page.attr("get")("/Rotate", 0);
    py::object cb = source_page.attr("cropbox");
    // A box may be given by any two opposite corners; normalise it so that a
    // reversed box neither mirrors the page nor moves it out of its cell.
    double left = as_double(cb.attr("left")), right = as_double(cb.attr("right"));
    double bottom = as_double(cb.attr("bottom")), top = as_double(cb.attr("top"));
    double x0 = std::min(left, right), y0 = std::min(bottom, top);
    double w0 = std::fabs(right - left), h0 = std::fabs(top - bottom);

    int turn = displayed_rotation(rot);
    double src_w = (turn == 90 || turn == 270) ? h0 : w0;
    double src_h = (turn == 90 || turn == 270) ? w0 : h0;
    if (src_w == 0.0 || src_h == 0.0) return py::none();

    double scale = std::min(tw / src_w, th / src_h) * CELL_FILL;
    double final_w = src_w * scale, final_h = src_h * scale;

    py::dict params;
    params["scale"] = scale;
    params["tx"] = tx + (tw - final_w) / 2;
    params["ty"] = ty + (th - final_h) / 2;
    params["rot"] = rot;
    params["x0"] = x0;
    params["y0"] = y0;
    params["src_w"] = src_w;
    params["src_h"] = src_h;
    return params;
}

py::object placement_transform(const py::dict& params) {
    py::object op = g["Transformation"]().attr("translate")("tx"_a = -as_double(params["x0"]),
                                                            "ty"_a = -as_double(params["y0"]));
    py::object src_w = params["src_w"], src_h = params["src_h"];
    // The crop box now lies at the origin, w0 wide and h0 high. Turning it
    // clockwise as a viewer would (pypdf's angles run anticlockwise) swings
    // it into another quadrant; each translation brings it back onto
    // (0, 0)-(src_w, src_h), the box the scale and centring were made for:
    //   90:  (x, y) -> (y, -x),  the box spans y in [-w0, 0] = [-src_h, 0]
    //   180: (x, y) -> (-x, -y), both axes negative
    //   270: (x, y) -> (-y, x),  the box spans x in [-h0, 0] = [-src_w, 0]
    switch (displayed_rotation(params["rot"])) {
        case 90:
            op = op.attr("rotate")(-90).attr("translate")("tx"_a = 0, "ty"_a = src_h);
            break;
        case 180:
            op = op.attr("rotate")(-180).attr("translate")("tx"_a = src_w, "ty"_a = src_h);
            break;
        case 270:
            op = op.attr("rotate")(-270).attr("translate")("tx"_a = src_w, "ty"_a = 0);
            break;
        default:
            break;
    }
    py::object scale = params["scale"];
    return op.attr("scale")("sx"_a = scale, "sy"_a = scale)
        .attr("translate")("tx"_a = params["tx"], "ty"_a = params["ty"]);
}

}  // namespace dorvex
