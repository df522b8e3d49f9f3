// MermaidConverter: the renderer check, the output folder, and the pages made
// from the Markdown and diagram files of the input folder.
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

// The worker; its settings live in the instance dictionary, as the
// configuration delivered them.
struct MermaidConverter {};

void construct(py::object self, py::object conf) {
    self.attr("conf") = conf;
    // Read in this order, each through the stored mapping.
    py::object get = self.attr("conf").attr("get");
    self.attr("input_folder") = get("input_folder", "./data_chartsite");
    self.attr("output_folder") = get("output_folder", "./data_chartsite/html_out");
    self.attr("index_title") = get("index_title", "Project Documentation");
    self.attr("doc_titles") = get("doc_titles", py::dict());
    self.attr("chart_titles") = get("chart_titles", py::dict());
    log(g_chartsite, "debug", self.attr("conf"));
}

[[noreturn]] void raise(PyObject* type, const py::str& message) {
    PyErr_SetObject(type, message.ptr());
    throw py::error_already_set();
}

py::object read_text(py::handle path) { return read_file(path, "r", py::str("utf-8")); }

bool has_extension(py::handle name, const char* ext) {
    return truthy(name.attr("lower")().attr("endswith")(ext));
}

// The input folder's entries ending in `ext`, in listing order, and the lines
// to log about the others when their turn comes. FIFOs, sockets and devices
// are passed over (reading one could block), and so are broken or looping
// links (one warning); a folder stays in and fails as the file its name
// claims.
struct Listing {
    py::list names;
    std::vector<std::pair<const char*, std::string>> notes;  // level, message

    void say() const {
        for (const auto& [level, message] : notes) log(g_chartsite, level, message);
    }
};

Listing list_inputs(py::handle folder, const char* ext) {
    py::object os = g_chartsite["os"];
    py::module_ stat = py::module_::import("stat");
    Listing found;
    for (py::handle name : os.attr("listdir")(folder)) {
        if (!has_extension(name, ext)) continue;
        py::object path = os.attr("path").attr("join")(folder, name);
        py::object info;
        if (auto err = catch_python(PyExc_OSError, [&] { info = os.attr("stat")(path); })) {
            found.notes.emplace_back("warning", "Skipping " + str(path) +
                                                    ": broken or looping link (" +
                                                    str(err->attr("strerror")) + ")");
            continue;
        }
        py::object mode = info.attr("st_mode");
        if (!truthy(stat.attr("S_ISREG")(mode)) && !truthy(stat.attr("S_ISDIR")(mode))) {
            found.notes.emplace_back("debug", "Skipping " + str(path) + ": not a regular file");
            continue;
        }
        found.names.append(name);
    }
    return found;
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
    for (int n = 2; taken(stem); ++n) stem = fallback + py::str("-" + std::to_string(n));
    log(g_chartsite, "warning",
        str(base_name) + ".html is already a page of this site; " + str(name) + " becomes " +
            str(stem) + ".html");
    return stem;
}

// What the steps of one run share.
struct Run {
    py::object self;
    py::object config_file;  // None when run() is called without one
    RenderSettings render;
    py::set written;         // page names of this run
    std::size_t inputs = 0;  // .md and .mmd files found
};

