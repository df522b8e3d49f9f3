// Declarations shared by the files of dorvex.chartsite: the worker class, the
// link items and the index page.
#pragma once

#include "common/pyutil.hpp"

namespace dorvex::chartsite {

inline constexpr Globals g_chartsite{"dorvex.chartsite"};

// Binds `MermaidConverter` into the module.
void init_converter(py::module_& m);

// Index link items: `<li><a href="...">` with the icon and the title.
py::str markdown_link(py::handle out_name, py::handle title);
py::str chart_link(py::handle page_stem, py::handle title);

// Writes index.html into the converter's output folder and returns the
// result pair of run(); (False, message) without writing when both lists are
// empty.
py::tuple write_index(py::handle self, const py::list& md_links, const py::list& chart_links);

}  // namespace dorvex::chartsite
