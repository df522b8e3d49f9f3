// The site index: link items and index.html, and the result pair of run().
#include "chartsite.hpp"
#include "common/atomic.hpp"

namespace dorvex {

namespace {

// A file name may hold "#", "?", "%" or a quote; percent-encoded, the link
// still reaches the page. Plain names come out unchanged.
py::str href(py::handle page_name) {
    return py::module_::import("urllib.parse").attr("quote")(page_name);
}

py::str section(const char* heading, const py::list& links) {
    if (links.empty()) return py::str("");
    return py::str(std::string("<h3>") + heading + "</h3><ul>") + py::str("").attr("join")(links) +
           py::str("</ul>");
}

}  // namespace

py::str markdown_link(py::handle out_name, py::handle title) {
    return py::str("<li><a href=\"") + href(out_name) +
           py::str("\"><span class=\"icon\">📘</span> ") + py::str(title) + py::str("</a></li>");
}

py::str chart_link(py::handle page_stem, py::handle title) {
    return py::str("<li><a href=\"") + href(page_stem) +
           py::str(".html\"><span class=\"icon\">📊</span> ") + py::str(title) +
           py::str("</a></li>");
}

py::tuple write_index(py::handle self, const py::list& md_links, const py::list& chart_links) {
    const auto& g = g_chartsite;
    // Decided on the pages written, so a folder whose files all failed ends
    // here as well.
    if (md_links.empty() && chart_links.empty())
        return py::make_tuple(false, "No .md or .mmd files were found in the input folder.");

    log(g, "info", "Generating index.html ...");
    py::object output_folder = self.attr("output_folder");
    py::object html =
        g["INDEX_TEMPLATE"].attr("format")("index_title"_a = self.attr("index_title"),
                                           "md_section"_a = section("Documentation", md_links),
                                           "chart_section"_a = section("Flow Charts", chart_links));
    py::object index = g["os"].attr("path").attr("join")(output_folder, "index.html");
    naming_target(index, [&] { write_text_atomic(index, html); });
    // The slash is literal: the message names the page as a link would.
    return py::make_tuple(true, "Successfully generated documentation in: " +
                                    printable(output_folder) + "/index.html");
}

}  // namespace dorvex
