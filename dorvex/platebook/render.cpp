// Report rendering: the running page header, the first page with its facts
// and group links, the captioned image grids, and the atomic PDF write.
#include <algorithm>
#include <optional>
#include <vector>

#include "common/atomic.hpp"
#include "common/command.hpp"
#include "platebook.hpp"

namespace dorvex {

namespace {

const auto& g = g_platebook;

// A grey level alone, or red, green and blue (fpdf's -1: not given).
struct Colour {
    int red;
    int green = -1;
    int blue = -1;
};
constexpr Colour BLACK{0};
constexpr Colour HEADER_GREY{150};
constexpr Colour SEPARATOR_GREY{200};
constexpr Colour LINK_BLUE{0, 0, 255};
constexpr Colour GROUP_TITLE_BLUE{0, 51, 102};

// The facts: labels from a little inside the left margin in a column of
// their own, values after it.
constexpr double FACT_LABEL_X = MARGIN_LR + 3;
constexpr double FACT_LABEL_W = 35;
constexpr double FACT_VALUE_X = FACT_LABEL_X + FACT_LABEL_W;
constexpr double FACTS_GAP = 10;       // between the facts and the contents
constexpr double SEPARATOR_SPACE = 5;  // above and below the line between groups
constexpr double CAPTION_GAP = 1;      // between an image and its caption

void set_text_colour(py::handle pdf, Colour c) {
    pdf.attr("set_text_color")(c.red, c.green, c.blue);
}

ReportFonts& fonts_of(py::handle self) { return self.cast<ReportGenerator&>().fonts; }

py::str use_font(py::handle self, py::handle pdf, const TextStyle& style, py::handle text) {
    return fonts_of(self).use(g, pdf, style.style, style.pt, text);
}

// What follows `lead` in `line` (a line the fonts gave back: characters no
// font has are replaced one for one, so the lead keeps its length).
py::str after_lead(const py::str& line, const py::str& lead) {
    return line[py::slice(static_cast<py::ssize_t>(py::len(lead)), py::len(line), 1)];
}

// Starts a new page when `h` more would reach below `bottom`.
void make_room(py::handle pdf, double h, double bottom) {
    if (pdf.attr("get_y")().cast<double>() + h > bottom) pdf.attr("add_page")();
}

std::vector<std::pair<py::object, py::object>> main_page_facts(py::handle main_page) {
    std::vector<std::pair<py::object, py::object>> facts;
    auto get = [&](const std::string& key) {
        return setting(main_page, keys_of(MAIN_PAGE_KEYS), key.c_str());
    };
    py::object dut = get("dut_inform");
    if (truthy(dut)) facts.emplace_back(py::str("DUT"), dut);
    py::object env = get("environment");
    if (truthy(env)) facts.emplace_back(py::str("ENVIRONMENT"), env);
    for (int n = 1; n <= USER_FACTS; ++n) {
        py::object u_title = get("user_title_" + std::to_string(n));
        py::object u_content = get("user_content_" + std::to_string(n));
        if (truthy(u_title) && truthy(u_content)) facts.emplace_back(u_title, u_content);
    }
    return facts;
}

// One line per fact, "label :   value"; a value too long for its line is
// drawn smaller, then wrapped.
void draw_facts(py::handle self, py::handle pdf, double bottom) {
    const py::str lead(":   ");
    for (const auto& [label, content] : main_page_facts(self.attr("main_page"))) {
        auto set_font = [&] {
            return after_lead(use_font(self, pdf, FACT, lead + py::str(content)), lead);
        };
        py::str value = set_font();
        pdf.attr("set_x")(FACT_VALUE_X);
        make_room(pdf, fitted_height(pdf, FACT, lead, value, 0, "L"), bottom);
        set_text_colour(pdf, BLACK);  // a new page's header leaves its own colour
        pdf.attr("set_x")(FACT_LABEL_X);
        // a title that is not text (a number) is shown as text rather than failing
        py::str shown_label = use_font(self, pdf, FACT, py::str(label).attr("strip")());
        pdf.attr("cell")(FACT_LABEL_W, FACT.line_h, shown_label, "align"_a = "L");
        set_font();
        draw_fitted(pdf, FACT, lead, value, 0, "L", bottom);
    }
}

// The numbered list of groups, each entry a link to its group.
void draw_contents(py::handle self, py::handle pdf, py::handle data, double bottom) {
    py::dict links = self.attr("links");
    long i = 0;
    for (py::handle group : data) {
        py::object link_id = pdf.attr("add_link")();
        links[group] = link_id;
        py::str lead(std::to_string(++i) + ". ");
        auto set_font = [&] {
            return after_lead(use_font(self, pdf, CONTENTS_ENTRY, lead + py::str(group)), lead);
        };
        make_room(pdf, fitted_height(pdf, CONTENTS_ENTRY, lead, set_font(), 0, "L"), bottom);
        set_text_colour(pdf, LINK_BLUE);
        py::str name = set_font();
        draw_fitted(pdf, CONTENTS_ENTRY, lead, name, 0, "L", bottom, link_id);
    }
    set_text_colour(pdf, BLACK);
}

// False, after saying why, when writing `output_path` would replace one of
// the images or the configuration file; from the command that ends the run.
bool report_path_is_free(const ReportGenerator& state, py::handle config_file, py::handle data,
                         py::handle output_path) {
    py::list inputs;
    if (!state.listed.is_none())
        for (py::handle path : state.listed) inputs.append(path);
    for (auto [group_name, images] : py::reinterpret_borrow<py::dict>(data))
        for (py::handle img_data : images) inputs.append(img_data[py::str("path")]);
    return output_is_free(g, config_file, "output_file", output_path, inputs);
}

// One group ready to draw; none for a group without an image to draw.
struct GroupPlan {
    GroupGrid grid;
    std::vector<Placeable> images;
};
using Plans = std::vector<std::optional<GroupPlan>>;

// Every grid is sized before the first page is drawn, from the images that
// can be drawn: a group whose rows leave no room ends the run with nothing
// written (none, after saying why), not with a broken page.
std::optional<Plans> plan_groups(py::object self, const py::dict& data) {
    py::dict group_conf_map;
    for (py::handle g_def : self.attr("groups_def")) group_conf_map[g_def[py::str("name")]] = g_def;
    size_t listed = 0;
    for (auto [group_name, images] : data) listed += py::len(images);
    Progress opening(listed, "Opening images");
    py::object pdf = self.attr("pdf");
    py::dict seen;
    Plans plans;
    for (auto [group_name, images] : data) {
        std::vector<Placeable> ready = placeable_images(pdf, images, seen, opening);
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
            return std::nullopt;
        }
        plans.push_back(GroupPlan{grid, std::move(ready)});
    }
    return plans;
}

// Puts a group on the page: on a new one when its budget, or what it really
// takes, does not fit below what stands there; else under a separator line.
// Then points its contents entry at it and draws its title.
void start_group(py::handle self, py::handle group_name, const GroupGrid& grid) {
    py::object pdf = self.attr("pdf");
    py::object conf = self.attr("conf");
    double bottom = bottom_limit(conf, pdf);
    double current_y = pdf.attr("get_y")().cast<double>();
    // below the header band something already stands on the page
    bool page_used = current_y > config_setting(conf, "top_margin").cast<double>() + HEADER_BAND;
    double takes = (page_used ? 2 * SEPARATOR_SPACE : 0) + GROUP_TITLE_H + grid.rows_h;
    if (current_y + std::max(grid.budget_h.cast<double>(), takes) > bottom) {
        pdf.attr("add_page")();
    } else if (page_used) {
        double separator_y = current_y + SEPARATOR_SPACE;
        pdf.attr("set_draw_color")(SEPARATOR_GREY.red);
        pdf.attr("line")(MARGIN_LR, separator_y, CONTENT_RIGHT, separator_y);
        pdf.attr("set_y")(separator_y + SEPARATOR_SPACE);
    }
    py::dict links = self.attr("links");
    if (links.contains(group_name))
        pdf.attr("set_link")(links[group_name], "y"_a = pdf.attr("get_y")(),
                             "page"_a = pdf.attr("page_no")());

    py::str title = use_font(self, pdf, GROUP_TITLE, group_name);
    set_text_colour(pdf, GROUP_TITLE_BLUE);
    cell_line(pdf, 0, GROUP_TITLE.line_h, title);
    pdf.attr("ln")(GROUP_TITLE_GAP);
}

// The group's images row by row, each with its caption in the band below.
void draw_rows(py::handle self, py::handle group_name, const GroupPlan& plan, Progress& placing) {
    py::object pdf = self.attr("pdf");
    double row_gap = config_setting(self.attr("conf"), "row_gap").cast<double>();
    const GroupGrid& grid = plan.grid;
    double row_start_y = pdf.attr("get_y")().cast<double>();
    long i = 0;
    bool captions_lost = false;
    for (const Placeable& img : plan.images) {
        double x_pos = MARGIN_LR + i * (grid.cell_w + GUTTER);
        // keep_aspect_ratio: an image narrower or wider than the group's
        // tallest shape keeps its own shape, centred in the cell
        pdf.attr("image")(img.source, "x"_a = x_pos, "y"_a = row_start_y, "w"_a = grid.cell_w,
                          "h"_a = grid.cell_h, "keep_aspect_ratio"_a = true);
        py::str caption = use_font(self, pdf, CAPTION,
                                   py::str("Figure " + std::to_string(i + 1) + ":  ") +
                                       py::str(img.entry[py::str("caption")]));
        set_text_colour(pdf, BLACK);
        double caption_y = row_start_y + grid.cell_h + CAPTION_GAP;
        if (!draw_caption(pdf, caption, x_pos, caption_y, grid.cell_w, row_gap - CAPTION_GAP))
            captions_lost = true;
        placing.advance();
        if (++i == grid.cols) {
            i = 0;
            row_start_y += grid.cell_h + row_gap;
        }
    }
    if (captions_lost)
        log(g, "warning",
            "Group '" + str(group_name) +
                "': captions left out where the cell is too narrow or row_gap too small");
}

void place_groups(py::object self, const py::dict& data, const Plans& plans) {
    size_t to_place = 0;
    for (const auto& plan : plans)
        if (plan) to_place += plan->images.size();
    Progress placing(to_place, "Placing images");
    size_t index = 0;
    for (auto [group_name, images] : data) {
        const std::optional<GroupPlan>& plan = plans[index++];
        if (!plan) continue;
        log(g, "info", "Processing layout: " + str(group_name));
        start_group(self, group_name, plan->grid);
        draw_rows(self, group_name, *plan, placing);
    }
}

// Writes the document to `output_path` through a temporary beside it; a
// failure names the file the user asked for, not the temporary.
bool write_report(py::handle pdf, py::handle output_path) {
    auto failure = catch_ordinary([&] {
        AtomicPath tmp(output_path);
        pdf.attr("output")(tmp.temp());
        tmp.commit();
    });
    if (failure) {
        log(g, "error", "Cannot write the report " + str(output_path) + ": " + reason_of(*failure));
        return false;
    }
    log(g, "info", "Success! Custom Report Generated: " + str(output_path));
    return true;
}

// The constructor: the document, without pages, and the usable page height.
void report_init(py::object self, py::object config, py::object main_page, py::object user_groups) {
    self.attr("conf") = config;
    self.attr("main_page") = main_page;
    self.attr("groups_def") = user_groups;

    py::object pdf = g["LabReport"]();
    pdf.attr("set_auto_page_break")("auto"_a = false);
    pdf.attr("set_margins")(MARGIN_LR, config_setting(config, "top_margin"), MARGIN_LR);
    self.attr("pdf") = pdf;
    self.attr("links") = py::dict();

    py::object usable = config_setting(config, "page_height") -
                        config_setting(config, "top_margin") -
                        config_setting(config, "bottom_margin");
    self.attr("total_usable_h") = usable;
    log(g, "info", "[INIT] Total usable height: " + format(usable, ".1f") + "mm");
}

}  // namespace

