// Fonts for report text: helvetica where it can encode the text, otherwise a
// Unicode TrueType font found on the system.
#pragma once

#include <string>
#include <vector>

#include "common/pyutil.hpp"

namespace dorvex {

class ReportFonts {
public:
    // Sets the font for `text` on `pdf` (style "B" or "U", size in points)
    // and returns the text to draw: unchanged, or with the characters no
    // available font has replaced by "?" (logged once per document).
    py::str use(const Globals& g, py::handle pdf, const char* style, int size, py::handle text);

private:
    bool covered(py::handle pdf, py::handle ch) const;
    bool load_next(const Globals& g, py::handle pdf);
    void warn_once(const Globals& g, py::handle ch, py::handle text);

    py::object pdf_;                     // the document the fonts were added to
    std::vector<std::string> families_;  // Unicode families added, main one first
    size_t next_candidate_ = 0;          // position in UNICODE_FONTS
    bool warned_ = false;
};

}  // namespace dorvex
