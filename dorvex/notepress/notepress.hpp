// notepress: exported Markdown notes to self-contained HTML pages. The
// settings table, the worker `NotepressConverter` and what its files share.
#pragma once

#include <string>

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

// A name another output of the run took gets the first free " (N)" from here.
inline constexpr int FIRST_FREE_NUMBER = 2;

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

// debug.cpp: the debug copies ("<page>_debug.md") a run writes beside its
// pages. A record in the output folder names each copy written with a hash
// of its content, so a copy of ours is told from a note of the same name.
class DebugCopies {
public:
    // For the run of `self`, whose pages go to its output_path.
    explicit DebugCopies(py::handle self);
    DebugCopies(const DebugCopies&) = delete;
    DebugCopies& operator=(const DebugCopies&) = delete;
    // Records what was written, also when the run ends early.
    ~DebugCopies();

    // Whether `md_file`, listed among the notes, is a debug copy this command
    // wrote and nobody changed since: it is no note, and is not converted.
    bool is_ours(py::handle md_file);
    // Writes `text` as the debug copy of page `page_name`, never over a file
    // that is not a copy of ours, nor over the configuration file or a note
    // (`notes_by_name`: file name -> the run's notes of that name); that
    // name taken, the copy takes the next free "<page>_debug (N).md".
    // Returns the path written.
    py::object write(py::handle md_file, py::handle page_name, py::handle text,
                     py::handle config_file, py::handle notes_by_name);
    // Writes the record, when this run wrote copies.
    void save();

private:
    bool is_free(py::handle name, py::handle path, py::handle data, py::handle inputs);

    py::object output_path_;
    py::object record_path_;  // where the record was read, or is to be written
    py::dict record_;         // file name -> SHA-256 of what was written
    py::set written_;         // names written by this run
    bool usable_ = true;      // false: a file there that is no record; left alone
    bool dirty_ = false;
};

// Writes `data` (bytes) to `target` atomically. A failure names `target`,
// never the hidden temporary the data went to first.
void write_output(py::handle target, py::handle data);

// embed.cpp
py::object encode_image_base64(py::object self, py::object img_path);
// What embedding needs across one run: the input folder's real path, found
// once.
struct ImageRoot {
    py::object input_path;
    std::string real;  // its real path as the file system has it; empty until needed
};
// The HTML body with every local image tag's source replaced by a data URI.
py::object embed_images(ImageRoot& root, py::object html_body, py::object md_file, bool is_debug);

// page.cpp
// The watermark style block for `text`.
py::str watermark_css(py::handle text);
// PAGE_TEMPLATE taken apart once for a run.
struct PageTemplate {
    py::object text;               // the PAGE_TEMPLATE the pieces were made from
    py::list pieces = py::list();  // (literal text as UTF-8 bytes, field name or None)
    bool plain = false;            // false: filled through str.format
};
// PAGE_TEMPLATE.format(title=..., content=..., watermark_css=...) as UTF-8
// bytes. The template holds emoji, which make the whole page as one str
// four bytes a character; filled piece by piece, a body of images in
// Base64 is only copied.
py::object fill_page(PageTemplate& page, py::handle title, py::handle content, py::handle css);

}  // namespace dorvex
