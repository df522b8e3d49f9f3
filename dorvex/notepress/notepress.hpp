// The worker `NotepressConverter` and the pieces its run is made of.
#pragma once

#include <string>
#include <utility>

#include "common/pyutil.hpp"

namespace dorvex::notepress {

inline constexpr Globals g_notepress{"dorvex.notepress"};

// Settings as the constructor read them; Python objects, used by truth value.
struct NotepressConverter {
    py::object config, input_path, output_path, embed_images, watermark_enable, watermark_text;
};

// The two values of a pair result, as Python's `a, b = value` unpacks them.
inline std::pair<py::object, py::object> unpack_pair(py::handle value) {
    py::list items(py::reinterpret_borrow<py::object>(value));
    if (items.size() != 2) {
        std::string expected = items.size() > 2 ? "too many values to unpack (expected 2)"
                                                : "not enough values to unpack (expected 2, got " +
                                                      std::to_string(items.size()) + ")";
        throw py::value_error(expected);
    }
    return {items[0], items[1]};
}

// Binds `NotepressConverter` with its constructor, `_encode_image_base64` and `run`.
void init_converter(py::module_& m);

// convert.cpp: the whole conversion run of one converter. `config_file`, when
// the command gives it, is never overwritten.
py::tuple run(py::object self, py::object config_file);

// embed.cpp
py::object encode_image_base64(py::object self, py::object img_path);
// The HTML body with every local image tag's source replaced by a data URI.
py::object embed_images(py::object self, py::object html_body, py::object md_file, bool is_debug);
// The watermark style block for `text`.
py::str watermark_css(py::handle text);

}  // namespace dorvex::notepress
