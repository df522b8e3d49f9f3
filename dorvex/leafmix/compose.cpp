// The merge itself: every source page drawn into the next cell of the grid,
// one bookmark per input file, and the atomic save of the merged document.
#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/atomic.hpp"
#include "common/command.hpp"
#include "common/progress.hpp"
#include "leafmix.hpp"

namespace dorvex {

namespace {

const auto& g = g_leafmix;

py::module_ generic() { return py::module_::import("pypdf.generic"); }

double as_double(py::handle value) {
    return py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>();
}

py::object pdf_array(std::initializer_list<double> values) {
    py::object array = generic().attr("ArrayObject")();
    for (double v : values) array.attr("append")(generic().attr("FloatObject")(v));
    return array;
}

// `obj` copied into the writer, with what it refers to, as an object of its
// own; its reference.
py::object add_to_writer(py::handle writer, py::handle obj) {
    py::object copy = obj.attr("clone")(writer);
    py::object ref = py::getattr(copy, "indirect_reference", py::none());
    return ref.is_none() ? writer.attr("_add_object")(copy) : ref;
}

// A stand-in page that draws `source_page` as one form XObject holding its
// content and its own resources exactly as they are. Merging the source page
// itself would merge its resources into the output page's, renaming clashing
// names in the page content only, so that forms which rely on the page's
// resources (common in drawings) would draw another file's images and colour
// spaces. The stand-in's only resource is the form; its clip box is the
// source's crop box.
// The form is an object of the writer's own, under a name that no other cell
// of the output page uses: of two resources with one name whose dictionaries
// compare equal, pypdf keeps the first, and a stream's data takes no part in
// that test, so pages with alike dictionaries (an empty or /ProcSet-only
// /Resources) would all draw the first one.
py::object page_as_form(py::handle writer, py::handle source_page, const py::dict& params,
                        const std::string& form_name) {
    py::module_ pdf = generic();
    py::object name = pdf.attr("NameObject");
    py::object contents = source_page.attr("get")("/Contents");
    py::bytes data("");
    if (!contents.is_none()) {
        contents = contents.attr("get_object")();
        if (py::isinstance(contents, pdf.attr("ArrayObject"))) {
            py::list parts;
            for (py::handle part : contents)
                parts.append(part.attr("get_object")().attr("get_data")());
            data = py::bytes("\n").attr("join")(parts);
        } else {
            data = contents.attr("get_data")();
        }
    }
    double x0 = as_double(params["x0"]), y0 = as_double(params["y0"]);
    py::object cb = source_page.attr("cropbox");
    double w0 = std::fabs(as_double(cb.attr("right")) - as_double(cb.attr("left")));
    double h0 = std::fabs(as_double(cb.attr("top")) - as_double(cb.attr("bottom")));

    py::object form = pdf.attr("DecodedStreamObject")();
    form.attr("set_data")(data);
    form[name("/Type")] = name("/XObject");
    form[name("/Subtype")] = name("/Form");
    form[name("/BBox")] = pdf_array({x0, y0, x0 + w0, y0 + h0});
    py::object resources = source_page.attr("get")("/Resources");
    bool has_resources = !resources.is_none() && py::isinstance(resources.attr("get_object")(),
                                                                pdf.attr("DictionaryObject"));
    form[name("/Resources")] =
        has_resources ? resources : py::object(pdf.attr("DictionaryObject")());
    py::object group = source_page.attr("get")("/Group");
    if (!group.is_none()) form[name("/Group")] = group;

    py::object stand_in =
        g["PageObject"].attr("create_blank_page")("width"_a = w0, "height"_a = h0);
    py::object box = pdf.attr("RectangleObject")(pdf_array({x0, y0, x0 + w0, y0 + h0}));
    stand_in.attr("mediabox") = box;
    stand_in.attr("cropbox") = box;
    py::object xobjects = pdf.attr("DictionaryObject")();
    xobjects[name("/" + form_name)] = add_to_writer(writer, form.attr("flate_encode")());
    py::object res = pdf.attr("DictionaryObject")();
    res[name("/XObject")] = xobjects;
    stand_in[name("/Resources")] = res;
    py::object draw = pdf.attr("DecodedStreamObject")();
    draw.attr("set_data")(py::bytes("/" + form_name + " Do"));
    stand_in[name("/Contents")] = draw;
    return stand_in;
}

// Where one source page was drawn: the output page, the map from the source
// page's space onto it, and the box the page fills there.
struct Placement {
    py::object source_page, output_page;
    Affine map;
    Box cell;
};

bool is_instance(py::handle obj, const char* pypdf_type) {
    return py::isinstance(obj, generic().attr(pypdf_type));
}

long object_number(py::handle ref) { return ref.attr("idnum").cast<long>(); }

// The annotations of one file's placed pages, moved into their cells. This
// runs once all the file's pages are placed, so that a link can point at any
// of them.
class AnnotationMover {
public:
    AnnotationMover(py::object writer, py::object reader, const std::vector<Placement>& placed)
        : writer_(std::move(writer)), reader_(std::move(reader)), placed_(placed) {
        for (size_t i = 0; i < placed_.size(); ++i) {
            py::object ref = placed_[i].source_page.attr("indirect_reference");
            if (!ref.is_none()) by_object_.emplace(object_number(ref), i);
        }
    }

