// Text kept inside its box: captions in the band under their image, and the
// report title, facts and contents entries on their lines. Text that fits is
// drawn as it always was; only text that does not is made smaller.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "platebook.hpp"

namespace dorvex {

namespace {

// 4 mm lines at 8 pt: the line height of text drawn in more than one line.
constexpr double LINE_MM_PER_PT = CAPTION.line_h / CAPTION.pt;
// Sizes are tried in half points.
constexpr double PT_STEP = 0.5;

// How many lines `text` wraps into at the current font in a cell `w` wide;
// none when the cell cannot hold a single character.
std::optional<size_t> wrapped_lines(py::handle pdf, double w, double line_h, py::handle text,
                                    const char* align) {
    py::object too_narrow = py::module_::import("fpdf.errors").attr("FPDFException");
    py::object lines;
    if (catch_python(too_narrow.ptr(), [&] {
            lines = pdf.attr("multi_cell")(w, line_h, text, "align"_a = align, "dry_run"_a = true,
                                           "output"_a = "LINES");
        }))
        return std::nullopt;
    return py::len(lines);
}

// The widths of a caption's words (split at single spaces) and of a space,
// at the current font.
struct Words {
    std::vector<double> widths;
    double space = 0;
};

Words measure_words(py::handle pdf, py::handle text) {
    Words words;
    py::object width = pdf.attr("get_string_width");
    for (py::handle word : text.attr("split")(" "))
        words.widths.push_back(width(word).cast<double>());
    words.space = width(" ").cast<double>();
    return words;
}

// A lower bound of the lines fpdf wraps the words into at `scale` times the
// measured size: lines filled greedily, which is the fewest any wrapping at
// spaces can reach, and words wider than a line split anywhere.
size_t min_lines(const Words& words, double scale, double room) {
    constexpr double SLACK = 1e-6;
    if (room <= 0) return SIZE_MAX;
    size_t lines = 1;
    double used = -1;  // nothing on the line yet
    for (double word : words.widths) {
        if (word == 0) continue;  // runs of spaces may hang past the line's end
        double need = used < 0 ? word * scale : used + (words.space + word) * scale;
        if (need <= room + SLACK) {
            used = need;
            continue;
        }
        if (used >= 0) ++lines;
        for (used = word * scale; used > room + SLACK; used -= room) ++lines;
    }
    return lines;
}

// An upper bound of the same, for a core font (whose widths are exact): lines
// filled greedily short of the line's end, every space counted; none when a
// word alone is too wide.
std::optional<size_t> max_lines_needed(const Words& words, double scale, double room) {
    constexpr double MARGIN = 0.01;  // mm
    double cap = room - MARGIN;
    size_t lines = 1;
    double used = -1;
    for (double word : words.widths) {
        word *= scale;
        if (word > cap) return std::nullopt;
        double need = used < 0 ? word : used + words.space * scale + word;
        if (need <= cap) {
            used = need;
            continue;
        }
        ++lines;
        used = word;
    }
    return lines;
}

// The width text may take in a cell `w` wide (0: to the right margin) from
// the current x, as fpdf lays it out.
double room_in(py::handle pdf, double w) {
    if (w <= 0)
        w = pdf.attr("w").cast<double>() - pdf.attr("r_margin").cast<double>() -
            pdf.attr("x").cast<double>();
    return w - 2 * pdf.attr("c_margin").cast<double>();
}

// The largest size, in PT_STEP steps from `style`'s own size down to its
// floor, at which `text` takes at most `room` on one line; none below the
// floor. Leaves the font at the size found.
std::optional<double> one_line_size(py::handle pdf, const TextStyle& style, py::handle text,
                                    double room) {
    py::object width = pdf.attr("get_string_width");
    double natural = width(text).cast<double>();
    if (natural <= room) return style.pt;
    // the width grows with the size, so start where it would just fit
    double pt = std::floor(style.pt * room / natural / PT_STEP) * PT_STEP;
    for (; pt >= style.min_pt; pt -= PT_STEP) {
        pdf.attr("set_font_size")(pt);
        if (width(text).cast<double>() <= room) return pt;
    }
    pdf.attr("set_font_size")(style.pt);
    return std::nullopt;
}

// Lines of wrapped text, and the space kept above and below them so that
// the block keeps the padding the style's single line has.
double wrapped_line_h(const TextStyle& style) { return style.min_pt * LINE_MM_PER_PT; }
double wrapped_padding(const TextStyle& style) {
    return std::max(0.0, (style.line_h - wrapped_line_h(style)) / 2);
}

}  // namespace

void cell_line(py::handle pdf, double w, double h, py::handle text, const char* align,
               py::object link) {
    pdf.attr("cell")(w, h, text, "align"_a = align, "link"_a = link, "new_x"_a = "LMARGIN",
                     "new_y"_a = "NEXT");
}

double fitted_height(py::handle pdf, const TextStyle& style, py::handle lead, py::handle text,
                     double w, const char* align) {
    py::str whole = py::str(lead) + py::str(text);
    if (one_line_size(pdf, style, whole, room_in(pdf, w))) {
        pdf.attr("set_font_size")(style.pt);
        return style.line_h;
    }
    pdf.attr("set_font_size")(style.min_pt);
    double lead_w = pdf.attr("get_string_width")(lead).cast<double>();
    double text_w = w > 0 ? w - lead_w : 0;
    double x = pdf.attr("get_x")().cast<double>();
    pdf.attr("set_x")(x + lead_w);
    std::optional<size_t> lines = wrapped_lines(pdf, text_w, wrapped_line_h(style), text, align);
    pdf.attr("set_x")(x);
    pdf.attr("set_font_size")(style.pt);
    return static_cast<double>(lines.value_or(1)) * wrapped_line_h(style) +
           2 * wrapped_padding(style);
}

void draw_fitted(py::handle pdf, const TextStyle& style, py::handle lead, py::handle text, double w,
                 const char* align, double bottom, py::object link) {
    py::str whole = py::str(lead) + py::str(text);
    if (one_line_size(pdf, style, whole, room_in(pdf, w))) {
        cell_line(pdf, w, style.line_h, whole, align, link);
        pdf.attr("set_font_size")(style.pt);
        return;
    }
    pdf.attr("set_font_size")(style.min_pt);
    double pad = wrapped_padding(style), line_h = wrapped_line_h(style);
    pdf.attr("set_xy")(pdf.attr("get_x")(), pdf.attr("get_y")().cast<double>() + pad);
    // the lead on the first line, the text wrapped beside it, flush with it
    double lead_w = pdf.attr("get_string_width")(lead).cast<double>();
    if (lead_w > 0) pdf.attr("cell")(lead_w, line_h, lead, "link"_a = link);
    // a text longer than the room left goes on on the next page rather than
    // below the bottom margin
    py::object was_auto = pdf.attr("auto_page_break"), was_margin = pdf.attr("b_margin");
    pdf.attr("set_auto_page_break")(true, pdf.attr("h").cast<double>() - bottom);
    pdf.attr("multi_cell")(w > 0 ? w - lead_w : 0, line_h, text, "align"_a = align, "link"_a = link,
                           "new_x"_a = "LMARGIN", "new_y"_a = "NEXT");
    pdf.attr("set_auto_page_break")(was_auto, was_margin);
    pdf.attr("ln")(pad);
    pdf.attr("set_font_size")(style.pt);
}

bool draw_caption(py::handle pdf, py::str text, double x, double y, double w, double band_h) {
    pdf.attr("set_xy")(x, y);
    auto draw = [&](double line_h, py::handle shown) {
        pdf.attr("multi_cell")(w, line_h, shown, "align"_a = "C");
        return true;
    };
    double room = w - 2 * pdf.attr("c_margin").cast<double>();
    double line_h = CAPTION.line_h;
    // the common case, one line that fits, needs no trial wrapping
    if (band_h >= line_h && pdf.attr("get_string_width")(text).cast<double>() <= room)
        return draw(line_h, text);
    // bounds on the lines settle most sizes without trial wrapping
    Words words = measure_words(pdf, text);
    bool core_font = !truthy(pdf.attr("is_ttf_font"));
    auto fits = [&](double pt, py::handle shown, const Words* measured) {
        line_h = pt * LINE_MM_PER_PT;
        size_t max_lines = static_cast<size_t>(std::max(0.0, std::floor(band_h / line_h + 1e-9)));
        if (max_lines == 0) return false;
        if (measured && min_lines(*measured, pt / CAPTION.pt, room) > max_lines) return false;
        pdf.attr("set_font_size")(pt);
        if (measured && core_font) {
            std::optional<size_t> most = max_lines_needed(*measured, pt / CAPTION.pt, room);
            if (most && *most <= max_lines) return true;
        }
        std::optional<size_t> n = wrapped_lines(pdf, w, line_h, shown, "C");
        return n && *n <= max_lines;
    };
    for (double pt = CAPTION.pt; pt >= CAPTION.min_pt; pt -= PT_STEP)
        if (fits(pt, text, &words)) return draw(line_h, text);

    auto cut = [&](size_t keep) {
        py::object head = text[py::slice(0, static_cast<py::ssize_t>(keep), 1)];
        return py::str(head.attr("rstrip")()) + py::str("...");
    };
    if (!fits(CAPTION.min_pt, cut(0), nullptr)) return false;
    size_t lo = 0, hi = py::len(text);  // cut(lo) fits, the whole text does not
    while (hi - lo > 1) {
        size_t mid = (lo + hi) / 2;
        (fits(CAPTION.min_pt, cut(mid), nullptr) ? lo : hi) = mid;
    }
    return draw(CAPTION.min_pt * LINE_MM_PER_PT, cut(lo));
}

}  // namespace dorvex
