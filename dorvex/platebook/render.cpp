// Report rendering: the running page header, the first page with its facts
// and group links, the captioned image grids, and the atomic PDF write.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/atomic.hpp"
#include "common/command.hpp"
#include "common/progress.hpp"
#include "platebook.hpp"

namespace dorvex {

namespace {

const auto& g = g_platebook;

constexpr double HEADER_BAND = 10;

ReportFonts& fonts_of(py::handle self) { return self.cast<ReportGenerator&>().fonts; }

// cell(...) that moves to the start of the next line, fpdf's former ln=True
void cell_line(py::handle pdf, double w, double h, py::handle text, const char* align = "L",
               py::object link = py::str("")) {
    pdf.attr("cell")(w, h, text, "align"_a = align, "link"_a = link, "new_x"_a = "LMARGIN",
                     "new_y"_a = "NEXT");
}

std::vector<std::pair<py::object, py::object>> main_page_facts(py::handle main_page) {
    std::vector<std::pair<py::object, py::object>> facts;
    py::object get = main_page.attr("get");
    py::object dut = get("dut_inform");
    if (truthy(dut)) facts.emplace_back(py::str("DUT"), dut);
    py::object env = get("environment");
    if (truthy(env)) facts.emplace_back(py::str("ENVIRONMENT"), env);
    for (int n = 1; n <= 10; ++n) {
        py::object u_title = get("user_title_" + std::to_string(n));
        py::object u_content = get("user_content_" + std::to_string(n));
        if (truthy(u_title) && truthy(u_content)) facts.emplace_back(u_title, u_content);
    }
    return facts;
}

// One group ready to draw.
struct GroupPlan {
    GroupGrid grid;
    std::vector<Placeable> images;
};

constexpr int CAPTION_PT = 8;
constexpr double CAPTION_MIN_PT = 5;    // the smallest caption still readable on paper
constexpr double LINE_MM_PER_PT = 0.5;  // 4 mm lines at 8 pt

// How many lines `text` wraps into at the current font in a cell `w` wide;
// none when the cell cannot hold a single character.
std::optional<size_t> caption_lines(py::handle pdf, double w, double line_h, py::handle text) {
    py::object too_narrow = py::module_::import("fpdf.errors").attr("FPDFException");
    py::object lines;
    if (catch_python(too_narrow.ptr(), [&] {
            lines = pdf.attr("multi_cell")(w, line_h, text, "align"_a = "C", "dry_run"_a = true,
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

// Draws a caption centred in its band (`w` wide, `band_h` high, from x, y):
// as it is when it fits, else smaller down to CAPTION_MIN_PT, then cut with
// "...". False when not even "..." fits.
bool draw_caption(py::handle pdf, py::str text, double x, double y, double w, double band_h) {
    pdf.attr("set_xy")(x, y);
    auto draw = [&](double line_h, py::handle shown) {
        pdf.attr("multi_cell")(w, line_h, shown, "align"_a = "C");
        return true;
    };
    double room = w - 2 * pdf.attr("c_margin").cast<double>();
    double line_h = CAPTION_PT * LINE_MM_PER_PT;
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
        if (measured && min_lines(*measured, pt / CAPTION_PT, room) > max_lines) return false;
        pdf.attr("set_font_size")(pt);
        if (measured && core_font) {
            std::optional<size_t> most = max_lines_needed(*measured, pt / CAPTION_PT, room);
            if (most && *most <= max_lines) return true;
        }
        std::optional<size_t> n = caption_lines(pdf, w, line_h, shown);
        return n && *n <= max_lines;
    };
    for (double pt = CAPTION_PT; pt >= CAPTION_MIN_PT; pt -= 0.5)
        if (fits(pt, text, &words)) return draw(line_h, text);

    auto cut = [&](size_t keep) {
        py::object head = text[py::slice(0, static_cast<py::ssize_t>(keep), 1)];
        return py::str(head.attr("rstrip")()) + py::str("...");
    };
    if (!fits(CAPTION_MIN_PT, cut(0), nullptr)) return false;
    size_t lo = 0, hi = py::len(text);  // cut(lo) fits, the whole text does not
    while (hi - lo > 1) {
        size_t mid = (lo + hi) / 2;
        (fits(CAPTION_MIN_PT, cut(mid), nullptr) ? lo : hi) = mid;
    }
    return draw(CAPTION_MIN_PT * LINE_MM_PER_PT, cut(lo));
}

// False, after saying why, when writing `output_path` would replace one of
// the images or the configuration file; from the command that ends the run.
bool report_path_is_free(const ReportGenerator& state, py::handle data, py::handle output_path) {
    py::list inputs;
    if (!state.listed.is_none())
        for (py::handle path : state.listed) inputs.append(path);
    for (auto [group_name, images] : py::reinterpret_borrow<py::dict>(data))
        for (py::handle img_data : images) inputs.append(img_data[py::str("path")]);
    return output_is_free(g, state.config_file, "output_file", output_path, inputs);
}

}  // namespace

void lab_report_header(py::object self) {
    py::object page = self.attr("page_no")();
    if (page <= py::int_(1)) return;
    self.attr("set_font")("helvetica", "B", 10);
    self.attr("set_text_color")(150);
    self.attr("cell")(0, 10, "Lab Report - Page " + str(page), "align"_a = "R");
    self.attr("ln")(10);
}

void add_toc(py::object self, py::object data) {
    ReportFonts& fonts = fonts_of(self);
    py::object pdf = self.attr("pdf");
    py::object main_page = self.attr("main_page");
    py::object title_of_report = main_page.attr("get")("title_of_report", "Lab Report");
    pdf.attr("add_page")();

    cell_line(pdf, 0, 20, fonts.use(g, pdf, "B", 20, title_of_report), "C");
    pdf.attr("set_text_color")(0);
    for (const auto& [label, content] : main_page_facts(main_page)) {
        pdf.attr("set_x")(18);
        // a title that is not text (a number) is shown as text rather than failing
        py::str shown_label = fonts.use(g, pdf, "B", 10, py::str(label).attr("strip")());
        pdf.attr("cell")(35, 4, shown_label, "align"_a = "L");
        py::str shown = fonts.use(g, pdf, "B", 10, py::str(":   ") + py::str(content));
        cell_line(pdf, 0, 4, shown);
    }
    pdf.attr("ln")(10);

    pdf.attr("set_text_color")(0, 0, 255);
    py::dict links = self.attr("links");
    long i = 0;
    for (py::handle group : data) {
        py::object link_id = pdf.attr("add_link")();
        links[group] = link_id;
        py::str entry = py::str(std::to_string(++i) + ". ") + py::str(group);
        cell_line(pdf, 0, 10, fonts.use(g, pdf, "U", 12, entry), "L", link_id);
    }
    pdf.attr("set_text_color")(0);
}

void generate(py::object self) {
    ReportGenerator& state = self.cast<ReportGenerator&>();
    state.written = false;
    py::dict data = self.attr("parse_files")();
    if (!truthy(data)) {
        log(g, "warning", "No data found matching patterns. Aborting.");
        return;
    }

    py::object conf = self.attr("conf");
    py::object output_path = g["os"].attr("path").attr("join")(
        conf.attr("get")("image_folder", "."), conf.attr("get")("output_file", "report.pdf"));
    if (!report_path_is_free(state, data, output_path)) return;

    py::dict group_conf_map;
    for (py::handle g_def : self.attr("groups_def")) group_conf_map[g_def[py::str("name")]] = g_def;

    // Every grid is sized before the first page is drawn, from the images
    // that can be drawn: a group whose rows leave no room ends the run with
    // nothing written, not with a broken page.
    py::object pdf = self.attr("pdf");
    py::dict seen;
    std::vector<std::optional<GroupPlan>> plans;
    for (auto [group_name, images] : data) {
        std::vector<Placeable> ready = placeable_images(pdf, images, seen);
        if (ready.empty()) {
            plans.emplace_back();
            continue;
        }
        py::list entries;
        for (const Placeable& p : ready) entries.append(p.entry);
        GroupGrid grid = plan_group(self, group_conf_map[group_name], entries);
        if (grid.cell_h <= 0 || grid.cell_w <= 0) {
            log(g, "error",
                "Group '" + str(group_name) + "': " + std::to_string(ready.size()) + " images in " +
                    std::to_string(grid.rows) + " rows do not fit its " +
                    format(grid.budget_h, ".1f") +
                    "mm (title_buffer and row_gap included); raise cols_per_row or lower "
                    "experiments_per_page. No report written.");
            return;
        }
        plans.push_back(GroupPlan{grid, std::move(ready)});
    }

    self.attr("add_toc")(data);

    py::dict links = self.attr("links");
    double page_h = conf.attr("get")("page_height", 297).cast<double>();
    double top_m = conf.attr("get")("top_margin", 15).cast<double>();
    double btm_m = conf.attr("get")("bottom_margin", 15).cast<double>();
    double row_gap = conf.attr("get")("row_gap", 10).cast<double>();

    size_t to_place = 0;
    for (const auto& plan : plans)
        if (plan) to_place += plan->images.size();
    Progress progress(to_place, "Placing images");
    size_t index = 0;
    for (auto [group_name, images] : data) {
        const std::optional<GroupPlan>& plan = plans[index++];
        if (!plan) continue;
        const GroupGrid* grid = &plan->grid;
        log(g, "info", "Processing layout: " + str(group_name));

        double current_y = pdf.attr("get_y")().cast<double>();
        double budget_h = grid->budget_h.cast<double>();
        if (current_y + budget_h > page_h - btm_m) {
            pdf.attr("add_page")();
        } else if (current_y > top_m + HEADER_BAND) {
            double separator_y = current_y + 5;
            pdf.attr("set_draw_color")(200);
            pdf.attr("line")(MARGIN_LR, separator_y, CONTENT_RIGHT, separator_y);
            pdf.attr("set_y")(separator_y + 5);
        }
        py::object start_y = pdf.attr("get_y")();
        if (links.contains(group_name))
            pdf.attr("set_link")(links[group_name], "y"_a = start_y,
                                 "page"_a = pdf.attr("page_no")());

        py::str title = fonts_of(self).use(g, pdf, "B", 14, group_name);
        pdf.attr("set_text_color")(0, 51, 102);
        cell_line(pdf, 0, 8, title);
        pdf.attr("ln")(1);

        double row_start_y = pdf.attr("get_y")().cast<double>();
        long i = 0;
        bool captions_lost = false;
        for (const Placeable& img : plan->images) {
            double x_pos = MARGIN_LR + i * (grid->cell_w + GUTTER);
            // keep_aspect_ratio: an image narrower or wider than the group's
            // tallest shape keeps its own shape, centred in the cell
            pdf.attr("image")(img.source, "x"_a = x_pos, "y"_a = row_start_y, "w"_a = grid->cell_w,
                              "h"_a = grid->cell_h, "keep_aspect_ratio"_a = true);
            py::str caption =
                fonts_of(self).use(g, pdf, "B", CAPTION_PT,
                                   py::str("Figure " + std::to_string(i + 1) + ":  ") +
                                       py::str(img.entry[py::str("caption")]));
            pdf.attr("set_text_color")(0);
            // the band between the image and the next row
            if (!draw_caption(pdf, caption, x_pos, row_start_y + grid->cell_h + 1, grid->cell_w,
                              row_gap - 1))
                captions_lost = true;
            progress.advance();
            if (++i == grid->cols) {
                i = 0;
                row_start_y += grid->cell_h + row_gap;
            }
        }
        if (captions_lost)
            log(g, "warning",
                "Group '" + str(group_name) +
                    "': captions left out where the cell is too narrow or row_gap too small");
    }

    auto failure = catch_ordinary([&] {
        AtomicPath tmp(output_path);
        pdf.attr("output")(tmp.temp());
        tmp.commit();
    });
    if (failure) {
        log(g, "error", "Cannot write the report " + str(output_path) + ": " + str(*failure));
        return;
    }
    state.written = true;
    log(g, "info", "Success! Custom Report Generated: " + str(output_path));
}

bool report_written(py::handle report) {
    // a replacement class from a caller has no C++ side to ask
    if (!py::isinstance<ReportGenerator>(report)) return true;
    return report.cast<ReportGenerator&>().written;
}

}  // namespace dorvex