    // Returns how many annotations could not be moved and were left out,
    // with the first reason.
    std::pair<size_t, std::string> run() {
        for (const Placement& p : placed_) move_page(p);
        return {left_out_, first_error_};
    }

private:
    void move_page(const Placement& p) {
        py::object annots = p.source_page.attr("get")("/Annots");
        if (annots.is_none()) return;
        annots = annots.attr("get_object")();
        if (!is_instance(annots, "ArrayObject")) return;
        py::object name = generic().attr("NameObject");
        py::object out = p.output_page.attr("get")("/Annots");
        if (out.is_none()) {
            out = generic().attr("ArrayObject")();
            p.output_page[name("/Annots")] = out;
        }
        std::map<long, py::object> copies;  // source object number -> its copy
        std::vector<std::pair<py::object, py::object>> moved;
        for (py::handle entry : annots) {
            py::object annot = entry.attr("get_object")();
            if (!is_instance(annot, "DictionaryObject")) continue;
            py::object copy;
            auto failure = catch_ordinary([&] { copy = moved_annotation(annot, p); });
            if (failure) {
                if (left_out_++ == 0) first_error_ = str(*failure);
                continue;
            }
            out.attr("append")(copy.attr("indirect_reference"));
            if (is_instance(entry, "IndirectObject")) copies[object_number(entry)] = copy;
            moved.emplace_back(annot, copy);
        }
        // A note and its pop-up window, or a reply and what it answers, keep
        // pointing at each other when both are on the page.
        for (auto& [annot, copy] : moved)
            for (const char* key : {"/Popup", "/Parent", "/IRT"}) {
                if (!annot.contains(key)) continue;
                py::object ref = annot.attr("raw_get")(key);
                if (!is_instance(ref, "IndirectObject")) continue;
                auto it = copies.find(object_number(ref));
                if (it != copies.end()) copy[name(key)] = it->second.attr("indirect_reference");
            }
    }

    // A copy of `annot` in the writer, drawn where the page put it. Links to
    // other annotations, the structure tree and form fields are left out
    // (none of these comes along); page links are pointed at the cells.
    py::object moved_annotation(py::handle annot, const Placement& p) {
        py::object name = generic().attr("NameObject");
        // A quarter or half turn is given to the appearance as well: a viewer
        // fits an appearance into /Rect by scaling alone.
        bool turned = p.map.swaps_axes() || p.map.a < 0 || p.map.d < 0;
        py::object shallow = generic().attr("DictionaryObject")();
        for (py::handle key : annot.attr("keys")()) {
            std::string k = str(key);
            if (k == "/P" || k == "/Parent" || k == "/Popup" || k == "/IRT" ||
                k == "/StructParent" || k == "/Dest" || k == "/A" || (turned && k == "/AP"))
                continue;
            shallow[key] = annot.attr("raw_get")(key);
        }
        py::object copy = shallow.attr("clone")(writer_);
        move_annotation_geometry(copy, p.map);
        if (turned) {
            py::object ap = annot.attr("get")("/AP");
            if (!ap.is_none() && is_instance(ap.attr("get_object")(), "DictionaryObject"))
                copy[name("/AP")] = turned_appearances(ap.attr("get_object")(), p.map);
        }
        py::object dest = annot.attr("get")("/Dest");
        if (!dest.is_none()) {
            py::object moved = moved_destination(dest);
            if (!moved.is_none()) copy[name("/Dest")] = moved;
        }
        py::object action = annot.attr("get")("/A");
        if (!action.is_none()) {
            action = action.attr("get_object")();
            if (!is_instance(action, "DictionaryObject") ||
                str(action.attr("get")("/S", "")) != "/GoTo") {
                copy[name("/A")] = annot.attr("raw_get")("/A").attr("clone")(writer_);
            } else if (py::object target = action.attr("get")("/D"); !target.is_none()) {
                py::object moved = moved_destination(target);
                if (!moved.is_none()) {
                    py::object go_to = generic().attr("DictionaryObject")();
                    go_to[name("/S")] = name("/GoTo");
                    go_to[name("/D")] = moved;
                    copy[name("/A")] = go_to;
                }
            }
        }
        copy[name("/P")] = p.output_page.attr("indirect_reference");
        writer_.attr("_add_object")(copy);
        return copy;
    }