void lab_report_header(py::object self) {
    py::object page = self.attr("page_no")();
    if (page <= py::int_(1)) return;
    self.attr("set_font")("helvetica", RUNNING_HEADER.style, RUNNING_HEADER.pt);
    set_text_colour(self, HEADER_GREY);
    self.attr("cell")(0, RUNNING_HEADER.line_h, "Lab Report - Page " + str(page), "align"_a = "R");
    self.attr("ln")(HEADER_BAND);
}

void add_toc(py::object self, py::object data) {
    py::object pdf = self.attr("pdf");
    double bottom = bottom_limit(self.attr("conf"), pdf);
    py::object title = setting(self.attr("main_page"), keys_of(MAIN_PAGE_KEYS), "title_of_report");
    pdf.attr("add_page")();
    draw_fitted(pdf, REPORT_TITLE, py::str(""), use_font(self, pdf, REPORT_TITLE, title), 0, "C",
                bottom);
    set_text_colour(pdf, BLACK);
    draw_facts(self, pdf, bottom);
    pdf.attr("ln")(FACTS_GAP);
    draw_contents(self, pdf, data, bottom);
}

void generate(py::object self, py::object config_file) {
    ReportGenerator& state = self.cast<ReportGenerator&>();
    state.written = false;
    py::dict data = self.attr("parse_files")();
    if (!truthy(data)) {
        log(g, "warning", "No data found matching patterns. Aborting.");
        return;
    }
    py::object conf = self.attr("conf");
    py::object output_path = g["os"].attr("path").attr("join")(config_setting(conf, "image_folder"),
                                                               config_setting(conf, "output_file"));
    if (!report_path_is_free(state, config_file, data, output_path)) return;

    std::optional<Plans> plans = plan_groups(self, data);
    if (!plans) return;
    self.attr("add_toc")(data);
    place_groups(self, data, *plans);
    state.written = write_report(self.attr("pdf"), output_path);
}

