// The worker `NotepressConverter` and the pieces its run is made of.
#pragma once

#include "common/pyutil.hpp"

namespace dorvex {

inline constexpr Globals g_notepress{"dorvex.notepress"};

// The worker; its settings live in the instance dictionary.
struct NotepressConverter {};

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

}  // namespace dorvex