    // /AP with each appearance stream (of each state) turned with the page.
    py::object turned_appearances(py::handle ap, const Affine& map) {
        py::object out = generic().attr("DictionaryObject")();
        for (py::handle key : ap.attr("keys")()) {
            py::object value = ap[key];
            if (is_instance(value, "StreamObject")) {
                out[key] = turned_stream(value, map);
            } else if (is_instance(value, "DictionaryObject")) {
                py::object states = generic().attr("DictionaryObject")();
                for (py::handle state : value.attr("keys")()) {
                    py::object stream = value[state];
                    states[state] = is_instance(stream, "StreamObject")
                                        ? turned_stream(stream, map)
                                        : stream.attr("clone")(writer_);
                }
                out[key] = states;
            } else {
                out[key] = ap.attr("raw_get")(key).attr("clone")(writer_);
            }
        }
        return out;
    }

    // A new copy of an appearance stream whose /Matrix also applies `map`.
    py::object turned_stream(py::handle stream, const Affine& map) {
        py::object name = generic().attr("NameObject");
        py::object fresh = generic().attr("DecodedStreamObject")();
        for (py::handle key : stream.attr("keys")()) {
            std::string k = str(key);
            if (k != "/Filter" && k != "/DecodeParms" && k != "/Length")
                fresh[key] = stream.attr("raw_get")(key);
        }
        fresh.attr("set_data")(stream.attr("get_data")());
        py::object matrix = stream.attr("get")("/Matrix");
        Affine before{1, 0, 0, 1, 0, 0};
        if (!matrix.is_none()) before = Affine::of_array(matrix.attr("get_object")());
        Affine after = before.then(map);
        fresh[name("/Matrix")] = pdf_array({after.a, after.b, after.c, after.d, after.e, after.f});
        return add_to_writer(writer_, fresh.attr("flate_encode")());
    }

    // The placement of the page that a destination names: an object of the
    // file's, or a page number.
    const Placement* target(py::handle page) {
        long number = -1;
        if (is_instance(page, "IndirectObject")) {
            number = object_number(page);
        } else if (py::isinstance<py::int_>(page)) {
            py::object pages = reader_.attr("pages");
            long index = page.cast<long>();
            if (index < 0 || index >= static_cast<long>(py::len(pages))) return nullptr;
            py::object ref = pages[py::int_(index)].attr("indirect_reference");
            if (ref.is_none()) return nullptr;
            number = object_number(ref);
        }
        auto it = by_object_.find(number);
        return it == by_object_.end() ? nullptr : &placed_[it->second];
    }

    // A page destination (an array or a name) pointed at the cell where its
    // page was drawn; none when that page is not in the output. Whatever
    // fitted the page now fits its cell; a position moves with the page.
    py::object moved_destination(py::handle dest_entry) {
        py::object dest = dest_entry.attr("get_object")();
        if (!is_instance(dest, "ArrayObject")) {
            if (named_.is_none()) named_ = reader_.attr("named_destinations");
            py::object found = named_.attr("get")(py::str(dest));
            if (found.is_none()) return found;
            dest = found.attr("dest_array");
        }
        size_t size = py::len(dest);
        if (size < 2) return py::none();
        const Placement* p = target(dest[py::int_(0)]);
        if (!p) return py::none();
        auto number_at = [&](size_t i) -> std::optional<double> {
            if (i >= size) return std::nullopt;
            py::object v = dest[py::int_(i)].attr("get_object")();
            if (py::isinstance<py::bool_>(v) ||
                !(py::isinstance<py::int_>(v) || py::isinstance<py::float_>(v)))
                return std::nullopt;
            return as_double(v);
        };
        // the numbers after the type: /XYZ left top zoom, /FitH top, /FitV left,
        // /FitR left bottom right top
        std::string type = str(dest[py::int_(1)]);
        auto n2 = number_at(2), n3 = number_at(3), n4 = number_at(4), n5 = number_at(5);
        if (type == "/FitR" && n2 && n3 && n4 && n5) {
            Box box = p->map.apply(Box{std::min(*n2, *n4), std::min(*n3, *n5), std::max(*n2, *n4),
                                       std::max(*n3, *n5)});
            return destination(*p, "/FitR", {box.x0, box.y0, box.x1, box.y1});
        }
        bool xyz = type == "/XYZ";
        auto left = (xyz || type == "/FitV" || type == "/FitBV") ? n2 : std::nullopt;
        auto top = xyz ? n3 : (type == "/FitH" || type == "/FitBH") ? n2 : std::nullopt;
        if (!left && !top)
            return destination(*p, "/FitR", {p->cell.x0, p->cell.y0, p->cell.x1, p->cell.y1});
        // A quarter turn makes the source's x the output's y and the other
        // way round; a side not given stays at the page's own edge.
        Point q = p->map.apply(left.value_or(0), top.value_or(0));
        bool swaps = p->map.swaps_axes();
        py::object out = destination(
            *p, "/XYZ",
            {(swaps ? top : left) ? q.x : p->cell.x0, (swaps ? left : top) ? q.y : p->cell.y1});
        out.attr("append")(xyz && n4 ? generic().attr("FloatObject")(*n4)
                                     : generic().attr("NullObject")());
        return out;
    }

