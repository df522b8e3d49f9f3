// The page: the watermark style block, and the template filled in.
#include <cstdio>

#include "notepress.hpp"
#include "templates.hpp"

namespace dorvex {

namespace {

const auto& g = g_notepress;

constexpr const char* PAGE_FIELDS[] = {"title", "watermark_css", "content"};

// The watermark block's rule is indented as the pages have always had it,
// its declarations one step further.
constexpr size_t WATERMARK_INDENT = 28, INDENT_STEP = 4;

// The watermark text sits in an SVG text element inside a double-quoted CSS
// url(). Markup characters would make the SVG invalid (no watermark at all),
// a quote would end the CSS string, and "#", "%" or "\" would be read by the
// URI or CSS parser. Everything else, non-ASCII included, stays as it is.
std::string svg_text(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                if (c == '#' || c == '%' || c == '\\' || c < 0x20 || c == 0x7f) {
                    char buf[4];
                    std::snprintf(buf, sizeof buf, "%%%02X", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

// The pieces of `text` (literal text as UTF-8 bytes, and field names),
// when its fields are only the page's own, plain ("{title}"); else the
// template is used through str.format as it is.
void parse_template(PageTemplate& page, py::handle text) {
    page.text = py::reinterpret_borrow<py::object>(text);
    page.pieces = py::list();
    page.plain = false;
    if (!py::isinstance<py::str>(text)) return;
    py::list items;
    // braces out of place: str.format says so in its own words
    if (catch_ordinary([&] {
            items = py::list(py::module_::import("string").attr("Formatter")().attr("parse")(text));
        }))
        return;
    for (py::handle item : items) {
        py::object name = item[py::int_(1)];
        if (!name.is_none()) {
            bool known = false;
            for (const char* field : PAGE_FIELDS) known = known || name.equal(py::str(field));
            if (!known || truthy(item[py::int_(2)]) || !item[py::int_(3)].is_none()) return;
        }
        page.pieces.append(py::make_tuple(item[py::int_(0)].attr("encode")("utf-8"), name));
    }
    page.plain = true;
}

}  // namespace

py::str watermark_css(py::handle text) {
    const std::string rule(WATERMARK_INDENT, ' '), declaration(WATERMARK_INDENT + INDENT_STEP, ' ');
    std::string css = "\n" + rule + "/* 💡 Watermark Layer */\n" + rule + "body::after {\n";
    for (const char* line : {"content: \"\";", "position: fixed;", "top: 0;", "left: 0;",
                             "width: 100%;", "height: 100%;"})
        css += declaration + line + "\n";
    css += declaration + WATERMARK_BG_HEAD + SVG_NAMESPACE + WATERMARK_BG_MIDDLE +
           svg_text(str(text)) + WATERMARK_BG_TAIL + "\n";
    for (const char* line :
         {"background-repeat: repeat;", "pointer-events: none;", "z-index: 1000;"})
        css += declaration + line + "\n";
    css += rule + "}";
    return py::str(css);
}

py::object fill_page(PageTemplate& page, py::handle title, py::handle content, py::handle css) {
    py::object text = g["PAGE_TEMPLATE"];
    if (!page.text || !text.is(page.text)) parse_template(page, text);
    if (!page.plain)
        return text
            .attr("format")("title"_a = title, "content"_a = content, "watermark_css"_a = css)
            .attr("encode")("utf-8");
    py::dict values;
    values["title"] = title;
    values["content"] = content;
    values["watermark_css"] = css;
    py::object format = py::module_::import("builtins").attr("format");
    py::list parts;
    for (py::handle piece : page.pieces) {
        parts.append(piece[py::int_(0)]);
        py::object name = piece[py::int_(1)];
        if (!name.is_none()) parts.append(format(values[name], "").attr("encode")("utf-8"));
    }
    return py::bytes("").attr("join")(parts);
}

}  // namespace dorvex