bool report_written(py::handle report) {
    // a replacement class from a caller has no C++ side to ask
    if (!py::isinstance<ReportGenerator>(report)) return true;
    return report.cast<ReportGenerator&>().written;
}

void bind_pdf_classes(py::module_& m) {
    py::object builtins = py::module_::import("builtins");
    auto missing = catch_python(PyExc_ImportError, [&] {
        py::object fpdf = py::module_::import("fpdf").attr("FPDF");
        py::object image = py::module_::import("PIL.Image");
        m.attr("FPDF") = fpdf;
        m.attr("Image") = image;
    });
    if (missing) {
        // found but not loadable (a dependency missing): no report can be
        // made, and LabReport still needs a base class
        m.attr("FPDF") = builtins.attr("object");
        m.attr("HAS_PDF_LIBS") = false;
    }
    // LabReport must subclass a Python class (FPDF), so it is made with type().
    py::dict ns;
    ns["__module__"] = "dorvex.platebook";
    ns["__doc__"] = "The report document: FPDF with a running header from page 2 on.";
    py::object lab_report = builtins.attr("type")("LabReport", py::make_tuple(m.attr("FPDF")), ns);
    lab_report.attr("header") =
        py::cpp_function(lab_report_header, py::name("header"), py::is_method(lab_report));
    m.attr("LabReport") = lab_report;
}

void init_report_generator(py::module_& m) {
    py::class_<ReportGenerator> cls(m, "ReportGenerator", py::dynamic_attr());
    def_dict_init(cls, &report_init, py::arg("config"), py::arg("main_page"),
                  py::arg("user_groups"));
    cls.def("get_max_ratio_from_images", &get_max_ratio_from_images, py::arg("images"))
        .def("calculate_layout_size", &calculate_layout_size, py::arg("num_rows"),
             py::arg("standard_cell_w"), py::arg("max_ratio"), py::arg("budget_height"))
        .def("parse_files", &parse_files)
        .def("add_toc", &add_toc, py::arg("data"))
        .def("generate", &generate, py::arg("config_file") = py::none());
}

}  // namespace dorvex