// No page, SVG or index may replace the configuration file (the output
// folder may hold it).
void check_output(const Run& run, py::handle path) {
    refuse_overwrite(g_chartsite, run.config_file, "output_folder", path, py::tuple());
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
py::str for_mmdc(py::handle path) { return g_chartsite["os"].attr("path").attr("abspath")(path); }

py::object fill_page(py::handle title, py::handle body) {
    return g_chartsite["PAGE_TEMPLATE"].attr("format")("title"_a = title, "body_content"_a = body);
}

// A folder of its own for the block sources, the batches and their
// drawings, removed with everything in it.
class TempFolder {
public:
    TempFolder()
        : path_(py::module_::import("tempfile").attr("mkdtemp")("prefix"_a = "chartsite-")) {}
    ~TempFolder() {
        py::error_scope keep;
        try {
            py::module_::import("shutil").attr("rmtree")(path_, "ignore_errors"_a = true);
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("removing a temporary folder");
        }
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const py::object& path() const { return path_; }
    py::object join(const std::string& name) const {
        return py::module_::import("os").attr("path").attr("join")(path_, name);
    }

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
    py::object os_path = py::module_::import("os").attr("path");
    py::object source = os_path.attr("join")(folder, "block" + n + ".mmd");
    py::object text = py::module_::import("html").attr("unescape")(page.parts[i]);
    write_text_atomic(source, text);
    // each drawing of the page gets its own id, so their styles and markers
    // do not mix
    page.blocks.push_back(drawings.add({text.attr("encode")("utf-8"), source,
                                        os_path.attr("join")(folder, "block" + n + ".svg"),
                                        py::str("mermaid-block-" + n)}));
}

std::vector<Page> plan_pages(const Run& run, const Listing& listing, Drawings& drawings,
                             const TempFolder& work) {
    const auto& g = g_chartsite;
    py::object os = g["os"];
    py::object input_folder = run.self.attr("input_folder");
    py::module_ re = py::module_::import("re");
    py::object block =
        re.attr("escape")(BLOCK_OPEN) + py::str("(.*?)") + re.attr("escape")(BLOCK_CLOSE);
    std::vector<Page> pages;
    for (py::handle md : listing.names) {
        Page page;
        page.md = py::reinterpret_borrow<py::object>(md);
        page.md_path = os.attr("path").attr("join")(input_folder, md);
        page.base_name = os.attr("path").attr("splitext")(md)[py::int_(0)];
        page.failure = catch_ordinary([&] {
            page.html_body = g["markdown"].attr("markdown")(
                read_text(page.md_path), "extensions"_a = list_of("fenced_code", "tables"));
            page.parts = re.attr("split")(block, page.html_body, "flags"_a = re.attr("S"));
            if (page.parts.size() == 1) return;
            py::object folder = work.join("page" + std::to_string(pages.size() + 1));
            os.attr("mkdir")(folder);
            for (std::size_t i = 1; i < page.parts.size(); i += 2)
                plan_block(page, drawings, folder, i);
        });
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
        if (err.is_none()) err = (drawn = read_drawing(argv[py::int_(4)])).error;
        std::size_t i = 2 * k + 1;
        if (err.is_none()) {
            parts[i] = drawn.svg;
        } else {
            log(g_chartsite, "warning",
                "Mermaid block " + std::to_string(k + 1) + " of " + str(page.md) +
                    " stays as code: " + str(err));
            parts[i] = py::str(BLOCK_OPEN) + py::str(parts[i]) + py::str(BLOCK_CLOSE);
        }
    }
    return py::str("").attr("join")(parts);
}

void finish_pages(Run& run, std::vector<Page>& pages, Drawings& drawings, py::list& md_links) {
    const auto& g = g_chartsite;
    py::object os = g["os"];
    py::object output_folder = run.self.attr("output_folder");
    for (Page& page : pages) {
        ++run.inputs;
        py::str out_name = page_stem(page.base_name, page.md, run.written) + py::str(".html");
        py::object out_path = os.attr("path").attr("join")(output_folder, out_name);
        Title title = title_for(run.self.attr("doc_titles"), page.md, page.base_name);
        log(g, "info", "Processing Markdown: " + str(page.md) + " -> " + str(title.shown));

        auto failure = page.failure;
        if (!failure)
            failure = catch_ordinary([&] {
                py::object html_body = draw_blocks(page, drawings);
                check_output(run, out_path);
                write_text_atomic(out_path, fill_page(title.html, html_body));
                run.written.add(out_name);
                md_links.append(markdown_link(out_name, title.html));
            });
        if (failure) log(g, "error", "Failed to process " + str(page.md) + ": " + str(*failure));
    }
}

struct Diagram {
    py::object mmd, base_name, mmd_path;
    // mmdc renders beside the target and the SVG is renamed into place
    // only when it is complete, so a failed render keeps an earlier SVG.
    std::unique_ptr<AtomicPath> svg;
    std::size_t drawing = 0;
};

std::vector<Diagram> plan_diagrams(const Run& run, const Listing& listing, Drawings& drawings) {
    py::object os = g_chartsite["os"];
    py::object input_folder = run.self.attr("input_folder");
    py::object output_folder = run.self.attr("output_folder");
    std::vector<Diagram> diagrams;
    for (py::handle mmd : listing.names) {
        Diagram d;
        d.mmd = py::reinterpret_borrow<py::object>(mmd);
        d.base_name = os.attr("path").attr("splitext")(mmd)[py::int_(0)];
        d.mmd_path = for_mmdc(os.attr("path").attr("join")(input_folder, mmd));
        d.svg = std::make_unique<AtomicPath>(
            for_mmdc(os.attr("path").attr("join")(output_folder, d.base_name + py::str(".svg"))));
        // unreadable here, it is left to mmdc alone to say why
        py::object text = py::none();
        catch_ordinary([&] { text = read_file(d.mmd_path, "rb"); });
        d.drawing = drawings.add({text, d.mmd_path, d.svg->temp(), py::none()});
        diagrams.push_back(std::move(d));
    }
    return diagrams;
}

// Takes the drawings in listing order: the pages, the log and the index are
// the same however they were drawn.
void finish_diagrams(Run& run, std::vector<Diagram>& diagrams, Drawings& drawings,
                     py::list& chart_links) {
    const auto& g = g_chartsite;
    py::object os = g["os"];
    py::object output_folder = run.self.attr("output_folder");
    Progress progress(diagrams.size(), "Rendering diagrams");

    for (Diagram& d : diagrams) {
        ++run.inputs;
        py::str stem = page_stem(d.base_name, d.mmd, run.written);
        py::object svg_path =
            for_mmdc(os.attr("path").attr("join")(output_folder, stem + py::str(".svg")));
        py::str html_name = stem + py::str(".html");
        py::object html_path = os.attr("path").attr("join")(output_folder, html_name);
        Title title = title_for(run.self.attr("chart_titles"), d.mmd, d.base_name);
        log(g, "info", "Converting diagram: " + str(d.mmd) + " -> " + str(title.shown) + " ...");

        // An argument vector without a shell: a file name is never read as
        // a command. The error names the SVG the user asked for.
        py::list shown = drawings.lone_argv(d.drawing);
        shown[4] = svg_path;
        py::object err = drawings.wait(d.drawing, shown);
        progress.advance();
        // A zero status without a drawing, or with Mermaid's error picture, is
        // a failed diagram like any other.
        Drawing drawn;
        if (err.is_none()) err = (drawn = read_drawing(d.svg->temp())).error;
        if (!err.is_none()) {
            log(g, "error", "Failed to convert " + str(d.mmd) + ": " + str(err));
            continue;
        }
        check_output(run, svg_path);
        check_output(run, html_path);
        d.svg->commit(svg_path);
        // The SVG goes inline into the page.
        write_text_atomic(html_path, fill_page(title.html, drawn.svg));
        run.written.add(html_name);
        chart_links.append(chart_link(stem, title.html));
    }
}

// Plans every page and diagram first, so that all drawings go to the
// renderer together, then finishes them in order.
void convert(Run& run, py::list& md_links, py::list& chart_links) {
    py::object input_folder = run.self.attr("input_folder");
    TempFolder work;
    std::vector<Page> pages;
    std::vector<Diagram> diagrams;
    Drawings drawings(run.render, work.path());  // destroyed first: no child outlives its files
    Listing md_files = list_inputs(input_folder, ".md");
    pages = plan_pages(run, md_files, drawings, work);
    Listing mmd_files = list_inputs(input_folder, ".mmd");
    diagrams = plan_diagrams(run, mmd_files, drawings);

    md_files.say();
    finish_pages(run, pages, drawings, md_links);
    mmd_files.say();
    finish_diagrams(run, diagrams, drawings, chart_links);
}

}  // namespace

void init_converter(py::module_& m) {
    py::class_<MermaidConverter> cls(m, "MermaidConverter", py::dynamic_attr());
    def_dict_init(cls, &construct, py::arg("conf"));
    cls.def("_prepare_output_dir",
            [](py::object self) {
                const auto& g = g_chartsite;
                py::object folder = self.attr("output_folder");
                if (truthy(g["os"].attr("path").attr("exists")(folder))) return;
                g["os"].attr("makedirs")(folder);
                log(g, "info", "Created output directory: " + str(folder));
            })
        .def("_check_mmdc",
             [](py::object) { return !g_chartsite["shutil"].attr("which")("mmdc").is_none(); })
        .def(
            "run",
            [](py::object self, py::object config_file) {
                const auto& g = g_chartsite;
                RenderSettings render = render_settings();
                // Checked before anything is created.
                if (!truthy(self.attr("_check_mmdc")())) {
                    py::str message(
                        "Mermaid CLI ('mmdc') is not installed or not in PATH.\n"
                        "Please install it via: npm install -g @mermaid-js/mermaid-cli");
                    log(g, "error", message);
                    raise(PyExc_RuntimeError, message);
                }
                py::object input_folder = self.attr("input_folder");
                if (!truthy(g["os"].attr("path").attr("exists")(input_folder)))
                    raise(PyExc_FileNotFoundError,
                          py::str("Input folder not found: " + str(input_folder)));
                self.attr("_prepare_output_dir")();

                Run run{self, config_file, render, py::set(), 0};
                run.written.add(py::str("index.html"));
                py::list md_links, chart_links;
                convert(run, md_links, chart_links);
                if (md_links.empty() && chart_links.empty()) {
                    // Files were there but every one failed (a full disk, say):
                    // that is no empty folder.
                    if (run.inputs)
                        raise(PyExc_RuntimeError,
                              py::str("No page was written: all " + std::to_string(run.inputs) +
                                      " files failed."));
                } else {
                    check_output(run, g["os"].attr("path").attr("join")(self.attr("output_folder"),
                                                                        "index.html"));
                }
                return write_index(self, md_links, chart_links);
            },
            py::arg("config_file") = py::none());
}

}  // namespace dorvex
