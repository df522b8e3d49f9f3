// The merge worker `Leafmixer`: its layout half (layout.cpp) and its page
// composition half (compose.cpp), bound by init_leafmixer.
#pragma once

#include "common/pyutil.hpp"

namespace dorvex {

inline constexpr Globals g_leafmix{"dorvex.leafmix"};

// The C++ side of a Leafmixer: the configuration file it was built from, for
// the overwrite guard's message (none when built from Python).
struct Leafmixer {
    py::object config_file = py::none();
};

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

// compose.cpp
py::object run(py::object self);
py::object create_red_frame_page(py::object self, py::object x, py::object y, py::object w,
                                 py::object h);
bool save_file(py::object self);

// settings.cpp: checks the "config" section before any work; a bad value is
// one error line naming `file` and the key, and status 1.
void check_settings(const Globals& g, py::handle file, py::handle conf);

// Binds `Leafmixer` with its constructor and methods.
void init_leafmixer(py::module_& m);

}  // namespace dorvex
