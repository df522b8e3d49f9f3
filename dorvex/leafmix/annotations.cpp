// The annotations of placed pages (links, notes, marks) moved into their
// cells, and page links pointed at the cell their target landed in.
#include <algorithm>
#include <map>
#include <optional>

#include "common/pyutil.hpp"
#include "leafmix.hpp"

namespace dorvex {

namespace {

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
        py::object name = pdf_objects().attr("NameObject");
        py::object out = p.output_page.attr("get")("/Annots");
        if (out.is_none()) {
            out = pdf_objects().attr("ArrayObject")();
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
        py::object name = pdf_objects().attr("NameObject");
        // A quarter or half turn is given to the appearance as well: a viewer
        // fits an appearance into /Rect by scaling alone.
        bool turned = p.map.swaps_axes() || p.map.a < 0 || p.map.d < 0;
        py::object shallow = pdf_objects().attr("DictionaryObject")();
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
                    py::object go_to = pdf_objects().attr("DictionaryObject")();
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
        py::object out = pdf_objects().attr("DictionaryObject")();
        for (py::handle key : ap.attr("keys")()) {
            py::object value = ap[key];
            if (is_instance(value, "StreamObject")) {
                out[key] = turned_stream(value, map);
            } else if (is_instance(value, "DictionaryObject")) {
                py::object states = pdf_objects().attr("DictionaryObject")();
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
        py::object name = pdf_objects().attr("NameObject");
        py::object fresh = pdf_objects().attr("DecodedStreamObject")();
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
        out.attr("append")(xyz && n4 ? pdf_objects().attr("FloatObject")(*n4)
                                     : pdf_objects().attr("NullObject")());
        return out;
    }

    static py::object destination(const Placement& p, const char* type,
                                  std::initializer_list<double> values) {
        py::object out = pdf_array(values);
        out.attr("insert")(0, pdf_objects().attr("NameObject")(type));
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

}  // namespace

std::pair<size_t, std::string> move_annotations(py::handle writer, py::handle reader,
                                                const std::vector<Placement>& placed) {
    return AnnotationMover(py::reinterpret_borrow<py::object>(writer),
                           py::reinterpret_borrow<py::object>(reader), placed)
        .run();
}

}  // namespace dorvex
