// The worker MermaidConverter: its settings as attributes, the renderer and
// folder checks, the output folder, and run() around the pages and the index.
#include <string>

#include "chartsite.hpp"
#include "common/command.hpp"

namespace dorvex {

namespace {

const auto& g = g_chartsite;

constexpr const char* NO_RENDERER =
    "Mermaid CLI ('mmdc') is not installed or not in PATH.\n"
    "Please install it via: npm install -g @mermaid-js/mermaid-cli";

[[noreturn]] void raise(PyObject* type, const std::string& message) {
    PyErr_SetObject(type, py::str(message).ptr());
    throw py::error_already_set();
}

// Reads the keys in table order, each through the stored mapping.
void construct(py::object self, py::object conf) {
    self.attr("conf") = conf;
    py::object stored = self.attr("conf");
    for (const Key& key : keys_of(CONFIG_KEYS))
        self.attr(key.name) = setting(stored, keys_of(CONFIG_KEYS), key.name);
    log(g, "debug", self.attr("conf"));
}

void prepare_output_dir(py::object self) {
    py::object folder = self.attr("output_folder");
    if (truthy(g["os"].attr("path").attr("exists")(folder))) return;
    g["os"].attr("makedirs")(folder);
    log(g, "info", "Created output directory: " + printable(folder));
}

bool check_mmdc(py::object) { return !g["shutil"].attr("which")("mmdc").is_none(); }

// The renderer and the input folder, checked before anything is created.
void require_inputs(py::handle self) {
    if (!truthy(self.attr("_check_mmdc")())) {
        log(g, "error", NO_RENDERER);
        raise(PyExc_RuntimeError, NO_RENDERER);
    }
    py::object input_folder = self.attr("input_folder");
    if (!truthy(g["os"].attr("path").attr("exists")(input_folder)))
        raise(PyExc_FileNotFoundError,
              "Input folder not found: " + printable(input_folder, SHOWN_CHARS));
}

}  // namespace

std::string error_text(py::handle err) {
    bool os_error = py::isinstance(err, py::handle(PyExc_OSError));
    if (!os_error || err.attr("errno").is_none() || err.attr("strerror").is_none() ||
        err.attr("filename").is_none())
        return str(err);
    // as Python words it, with each path printable and cut
    auto path = [](py::handle p) { return printable(py::repr(p), SHOWN_CHARS); };
    std::string text = "[Errno " + str(err.attr("errno")) + "] " + str(err.attr("strerror")) +
                       ": " + path(err.attr("filename"));
    if (!err.attr("filename2").is_none()) text += " -> " + path(err.attr("filename2"));
    return text;
}

py::tuple run(py::object self, py::object config_file) {
    RenderSettings render = render_settings();
    require_inputs(self);
    self.attr("_prepare_output_dir")();

    Site site{self, config_file, render};
    site.written.add(py::str("index.html"));
    make_pages(site);
    if (site.md_links.empty() && site.chart_links.empty()) {
        // Files were there but every one failed (a full disk, say): that is
        // no empty folder.
        if (site.inputs)
            raise(PyExc_RuntimeError,
                  "No page was written: all " + std::to_string(site.inputs) + " files failed.");
    } else {
        py::object index =
            g["os"].attr("path").attr("join")(self.attr("output_folder"), "index.html");
        refuse_overwrite(g, config_file, "output_folder", index, py::tuple());
    }
    return write_index(self, site.md_links, site.chart_links);
}

void init_converter(py::module_& m) {
    py::class_<MermaidConverter> cls(m, "MermaidConverter", py::dynamic_attr());
    def_dict_init(cls, &construct, py::arg("conf"));
    cls.def("_prepare_output_dir", &prepare_output_dir,
            "Create the output folder when it does not exist.")
        .def("_check_mmdc", &check_mmdc, "True when mmdc is found on PATH.")
        .def("run", &run, py::arg("config_file") = py::none(),
             "Build the site: a page per Markdown and diagram file and the index; "
             "(success, message). `config_file` is the configuration the command read.");
}

}  // namespace dorvex
