// The pages of one run: the Markdown files of the input folder as pages,
// their Mermaid blocks drawn in place, and each diagram file as an SVG and a
// page around it. Every drawing is planned first, so that all go to the
// renderer together; the pages are then finished in listing order.
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "chartsite.hpp"
#include "common/atomic.hpp"
#include "common/command.hpp"
#include "common/files.hpp"
#include "common/progress.hpp"

namespace dorvex {

namespace {

const auto& g = g_chartsite;

// A page name another page of the run took gets "-2", "-3", ... from here.
constexpr int FIRST_FREE_NUMBER = 2;

py::object read_text(py::handle path) { return read_file(path, "r", py::str("utf-8")); }

py::object join(py::handle folder, py::handle name) {
    return g["os"].attr("path").attr("join")(folder, name);
}

py::object base_name_of(py::handle name) {
    return g["os"].attr("path").attr("splitext")(name)[py::int_(0)];
}

// The input folder's entries whose name ends in `ext` in any letter case, in
// listing order. Only regular files are read (a FIFO could block), but a
// folder named x.md stays in and fails as the file its name claims.
py::list list_inputs(py::handle folder, const char* ext) {
    py::list paths, names;
    for (py::handle name : g["os"].attr("listdir")(folder)) {
        if (!truthy(name.attr("lower")().attr("endswith")(ext))) continue;
        names.append(name);
        paths.append(join(folder, name));
    }
    return regular_files(g, paths, names, true).second;
}

// A page's display title: the configured one (markup allowed), else the file
// name without extension, escaped, since a file name is not markup.
struct Title {
    py::object shown;  // for the log
    py::object html;   // for the page and its link item
};

Title title_for(py::handle titles, py::handle name, py::handle base_name) {
    if (truthy(titles.attr("__contains__")(name))) {
        py::object title = titles.attr("get")(name, base_name);
        return {title, title};
    }
    return {py::reinterpret_borrow<py::object>(base_name),
            py::module_::import("html").attr("escape")(base_name)};
}

// The page name is the base name plus ".html". When a page of this run already
// has it (a.md and a.mmd, or index.md and the site index), the later file gets
// its full name instead, so no page replaces another and every link reaches
// its own file.
py::str page_stem(py::handle base_name, py::handle name, const py::set& written) {
    auto taken = [&](const py::str& stem) { return written.contains(stem + py::str(".html")); };
    py::str stem(base_name);
    if (!taken(stem)) return stem;
    py::str fallback(name);
    stem = fallback;
    for (int n = FIRST_FREE_NUMBER; taken(stem); ++n)
        stem = fallback + py::str("-" + std::to_string(n));
    log(g, "warning",
        str(base_name) + ".html is already a page of this site; " + str(name) + " becomes " +
            str(stem) + ".html");
    return stem;
}

// No page, SVG or index may replace the configuration file (the output
// folder may hold it).
void check_output(const Site& site, py::handle path) {
    refuse_overwrite(g, site.config_file, "output_folder", path, py::tuple());
}

// Writes a page of the site; a failure names the page.
void write_page(py::handle path, py::handle title, py::handle body) {
    py::object page = g["PAGE_TEMPLATE"].attr("format")("title"_a = title, "body_content"_a = body);
    naming_target(path, [&] { write_text_atomic(path, page); });
}

// What mmdc left at `svg_path` after a zero exit: the drawing, and why it is
// none (no file or an empty one, or Mermaid's error picture) or None.
struct Drawing {
    py::object svg = py::none(), error = py::none();
};

Drawing read_drawing(py::handle svg_path) {
    Drawing d;
    auto missing = catch_python(PyExc_FileNotFoundError, [&] { d.svg = read_text(svg_path); });
    if (missing || !truthy(d.svg))
        d.error = py::str("mmdc exited with status 0 but wrote no SVG");
    else
        d.error = mermaid_error(d.svg);
    return d;
}

// An absolute path, so that mmdc never reads a path as an option.
py::str for_mmdc(py::handle path) { return g["os"].attr("path").attr("abspath")(path); }

// A folder of its own for the block sources, the batches and their
// drawings, removed with everything in it.
class TempFolder {
public:
    TempFolder()
        : path_(py::module_::import("tempfile").attr("mkdtemp")("prefix"_a = "chartsite-")) {}
    ~TempFolder() {
        py::error_scope keep;
        try {
            g["shutil"].attr("rmtree")(path_, "ignore_errors"_a = true);
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("removing a temporary folder");
        }
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const py::object& path() const { return path_; }
    py::object join(const std::string& name) const { return dorvex::join(path_, py::str(name)); }

private:
    py::object path_;
};

// What fenced_code makes of a ```mermaid block; the code is HTML-escaped.
constexpr const char* BLOCK_OPEN = "<pre><code class=\"language-mermaid\">";
constexpr const char* BLOCK_CLOSE = "</code></pre>";

// A Markdown page read and converted, its Mermaid blocks handed to the
// drawings; the log speaks of it only when its turn comes.
struct Page {
    py::object md, md_path, base_name;
    std::optional<py::object> failure;  // why it could not be read or converted
    py::object html_body;
    py::list parts;                   // text, code, text, ..., text
    std::vector<std::size_t> blocks;  // their drawings
};

void plan_block(Page& page, Drawings& drawings, const py::object& folder, std::size_t i) {
    std::string n = std::to_string(i / 2 + 1);
    py::object source = join(folder, py::str("block" + n + ".mmd"));
    py::object text = py::module_::import("html").attr("unescape")(page.parts[i]);
    write_text_atomic(source, text);
    // each drawing of the page gets its own id, so their styles and markers
    // do not mix
    page.blocks.push_back(
        drawings.add({text.attr("encode")("utf-8"), source,
                      join(folder, py::str("block" + n + ".svg")), py::str("mermaid-block-" + n)}));
}

// Reads and converts one Markdown page, and plans its Mermaid blocks in a
// folder of their own (the `number`th page's).
void plan_page(Page& page, Drawings& drawings, const TempFolder& work, std::size_t number) {
    py::module_ re = py::module_::import("re");
    py::object block =
        re.attr("escape")(BLOCK_OPEN) + py::str("(.*?)") + re.attr("escape")(BLOCK_CLOSE);
    page.html_body = g["markdown"].attr("markdown")(
        read_text(page.md_path), "extensions"_a = list_of("fenced_code", "tables"));
    page.parts = re.attr("split")(block, page.html_body, "flags"_a = re.attr("S"));
    if (page.parts.size() == 1) return;
    py::object folder = work.join("page" + std::to_string(number));
    g["os"].attr("mkdir")(folder);
    for (std::size_t i = 1; i < page.parts.size(); i += 2) plan_block(page, drawings, folder, i);
}

std::vector<Page> plan_pages(const Site& site, const py::list& names, Drawings& drawings,
                             const TempFolder& work) {
    py::object input_folder = site.self.attr("input_folder");
    std::vector<Page> pages;
    for (py::handle md : names) {
        Page page;
        page.md = py::reinterpret_borrow<py::object>(md);
        page.md_path = join(input_folder, md);
        page.base_name = base_name_of(md);
        page.failure = catch_ordinary([&] { plan_page(page, drawings, work, pages.size() + 1); });
        pages.push_back(std::move(page));
    }
    return pages;
}

// The page's Mermaid blocks as inline SVG in place of each block; a block
// that cannot be drawn stays as code, with a warning.
py::object draw_blocks(Page& page, Drawings& drawings) {
    if (page.parts.size() == 1) return page.html_body;
    py::list parts = page.parts;
    for (std::size_t k = 0; k < page.blocks.size(); ++k) {
        py::list argv = drawings.lone_argv(page.blocks[k]);
        py::object err = drawings.wait(page.blocks[k], argv);
        Drawing drawn;
        if (err.is_none()) err = (drawn = read_drawing(argv[py::int_(SVG_ARG)])).error;
        std::size_t i = 2 * k + 1;
        if (err.is_none()) {
            parts[i] = drawn.svg;
        } else {
            log(g, "warning",
                "Mermaid block " + std::to_string(k + 1) + " of " + str(page.md) +
                    " stays as code: " + error_text(err));
            parts[i] = py::str(BLOCK_OPEN) + py::str(parts[i]) + py::str(BLOCK_CLOSE);
        }
    }
    return py::str("").attr("join")(parts);
}

void finish_pages(Site& site, std::vector<Page>& pages, Drawings& drawings) {
    py::object output_folder = site.self.attr("output_folder");
    for (Page& page : pages) {
        ++site.inputs;
        py::str out_name = page_stem(page.base_name, page.md, site.written) + py::str(".html");
        py::object out_path = join(output_folder, out_name);
        Title title = title_for(site.self.attr("doc_titles"), page.md, page.base_name);
        log(g, "info",
            "Processing Markdown: " + str(page.md) + " -> " + printable(title.shown, SHOWN_CHARS));

        auto failure = page.failure;
        if (!failure)
            failure = catch_ordinary([&] {
                py::object html_body = draw_blocks(page, drawings);
                check_output(site, out_path);
                write_page(out_path, title.html, html_body);
                site.written.add(out_name);
                site.md_links.append(markdown_link(out_name, title.html));
            });
        if (failure)
            log(g, "error", "Failed to process " + str(page.md) + ": " + error_text(*failure));
    }
}

struct Diagram {
    py::object mmd, base_name, mmd_path;
    // mmdc renders beside the target and the SVG is renamed into place
    // only when it is complete, so a failed render keeps an earlier SVG.
    std::unique_ptr<AtomicPath> svg;
    std::size_t drawing = 0;
};

std::vector<Diagram> plan_diagrams(const Site& site, const py::list& names, Drawings& drawings) {
    py::object input_folder = site.self.attr("input_folder");
    py::object output_folder = site.self.attr("output_folder");
    std::vector<Diagram> diagrams;
    for (py::handle mmd : names) {
        Diagram d;
        d.mmd = py::reinterpret_borrow<py::object>(mmd);
        d.base_name = base_name_of(mmd);
        d.mmd_path = for_mmdc(join(input_folder, mmd));
        py::object svg_path = for_mmdc(join(output_folder, d.base_name + py::str(".svg")));
        naming_target(svg_path, [&] { d.svg = std::make_unique<AtomicPath>(svg_path); });
        // unreadable here, it is left to mmdc alone to say why
        py::object text = py::none();
        catch_ordinary([&] { text = read_file(d.mmd_path, "rb"); });
        d.drawing = drawings.add({text, d.mmd_path, d.svg->temp(), py::none()});
        diagrams.push_back(std::move(d));
    }
    return diagrams;
}

// One diagram's SVG put in place at `svg_path` and its page written beside
// it, named `stem`.
void finish_diagram(Site& site, Diagram& d, const py::str& stem, py::handle svg_path,
                    const Title& title, const Drawing& drawn) {
    py::str html_name = stem + py::str(".html");
    py::object html_path = join(site.self.attr("output_folder"), html_name);
    check_output(site, svg_path);
    check_output(site, html_path);
    naming_target(svg_path, [&] { d.svg->commit(svg_path); });
    // The SVG goes inline into the page.
    write_page(html_path, title.html, drawn.svg);
    site.written.add(html_name);
    site.chart_links.append(chart_link(stem, title.html));
}

// Takes the drawings in listing order: the pages, the log and the index are
// the same however they were drawn.
void finish_diagrams(Site& site, std::vector<Diagram>& diagrams, Drawings& drawings) {
    py::object output_folder = site.self.attr("output_folder");
    Progress progress(diagrams.size(), "Rendering diagrams");
    for (Diagram& d : diagrams) {
        ++site.inputs;
        py::str stem = page_stem(d.base_name, d.mmd, site.written);
        Title title = title_for(site.self.attr("chart_titles"), d.mmd, d.base_name);
        log(g, "info",
            "Converting diagram: " + str(d.mmd) + " -> " + printable(title.shown, SHOWN_CHARS) +
                " ...");

        // An argument vector without a shell: a file name is never read as
        // a command. The error names the SVG the user asked for.
        py::object svg_path = for_mmdc(join(output_folder, stem + py::str(".svg")));
        py::list shown = drawings.lone_argv(d.drawing);
        shown[SVG_ARG] = svg_path;
        py::object err = drawings.wait(d.drawing, shown);
        progress.advance();
        // A zero status without a drawing, or with Mermaid's error picture, is
        // a failed diagram like any other.
        Drawing drawn;
        if (err.is_none()) err = (drawn = read_drawing(d.svg->temp())).error;
        if (!err.is_none()) {
            log(g, "error", "Failed to convert " + str(d.mmd) + ": " + error_text(err));
            continue;
        }
        finish_diagram(site, d, stem, svg_path, title, drawn);
    }
}

}  // namespace

void make_pages(Site& site) {
    py::object input_folder = site.self.attr("input_folder");
    TempFolder work;
    std::vector<Page> pages;
    std::vector<Diagram> diagrams;
    Drawings drawings(site.render, work.path());  // destroyed first: no child outlives its files
    pages = plan_pages(site, list_inputs(input_folder, ".md"), drawings, work);
    diagrams = plan_diagrams(site, list_inputs(input_folder, ".mmd"), drawings);
    finish_pages(site, pages, drawings);
    finish_diagrams(site, diagrams, drawings);
}

}  // namespace dorvex