    static py::object destination(const Placement& p, const char* type,
                                  std::initializer_list<double> values) {
        py::object out = pdf_array(values);
        out.attr("insert")(0, generic().attr("NameObject")(type));
        out.attr("insert")(0, p.output_page.attr("indirect_reference"));
        return out;
    }

    py::object writer_, reader_;
    const std::vector<Placement>& placed_;
    std::map<long, size_t> by_object_;  // source page object number -> placement
    py::object named_ = py::none();     // the file's named destinations, once needed
    size_t left_out_ = 0;
    std::string first_error_;
};

// Output page being filled plus the cell counters of one run.
struct Grid {
    py::object self;
    py::object items_per_page;
    py::object cell_w, cell_h;
    py::object page = py::none();
    py::object item_index = py::int_(0);
    long total_pages = 0;

    // A full page is finished here. Its merged content is parsed operator
    // lists until it is compressed back to bytes; doing that now keeps a
    // thousand-page run at roughly the size of its output.
    void start_page_if_full() {
        if (!remainder(item_index, items_per_page).equal(py::int_(0))) return;
        if (!page.is_none()) page.attr("compress_content_streams")();
        // The page lives in the writer from the start, so that a bookmark
        // made while it is being filled has a real target.
        page = self.attr("writer").attr("add_blank_page")("width"_a = self.attr("page_width"),
                                                          "height"_a = self.attr("page_height"));
        item_index = py::int_(0);
    }

