// Declarations shared by the files of dorvex.chartsite: the worker class, the
// link items and the index page.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "common/pyutil.hpp"

namespace dorvex {

inline constexpr Globals g_chartsite{"dorvex.chartsite"};

// Binds `MermaidConverter` into the module.
void init_converter(py::module_& m);

// How many mmdc children may run at once (DORVEX_JOBS, else the usable
// cores) and how long each may take (DORVEX_MMDC_TIMEOUT, else 120 s).
struct RenderSettings {
    std::size_t jobs;
    double timeout;
};

// Reads both; a bad value raises ValueError with one line naming it.
RenderSettings render_settings();

// Runs mmdc argument vectors as children, up to `jobs` at once, started in
// the order submitted. A child past its time limit is killed with its
// process group; the destructor kills any still running.
class Renderer {
public:
    explicit Renderer(RenderSettings settings);
    ~Renderer();
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    std::size_t submit(py::object argv);
    // Waits for one child: None when it exited 0, else the exception telling
    // why (CalledProcessError, TimeoutExpired or the start failure), its
    // command shown as `shown`.
    py::object wait(std::size_t id, py::handle shown);

private:
    struct Job {
        py::object argv, proc, status, start_error;
        double deadline = 0;
        bool timed_out = false, done = false;
    };
    void start(Job& job);
    void stop(Job& job);
    void poll();

    RenderSettings settings_;
    std::vector<Job> jobs_;
    std::size_t next_ = 0, running_ = 0;
};

// The reason when an SVG is Mermaid's own error picture, else None.
py::object mermaid_error(py::handle svg_text);

// Index link items: `<li><a href="...">` with the icon and the title.
py::str markdown_link(py::handle out_name, py::handle title);
py::str chart_link(py::handle page_stem, py::handle title);

// Writes index.html into the converter's output folder and returns the
// result pair of run(); (False, message) without writing when both lists are
// empty.
py::tuple write_index(py::handle self, const py::list& md_links, const py::list& chart_links);

}  // namespace dorvex
