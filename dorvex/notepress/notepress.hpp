// notepress: exported Markdown notes to self-contained HTML pages. The
// settings table, the worker `NotepressConverter` and what its files share.
#pragma once

#include "common/pyutil.hpp"
#include "common/settings.hpp"

namespace dorvex {

inline constexpr Globals g_notepress{"dorvex.notepress"};

// The settings under "config": what the template writes, and what is used
// when a key is absent.
inline constexpr Key CONFIG_KEYS[] = {
    {"input_path", text("./"), text("./")},
    {"output_path", text("./"), text("./")},
    {"embed_images", boolean(true), boolean(true)},
    {"watermark_enable", boolean(false), boolean(false)},
    {"watermark_text", text("CONFIDENTIAL"), text("CONFIDENTIAL")},
};
inline constexpr Key SETTINGS[] = {
    {"config", section(keys_of(CONFIG_KEYS)), mapping()},
};

// The worker; its settings live in the instance dictionary.
struct NotepressConverter {};

// settings.cpp: checks the "config" section `conf` before anything is read;
// a bad value is one line naming `file` and the key, status 1.
void check_settings(const Globals& g, py::handle file, py::handle conf);

// convert.cpp: the whole conversion run of one converter. `config_file`, when
// the command gives it, is never overwritten. Binds `NotepressConverter` with
// its constructor, `_encode_image_base64` and `run`.
py::tuple run(py::object self, py::object config_file);
void init_converter(py::module_& m);

// Writes `data` (bytes) to `target` atomically. A failure names `target`,
// never the hidden temporary the data went to first.
void write_output(py::handle target, py::handle data);

// embed.cpp
py::object encode_image_base64(py::object self, py::object img_path);
// The HTML body with every local image tag's source replaced by a data URI.
py::object embed_images(py::object self, py::object html_body, py::object md_file, bool is_debug);
// The watermark style block for `text`.
py::str watermark_css(py::handle text);

}  // namespace dorvex