    // Draws the page into the next cell; where it went is added to `placed`.
    void place(py::handle source_page, py::handle f_name, std::vector<Placement>& placed) {
        start_page_if_full();
        py::object cols = self.attr("cols");
        py::object margin = self.attr("margin");
        py::object col = remainder(item_index, cols);
        py::object row = floor_div(item_index, cols);
        py::object x_pos = margin + col * cell_w;
        py::object page_h = self.attr("page_height");
        py::object y_pos = page_h - margin - (row + py::int_(1)) * cell_h;

        py::object params = self.attr("_get_layout_params")(
            source_page, py::make_tuple(x_pos, y_pos, cell_w, cell_h));
        if (!params.is_none()) {
            py::dict p = params;
            py::object op = placement_transform(p);
            std::string form_name = "Pg" + std::to_string(total_pages);
            page.attr("merge_transformed_page")(
                page_as_form(self.attr("writer"), source_page, p, form_name), op,
                "expand"_a = false);
            double scale = as_double(p["scale"]), x = as_double(p["tx"]), y = as_double(p["ty"]);
            placed.push_back(
                {py::reinterpret_borrow<py::object>(source_page), page, Affine::of(op),
                 Box{x, y, x + as_double(p["src_w"]) * scale, y + as_double(p["src_h"]) * scale}});
            log(g, "debug",
                "    " + form_name + ": " + str(f_name) + " | Sc=" + format(p["scale"], ".2f") +
                    " | Loc=(" + format(p["tx"], ".1f") + "," + format(p["ty"], ".1f") + ")");
        }
        if (truthy(self.attr("draw_grid")))
            page.attr("merge_page")(
                self.attr("_create_red_frame_page")(x_pos, y_pos, cell_w, cell_h));
    }
};

}  // namespace

py::object run(py::object self) {
    py::object files = self.attr("get_file_list")();
    py::list pdf_paths(files[py::int_(0)]), pdf_names(files[py::int_(1)]);
    if (pdf_paths.empty()) {
        log(g, "warning", "No PDF files found to merge.");
        return py::bool_(false);
    }
    py::object output_file = self.attr("output_file");
    if (!output_is_free(g, self.cast<Leafmixer&>().config_file, "output_file", output_file,
                        pdf_paths))
        return py::bool_(false);
    py::object cell = self.attr("calculate_cell_layout")();
    py::object cols = self.attr("cols"), rows = self.attr("rows");
    Grid grid{self, cols * rows, cell[py::int_(0)], cell[py::int_(1)]};
    log(g, "info", "[STEP 1] Processing " + std::to_string(pdf_paths.size()) + " files...");

    py::object writer = self.attr("writer");
    size_t failed = 0;
    Progress progress(pdf_paths.size(), "Merging PDFs");
    for (size_t i = 0; i < pdf_paths.size(); ++i, progress.advance()) {
        py::object f_path = pdf_paths[i], f_name = pdf_names[i];
        py::object reader = py::none();
        PypdfWarnings warnings;
        std::vector<Placement> placed;
        auto failure = catch_ordinary([&] {
            reader = g["PdfReader"](f_path);
            bool is_first = true;
            for (py::handle source_page : reader.attr("pages")) {
                grid.place(source_page, f_name, placed);
                if (is_first) {
                    writer.attr("add_outline_item")("title"_a = f_name,
                                                    "page_number"_a = grid.page);
                    is_first = false;
                }
                grid.item_index = grid.item_index + py::int_(1);
                ++grid.total_pages;
            }
        });
        if (!placed.empty()) {
            // also for the pages placed before a failure: they stay
            std::pair<size_t, std::string> left_out;
            auto late =
                catch_ordinary([&] { left_out = AnnotationMover(writer, reader, placed).run(); });
            if (!failure) failure = late;
            if (left_out.first)
                log(g, "warning",
                    "Left out " + std::to_string(left_out.first) + " annotation(s) of " +
                        str(f_name) +
                        " that could not be moved into their cells: " + left_out.second);
        }
        if (failure) {
            ++failed;
            log(g, "error", "Failed " + str(f_name) + ": " + str(*failure));
        }
        // What the writer needs is cloned by now; its translation table would
        // otherwise keep every reader, and so every input file, in memory.
        if (!reader.is_none()) writer.attr("reset_translation")(reader);
        warnings.report(f_name);
    }
    if (grid.page.is_none()) {
        log(g, "error", "No pages could be merged.");
        return py::bool_(false);
    }
    grid.page.attr("compress_content_streams")();
    log(g, "info",
        "[STEP 2] Placed " + std::to_string(grid.total_pages) + " pages of " +
            std::to_string(pdf_paths.size() - failed) + " files on " +
            std::to_string(py::len(writer.attr("pages"))) + " output pages (" +
            std::to_string(failed) + " failed)");
    return py::bool_(self.attr("_save_file")());
}

py::object create_red_frame_page(py::object self, py::object x, py::object y, py::object w,
                                 py::object h) {
    py::object page = g["PageObject"].attr("create_blank_page")(
        "width"_a = self.attr("page_width"), "height"_a = self.attr("page_height"));
    py::object ops =
        py::str("q 1 0 0 RG 2 w {:.2f} {:.2f} {:.2f} {:.2f} re S Q").format(x, y, w, h);
    py::object stream = g["StreamObject"]();
    stream.attr("_data") = ops.attr("encode")("ascii");
    py::object name = g["NameObject"];
    page[name("/Contents")] = stream;
    page[name("/Resources")] = g["DictionaryObject"]();
    return page;
}

bool save_file(py::object self) {
    py::object output_file = self.attr("output_file");
    py::object os = g["os"];
    auto failure = catch_ordinary([&] {
        py::object output_dir = os.attr("path").attr("dirname")(output_file);
        if (truthy(output_dir) && !truthy(os.attr("path").attr("exists")(output_dir)))
            os.attr("makedirs")(output_dir);
        AtomicPath tmp(output_file);
        py::dict info;
        info["/Producer"] = PRODUCER;  // how a later run knows its own output
        self.attr("writer").attr("add_metadata")(info);
        self.attr("writer").attr("write")(tmp.temp());
        tmp.commit();
    });
    if (failure) {
        log(g, "error", "Save failed: " + str(*failure));
        return false;
    }
    log(g, "info", "[DONE] Successfully saved merged report: " + str(output_file));
    echo(g, "Success: " + str(output_file));
    return true;
}

}  // namespace dorvex
