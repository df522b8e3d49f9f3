// chartsite: Mermaid diagrams and Markdown pages to a small static site. The
// settings table, the worker `MermaidConverter`, and what the module's files
// share: the mmdc children, the batches and the render cache, the pages, the
// link items and the index page.
#pragma once

#include <cmath>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/pyutil.hpp"
#include "common/settings.hpp"

namespace dorvex {

inline constexpr Globals g_chartsite{"dorvex.chartsite"};

// The settings under "config": what the template writes, and what is used
// when a key is absent. The title maps are free mappings of file name to
// title; the template shows two examples of each, a missing map is empty.
inline constexpr Key DOC_TITLE_EXAMPLES[] = {
    {"README.md", text("README (v0.1)"), ABSENT},
    {"test.md", text("Test MarkDown Document (v0.1)"), ABSENT},
};
inline constexpr Key CHART_TITLE_EXAMPLES[] = {
    {"ab.mmd", text("A to B Flow"), ABSENT},
    {"cd.mmd", text("C to D Flow"), ABSENT},
};
inline constexpr Key CONFIG_KEYS[] = {
    {"input_folder", text("./data_chartsite"), text("./data_chartsite")},
    {"output_folder", text("./data_chartsite/html_out"), text("./data_chartsite/html_out")},
    {"index_title", text("Project Documentation"), text("Project Documentation")},
    {"doc_titles", mapping(keys_of(DOC_TITLE_EXAMPLES)), mapping()},
    {"chart_titles", mapping(keys_of(CHART_TITLE_EXAMPLES)), mapping()},
};
inline constexpr Key SETTINGS[] = {
    {"config", section(keys_of(CONFIG_KEYS)), mapping()},
};

// The worker; its settings live in the instance dictionary, as the
// configuration delivered them.
struct MermaidConverter {};

// settings.cpp: checks the "config" section `conf` before anything is made;
// a bad value is one line naming `file` and the key, status 1.
void check_settings(const Globals& g, py::handle file, py::handle conf);

// convert.cpp
// MermaidConverter.run: the (success, message) pair, or raises. `config_file`
// is the configuration the command read (None from Python), which no output
// may replace.
py::tuple run(py::object self, py::object config_file);
// Binds `MermaidConverter` with its constructor, _prepare_output_dir,
// _check_mmdc and run.
void init_converter(py::module_& m);
// The text of an error for a message: an OSError's path printable and cut.
std::string error_text(py::handle err);

// render.cpp
// How many mmdc children may run at once (DORVEX_JOBS, else the usable
// cores) and how long each diagram may take (DORVEX_MMDC_TIMEOUT, else 120 s).
struct RenderSettings {
    std::size_t jobs;
    double timeout;
};

// Reads both; a bad value raises ValueError with one line naming it.
RenderSettings render_settings();

// One mmdc child: its argument vector, a file for its standard output and
// error (None: the console), and the number of diagrams it has written so
// far; each one written gives it the whole time limit again.
struct ChildSpec {
    py::object argv;
    py::object log = py::none();
    std::function<std::size_t()> written;
};

// Runs mmdc children, up to `jobs` at once, started in the order submitted.
// Each child gets a temporary folder of its own as TMPDIR, removed when it
// ends, and dies with this process. A child past its time limit is stopped
// with its process group and whatever still runs in its folder's name; the
// destructor stops any still running.
class Renderer {
public:
    explicit Renderer(RenderSettings settings);
    ~Renderer();
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    std::size_t submit(ChildSpec spec);
    // Waits for one child: None when it exited 0, else the exception telling
    // why (CalledProcessError, TimeoutExpired or the start failure), its
    // command shown as `shown`.
    py::object wait(std::size_t id, py::handle shown);
    const RenderSettings& settings() const { return settings_; }

private:
    struct Job {
        ChildSpec spec;
        py::object proc, status, start_error, tmpdir;
        double deadline = 0;
        std::size_t written = 0;
        bool timed_out = false, done = false;
    };
    void start(Job& job);
    void stop(Job& job);
    void finish(Job& job);
    void poll();

