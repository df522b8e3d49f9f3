// Report text that helvetica cannot encode (Chinese, arrows ...) is drawn with
// a Unicode font from UNICODE_FONTS, loaded only when a text needs it.
#include "fonts.hpp"

namespace dorvex {

namespace {

bool encodable(py::handle pdf, py::handle text) {
    py::object encoding = pdf.attr("core_fonts_encoding");
    return !catch_ordinary([&] { text.attr("encode")(encoding); }).has_value();
}

}  // namespace

bool ReportFonts::covered(py::handle pdf, py::handle ch) const {
    py::object code = py::module_::import("builtins").attr("ord")(ch);
    py::object fonts = pdf.attr("fonts");
    for (const auto& family : families_)
        if (fonts[py::str(family)].attr("cmap").contains(code)) return true;
    return false;
}

// Adds the next font of UNICODE_FONTS whose files exist; false when none is left.
bool ReportFonts::load_next(const Globals& g, py::handle pdf) {
    py::object exists = g["os"].attr("path").attr("isfile");
    py::list candidates = py::list(g["UNICODE_FONTS"]);
    while (next_candidate_ < candidates.size()) {
        py::tuple font = py::tuple(candidates[next_candidate_++]);
        py::object family = font[0], regular = font[1], bold = font[2], index = font[3];
        if (!truthy(exists(regular))) continue;
        if (!truthy(exists(bold))) bold = regular;  // plain weight rather than no text
        pdf.attr("add_font")(family, "", regular, "collection_font_number"_a = index);
        pdf.attr("add_font")(family, "B", bold, "collection_font_number"_a = index);
        // fpdf keys its fonts by the lower-case family
        families_.push_back(str(family.attr("lower")()));
        if (families_.size() > 1) {
            py::list fallbacks;
            for (size_t i = 1; i < families_.size(); ++i) fallbacks.append(families_[i]);
            pdf.attr("set_fallback_fonts")(fallbacks, "exact_match"_a = false);
        }
        return true;
    }
    return false;
}

void ReportFonts::warn_once(const Globals& g, py::handle ch, py::handle text) {
    if (warned_) return;
    warned_ = true;
    std::string why = families_.empty() ? "No Unicode font found on this system"
                                        : "The Unicode fonts found cannot draw every character";
    log(g, "warning",
        why + ": characters such as '" + str(ch) + "' (in '" + str(text) +
            "') are replaced by '?'");
}

py::str ReportFonts::use(const Globals& g, py::handle pdf, const char* style, int size,
                         py::handle text) {
    py::str s(text);
    if (encodable(pdf, s)) {
        pdf.attr("set_font")("helvetica", style, size);
        return s;
    }
    if (!pdf_.is(pdf)) {  // a new document has none of the fonts added so far
        pdf_ = py::reinterpret_borrow<py::object>(pdf);
        families_.clear();
        next_candidate_ = 0;
    }
    std::string out;
    for (py::handle ch : s) {
        // line breaks and spaces have no glyph to find; fpdf lays them out itself
        bool ok = truthy(ch.attr("isspace")()) || (!families_.empty() && covered(pdf, ch));
        while (!ok && load_next(g, pdf)) ok = covered(pdf, ch);
        if (families_.empty()) ok = encodable(pdf, ch);
        if (!ok) warn_once(g, ch, s);
        out += ok ? str(ch) : "?";
    }
    pdf.attr("set_font")(families_.empty() ? std::string("helvetica") : families_.front(), style,
                         size);
    return py::str(out);
}

}  // namespace dorvex
