// The merge itself: every source page drawn into the next cell of the grid,
// one bookmark per input file, and the atomic save of the merged document.
#include <cmath>
#include <string>
#include <vector>

#include "common/atomic.hpp"
#include "common/command.hpp"
#include "common/progress.hpp"
#include "leafmix.hpp"

namespace dorvex {

namespace {

const auto& g = g_leafmix;

// The content of `page` as one run of bytes, its streams joined as a viewer
// reads them.
py::bytes page_content(py::handle page) {
    py::object contents = page.attr("get")("/Contents");
    if (contents.is_none()) return py::bytes("");
    contents = contents.attr("get_object")();
    if (!is_instance(contents, "ArrayObject")) return contents.attr("get_data")();
    py::list parts;
    for (py::handle part : contents) parts.append(part.attr("get_object")().attr("get_data")());
    return py::bytes("\n").attr("join")(parts);
}

// A form XObject holding the content of `source_page` and its own resources
// exactly as they are, clipped to `box`.
py::object form_of(py::handle source_page, const py::object& box) {
    py::module_ pdf = pdf_objects();
    py::object name = pdf.attr("NameObject");
    py::object form = pdf.attr("DecodedStreamObject")();
    form.attr("set_data")(page_content(source_page));
    form[name("/Type")] = name("/XObject");
    form[name("/Subtype")] = name("/Form");
    form[name("/BBox")] = box;
    py::object resources = source_page.attr("get")("/Resources");
    bool has_resources =
        !resources.is_none() && is_instance(resources.attr("get_object")(), "DictionaryObject");
    form[name("/Resources")] =
        has_resources ? resources : py::object(pdf.attr("DictionaryObject")());
    py::object group = source_page.attr("get")("/Group");
    if (!group.is_none()) form[name("/Group")] = group;
    return form;
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
    py::module_ pdf = pdf_objects();
    py::object name = pdf.attr("NameObject");
    double x0 = as_double(params["x0"]), y0 = as_double(params["y0"]);
    py::object cb = source_page.attr("cropbox");
    double w0 = std::fabs(as_double(cb.attr("right")) - as_double(cb.attr("left")));
    double h0 = std::fabs(as_double(cb.attr("top")) - as_double(cb.attr("bottom")));
    py::object form = form_of(source_page, pdf_array({x0, y0, x0 + w0, y0 + h0}));

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

// Output page being filled plus the cell counters of one run.
struct Grid {
    py::object self;
    py::object items_per_page;
    py::object cell_w, cell_h;
    py::object page = py::none();
    py::object item_index = py::int_(0);
    long total_pages = 0;  // source pages handled, drawn or not: the Pg numbers
    long drawn = 0;        // source pages drawn

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

    // Draws the page, whose params get_layout_params gave, into the cell at
    // (x, y); where it went is added to `placed`.
    void draw(py::handle source_page, const py::dict& p, py::handle f_name,
              std::vector<Placement>& placed) {
        py::object op = placement_transform(p);
        std::string form_name = "Pg" + std::to_string(total_pages);
        page.attr("merge_transformed_page")(
            page_as_form(self.attr("writer"), source_page, p, form_name), op, "expand"_a = false);
        double scale = as_double(p["scale"]), x = as_double(p["tx"]), y = as_double(p["ty"]);
        placed.push_back(
            {py::reinterpret_borrow<py::object>(source_page), page, Affine::of(op),
             Box{x, y, x + as_double(p["src_w"]) * scale, y + as_double(p["src_h"]) * scale}});
        ++drawn;
        log(g, "debug",
            "    " + form_name + ": " + str(f_name) + " | Sc=" + format(p["scale"], ".2f") +
                " | Loc=(" + format(p["tx"], ".1f") + "," + format(p["ty"], ".1f") + ")");
    }

    // Takes the next cell for page `number` (from 1) of the file `f_name`,
    // and draws the page there unless it has no area.
    void place(py::handle source_page, long number, py::handle f_name,
               std::vector<Placement>& placed) {
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
        if (!params.is_none())
            draw(source_page, params, f_name, placed);
        else
            log(g, "warning",
                "Left out page " + std::to_string(number) + " of " + str(f_name) +
                    ": its page box has no width or height");
        if (truthy(self.attr("draw_grid")))
            page.attr("merge_page")(
                self.attr("_create_red_frame_page")(x_pos, y_pos, cell_w, cell_h));
        item_index = item_index + py::int_(1);
        ++total_pages;
    }
};

// Places every page of one input file; false when the file failed, which has
// been logged. Pages placed before a failure stay, with their annotations.
bool merge_file(Grid& grid, py::handle f_path, py::handle f_name) {
    py::object writer = grid.self.attr("writer");
    py::object reader = py::none();
    PypdfWarnings warnings;
    std::vector<Placement> placed;
    auto failure = catch_ordinary([&] {
        reader = g["PdfReader"](f_path);
        long number = 0;
        for (py::handle source_page : reader.attr("pages")) {
            grid.place(source_page, ++number, f_name, placed);
            if (number == 1)
                writer.attr("add_outline_item")("title"_a = f_name, "page_number"_a = grid.page);
        }
    });
    if (!placed.empty()) {
        std::pair<size_t, std::string> left_out;
        auto late = catch_ordinary([&] { left_out = move_annotations(writer, reader, placed); });
        if (!failure) failure = late;
        if (left_out.first)
            log(g, "warning",
                "Left out " + std::to_string(left_out.first) + " annotation(s) of " + str(f_name) +
                    " that could not be moved into their cells: " + left_out.second);
    }
    if (failure) log(g, "error", "Failed " + str(f_name) + ": " + str(*failure));
    // What the writer needs is cloned by now; its translation table would
    // otherwise keep every reader, and so every input file, in memory.
    if (!reader.is_none()) writer.attr("reset_translation")(reader);
    warnings.report(f_name);
    return !failure;
}

}  // namespace

py::object run(py::object self, py::object config_file) {
    py::object files = self.attr("get_file_list")();
    py::list pdf_paths(files[py::int_(0)]), pdf_names(files[py::int_(1)]);
    if (pdf_paths.empty()) {
        log(g, "warning", "No PDF files found to merge.");
        return py::bool_(false);
    }
    if (!output_is_free(g, config_file, "output_file", self.attr("output_file"), pdf_paths))
        return py::bool_(false);
    py::object cell = self.attr("calculate_cell_layout")();
    Grid grid{self, self.attr("cols") * self.attr("rows"), cell[py::int_(0)], cell[py::int_(1)]};
    log(g, "info", "[STEP 1] Processing " + std::to_string(pdf_paths.size()) + " files...");

    size_t failed = 0;
    Progress progress(pdf_paths.size(), "Merging PDFs");
    for (size_t i = 0; i < pdf_paths.size(); ++i, progress.advance())
        if (!merge_file(grid, pdf_paths[i], pdf_names[i])) ++failed;
    // Empty cells alone are no merged document.
    if (grid.drawn == 0) {
        log(g, "error", "No pages could be merged.");
        return py::bool_(false);
    }
    grid.page.attr("compress_content_streams")();
    log(g, "info",
        "[STEP 2] Placed " + std::to_string(grid.drawn) + " pages of " +
            std::to_string(pdf_paths.size() - failed) + " files on " +
            std::to_string(py::len(self.attr("writer").attr("pages"))) + " output pages (" +
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
        // the user knows the output, not the temporary written in its place
        log(g, "error", "Save failed: " + error_naming(*failure, output_file));
        return false;
    }
    log(g, "info", "[DONE] Successfully saved merged report: " + str(output_file));
    echo(g, "Success: " + str(output_file));
    return true;
}

}  // namespace dorvex