    RenderSettings settings_;
    std::deque<Job> jobs_;
    std::size_t next_ = 0, running_ = 0;
};

// `mmdc --version` as the renderer tells it, or None when it cannot.
py::object renderer_version(double timeout);

// cache.cpp: the render cache, SVGs by the diagram text, the renderer and its options.
class RenderCache {
public:
    // Off with DORVEX_NO_CACHE=1 or without a home for it.
    explicit RenderCache(double timeout);
    // The key of a diagram, None when the cache is off.
    py::object key(py::handle text, py::handle options);
    // The SVG kept under `key`, None when there is none fit to use.
    py::object get(py::handle key);
    // Keeps a drawing; one that is no SVG or Mermaid's error picture is not
    // kept, nor anything when the folder cannot be written.
    void put(py::handle key, py::handle svg);

private:
    bool open();
    py::object entry(py::handle key) const;

    double timeout_;
    py::object folder_, renderer_;  // None until open() decided
    bool tried_ = false;
};

// batch.cpp
// A diagram to draw: its text as mmdc reads it (None when it cannot be
// read), the file mmdc reads for it alone, where its SVG goes, and the id of
// its SVG element (None: mmdc's default).
struct DrawingSpec {
    py::object text, source, dest, svg_id;
};
inline constexpr std::size_t SVG_ARG = 4;  // "mmdc", "-i", source, "-o", dest

// Draws diagrams with as few mmdc runs as it can: cached ones with none, the
// others in batches, one browser each. A diagram that a batch cannot draw is
// drawn alone, so its error is the one a lone run gives.
class Drawings {
public:
    Drawings(RenderSettings settings, py::object work_folder);
    ~Drawings();
    Drawings(const Drawings&) = delete;
    Drawings& operator=(const Drawings&) = delete;

    std::size_t add(DrawingSpec spec);
    // The argument vector of a diagram drawn alone; its item SVG_ARG is
    // where the SVG goes.
    py::list lone_argv(std::size_t id) const;
    // Waits for a diagram: None when its SVG is at its `dest`, else why not,
    // naming `shown` as the command.
    py::object wait(std::size_t id, py::handle shown);

private:
    struct Item;
    struct Batch;
    void plan();
    void take_cached(Item& item);
    void submit_lone(std::size_t id);
    void submit_batch(std::vector<std::size_t> ids);
    void finish_batch(Batch& batch, bool ok);
    void keep(Item& item);

    RenderCache cache_;
    py::object work_, stand_in_;  // stand_in_: the id a batch draws with
    std::vector<std::unique_ptr<Item>> items_;
    std::vector<std::unique_ptr<Batch>> batches_;
    bool planned_ = false;
    Renderer renderer_;  // destroyed first: its children end before their files go
};

// render.cpp: the reason when an SVG is Mermaid's own error picture, else
// None.
py::object mermaid_error(py::handle svg_text);

// index.cpp
// Index link items: `<li><a href="...">` with the icon and the title.
py::str markdown_link(py::handle out_name, py::handle title);
py::str chart_link(py::handle page_stem, py::handle title);

// Writes index.html into the converter's output folder and returns the
// result pair of run(); (False, message) without writing when both lists are
// empty.
py::tuple write_index(py::handle self, const py::list& md_links, const py::list& chart_links);

// pages.cpp: the pages of one run.
struct Site {
    Site(py::object worker, py::object config, RenderSettings settings)
        : self(std::move(worker)), config_file(std::move(config)), render(settings) {}

    py::object self;
    py::object config_file;  // None when run() is called without one
    RenderSettings render;
    py::set written;         // page names of this run
    std::size_t inputs = 0;  // .md and .mmd files found
    py::list md_links, chart_links;
};
// Writes a page for every Markdown and diagram file of the input folder, in
// listing order, and collects their link items. A file that fails is logged
// and left out.
void make_pages(Site& site);

}  // namespace dorvex
