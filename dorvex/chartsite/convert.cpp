// MermaidConverter: the renderer check, the output folder, and the pages made
// from the Markdown and diagram files of the input folder.
#include "chartsite.hpp"
#include "common/atomic.hpp"

namespace dorvex::chartsite {

namespace {

struct MermaidConverter {
    // Python objects as the configuration delivered them.
    py::object conf, input_folder, output_folder, index_title, doc_titles, chart_titles;
};

[[noreturn]] void raise(PyObject* type, const py::str& message) {
    PyErr_SetObject(type, message.ptr());
    throw py::error_already_set();
}

py::object read_text(py::handle path) {
    py::object file = py::module_::import("pathlib").attr("Path")(path);
    return file.attr("read_text")("encoding"_a = "utf-8");
}

bool has_extension(py::handle name, const char* ext) {
    return truthy(name.attr("lower")().attr("endswith")(ext));
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

py::object fill_page(py::handle title, py::handle body) {
    return g_chartsite["PAGE_TEMPLATE"].attr("format")("title"_a = title, "body_content"_a = body);
}

void convert_markdown(py::handle self, py::list& md_links, py::set& written) {
    const auto& g = g_chartsite;
    py::object os = g["os"];
    py::object input_folder = self.attr("input_folder");
    py::object output_folder = self.attr("output_folder");
    py::list extensions;
    extensions.append("fenced_code");
    extensions.append("tables");

    for (py::handle md : os.attr("listdir")(input_folder)) {
        if (!has_extension(md, ".md")) continue;
        py::object md_path = os.attr("path").attr("join")(input_folder, md);
        py::object base_name = os.attr("path").attr("splitext")(md)[py::int_(0)];
        py::str out_name = page_stem(base_name, md, written) + py::str(".html");
        py::object out_path = os.attr("path").attr("join")(output_folder, out_name);
        Title title = title_for(self.attr("doc_titles"), md, base_name);
        log(g, "info", "Processing Markdown: " + str(md) + " -> " + str(title.shown));

        auto failure = catch_ordinary([&] {
            py::object md_text = read_text(md_path);
            py::object html_body =
                g["markdown"].attr("markdown")(md_text, "extensions"_a = extensions);
            write_text_atomic(out_path, fill_page(title.html, html_body));
            written.add(out_name);
            md_links.append(markdown_link(out_name, title.html));
        });
        if (failure) log(g, "error", "Failed to process " + str(md) + ": " + str(*failure));
    }
}

void convert_diagrams(py::handle self, py::list& chart_links, py::set& written) {
    const auto& g = g_chartsite;
    py::object os = g["os"];
    py::object input_folder = self.attr("input_folder");
    py::object output_folder = self.attr("output_folder");

    for (py::handle mmd : os.attr("listdir")(input_folder)) {
        if (!has_extension(mmd, ".mmd")) continue;
        py::object base_name = os.attr("path").attr("splitext")(mmd)[py::int_(0)];
        py::object mmd_path = os.attr("path").attr("join")(input_folder, mmd);
        py::str stem = page_stem(base_name, mmd, written);
        py::object svg_path = os.attr("path").attr("join")(output_folder, stem + py::str(".svg"));
        py::str html_name = stem + py::str(".html");
        py::object html_path = os.attr("path").attr("join")(output_folder, html_name);
        Title title = title_for(self.attr("chart_titles"), mmd, base_name);
        log(g, "info", "Converting diagram: " + str(mmd) + " -> " + str(title.shown) + " ...");

        // mmdc renders beside the target and the SVG is renamed into place only
        // when it is complete, so a failed render keeps an earlier SVG intact.
        // The argument vector goes to mmdc without a shell: a file name is
        // never read as a command. Its output goes to the console.
        AtomicPath svg(svg_path);
        py::list argv;
        for (py::handle arg : {py::str("mmdc"), py::str("-i"), py::str(mmd_path), py::str("-o"),
                               py::str(svg.temp())})
            argv.append(arg);
        py::object proc = g["subprocess"].attr("run")(argv);
        py::object status = proc.attr("returncode");
        if (truthy(status)) {
            py::list shown = py::list(argv);
            shown[4] = svg_path;
            py::object err = g["subprocess"].attr("CalledProcessError")(status, shown);
            log(g, "error", "Failed to convert " + str(mmd) + ": " + str(err));
            continue;
        }
        // A zero status without a drawing is not a success; it ends the run.
        if (!truthy(os.attr("path").attr("getsize")(svg.temp())))
            raise(PyExc_FileNotFoundError,
                  py::str("mmdc exited with status 0 but wrote no SVG for " + str(mmd_path)));
        py::object svg_content = read_text(svg.temp());
        svg.commit();
        // The SVG goes inline into the page.
        write_text_atomic(html_path, fill_page(title.html, svg_content));
        written.add(html_name);
        chart_links.append(chart_link(stem, title.html));
    }
}

}  // namespace

void init_converter(py::module_& m) {
    py::class_<MermaidConverter>(m, "MermaidConverter", py::dynamic_attr())
        .def(py::init([](py::object conf) {
                 MermaidConverter c;
                 c.conf = conf;
                 // Read in this order, each through the stored mapping.
                 c.input_folder = c.conf.attr("get")("input_folder", "./data_chartsite");
                 c.output_folder = c.conf.attr("get")("output_folder", "./data_chartsite/html_out");
                 c.index_title = c.conf.attr("get")("index_title", "Project Documentation");
                 c.doc_titles = c.conf.attr("get")("doc_titles", py::dict());
                 c.chart_titles = c.conf.attr("get")("chart_titles", py::dict());
                 log(g_chartsite, "debug", c.conf);
                 return c;
             }),
             py::arg("conf"))
        .def_readwrite("conf", &MermaidConverter::conf)
        .def_readwrite("input_folder", &MermaidConverter::input_folder)
        .def_readwrite("output_folder", &MermaidConverter::output_folder)
        .def_readwrite("index_title", &MermaidConverter::index_title)
        .def_readwrite("doc_titles", &MermaidConverter::doc_titles)
        .def_readwrite("chart_titles", &MermaidConverter::chart_titles)
        .def("_prepare_output_dir",
             [](py::object self) {
                 const auto& g = g_chartsite;
                 py::object folder = self.attr("output_folder");
                 if (truthy(g["os"].attr("path").attr("exists")(folder))) return;
                 g["os"].attr("makedirs")(folder);
                 log(g, "info", "Created output directory: " + str(folder));
             })
        .def("_check_mmdc",
             [](py::object) {
                 return !g_chartsite["shutil"].attr("which")("mmdc").is_none();
             })
        .def("run", [](py::object self) {
            const auto& g = g_chartsite;
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

            py::list md_links, chart_links;
            py::set written;  // page names of this run
            written.add(py::str("index.html"));
            convert_markdown(self, md_links, written);
            convert_diagrams(self, chart_links, written);
            return write_index(self, md_links, chart_links);
        });
}

}  // namespace dorvex::chartsite
