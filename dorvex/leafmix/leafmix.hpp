// leaf-mix: the merge worker `Leafmixer`, its settings table, and what the
// module's files share. layout.cpp fits pages into cells, compose.cpp draws
// them and saves the document, annotations.cpp moves their annotations,
// reading.cpp reads the input files; init_leafmixer binds the worker.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "common/pyutil.hpp"
#include "common/settings.hpp"

namespace dorvex {

inline constexpr Globals g_leafmix{"dorvex.leafmix"};

// The settings: what the template writes, and what is used when a key is
// absent. The template asks for 2 rows, a configuration without the key gets
// 1. "page_size" is written for the reader and never read: output pages are
// always A4.
inline constexpr Key LAYOUT_KEYS[] = {
    {"cols", integer(2), integer(2)},
    {"rows", integer(2), integer(1)},
    {"landscape", boolean(false), boolean(false)},
};
inline constexpr Key CONFIG_KEYS[] = {
    {"input_folder", text("./data_leafmix"), text("./data_leafmix")},
    {"output_file", text("./data_leafmix/merged_report.pdf"),
     text("./data_leafmix/merged_report.pdf")},
    {"layout", section(keys_of(LAYOUT_KEYS)), mapping()},
    {"page_size", text("A4"), ABSENT},
    {"margin", integer(20), integer(20)},
    {"debug_grid", boolean(false), boolean(false)},
};
// The file; the worker is given its "config" section.
inline constexpr Key SETTINGS[] = {
    {"config", section(keys_of(CONFIG_KEYS)), mapping()},
};

// The worker; its configuration lives in the instance dictionary.
struct Leafmixer {};

// pypdf's low-level objects (ArrayObject, NameObject, ...). Imported where
// they are used: the module loads pypdf at its first use.
inline py::module_ pdf_objects() { return py::module_::import("pypdf.generic"); }

inline bool is_instance(py::handle obj, const char* pypdf_type) {
    return py::isinstance(obj, pdf_objects().attr(pypdf_type));
}

// A Python number (int, float or one of pypdf's) as a double.
inline double as_double(py::handle value) {
    return py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>();
}

// A PDF array of the numbers `values`.
inline py::object pdf_array(std::initializer_list<double> values) {
    py::object array = pdf_objects().attr("ArrayObject")();
    for (double v : values) array.attr("append")(pdf_objects().attr("FloatObject")(v));
    return array;
}

// `obj` copied into the writer, with what it refers to, as an object of its
// own; its reference.
inline py::object add_to_writer(py::handle writer, py::handle obj) {
    py::object copy = obj.attr("clone")(writer);
    py::object ref = py::getattr(copy, "indirect_reference", py::none());
    return ref.is_none() ? writer.attr("_add_object")(copy) : ref;
}

// reading.cpp
// The /Producer of every merged PDF, by which a later run knows it.
inline constexpr const char* PRODUCER = "dorvex leaf-mix";
bool written_by_leafmix(py::handle path);

// While alive, pypdf's log records are kept from standard error;
// report(name) logs the distinct warnings gathered since as one warning line
// naming the file.
class PypdfWarnings {
public:
    PypdfWarnings();
    ~PypdfWarnings();
    PypdfWarnings(const PypdfWarnings&) = delete;
    PypdfWarnings& operator=(const PypdfWarnings&) = delete;
    void report(py::handle name);

private:
    py::object logger_, handler_, propagate_;
    py::list messages_;
};

// layout.cpp
py::tuple get_file_list(py::object self);
py::tuple calculate_cell_layout(py::object self);
py::object get_layout_params(py::object self, py::object source_page, py::object target_rect);
// The transformation that draws a source page upright into the box that
// get_layout_params computed for it.
py::object placement_transform(const py::dict& params);

struct Point {
    double x, y;
};
// An upright rectangle, x0 <= x1 and y0 <= y1.
struct Box {
    double x0, y0, x1, y1;
};
// An affine map as pypdf's Transformation.ctm holds it:
// (x, y) -> (a x + c y + e, b x + d y + f).
struct Affine {
    double a, b, c, d, e, f;
    static Affine of(py::handle transformation);  // a pypdf Transformation
    static Affine of_array(py::handle numbers);   // six numbers, as in /Matrix
    Point apply(double x, double y) const { return {a * x + c * y + e, b * x + d * y + f}; }
    // the upright box around the moved corners
    Box apply(const Box& box) const;
    // whether x and y change places (a quarter turn)
    bool swaps_axes() const { return b != 0.0 || c != 0.0; }
    // this map followed by `next`
    Affine then(const Affine& next) const {
        return {a * next.a + b * next.c,          a * next.b + b * next.d,
                c * next.a + d * next.c,          c * next.b + d * next.d,
                e * next.a + f * next.c + next.e, e * next.b + f * next.d + next.f};
    }
};
// Moves the coordinates of an annotation (/Rect, /RD, /QuadPoints, /Vertices,
// /L, /CL, /InkList, /Path) through m, in place.
void move_annotation_geometry(py::handle annot, const Affine& m);

// Where one source page was drawn: the output page, the map from the source
// page's space onto it, and the box the page fills there.
struct Placement {
    py::object source_page, output_page;
    Affine map;
    Box cell;
};

// annotations.cpp
// Copies the annotations of one file's placed pages into the writer, moved
// into their cells. Run once all the file's pages are placed, so that a link
// can point at any of them. Returns how many could not be moved and were
// left out, with the first reason.
std::pair<size_t, std::string> move_annotations(py::handle writer, py::handle reader,
                                                const std::vector<Placement>& placed);

// compose.cpp
py::object run(py::object self, py::object config_file);
py::object create_red_frame_page(py::object self, py::object x, py::object y, py::object w,
                                 py::object h);
bool save_file(py::object self);

// settings.cpp: checks the "config" section `conf` before any work, after
// warning about keys it does not know; a bad value is one error line naming
// `file` and the key, and status 1.
void check_settings(const Globals& g, py::handle file, py::handle conf);

// leafmixer.cpp: binds `Leafmixer` with its constructor and methods.
void init_leafmixer(py::module_& m);

}  // namespace dorvex
