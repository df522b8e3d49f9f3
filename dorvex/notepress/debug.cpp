// Debug copies: the pre-processed text of each note, written beside its page
// when DORVEX_DEBUG is 1. The output folder may be the input folder, where a
// note of the user's may bear the name a copy would take; only the record
// says which files are ours.
#include "common/atomic.hpp"
#include "common/files.hpp"
#include "common/toolkit.hpp"
#include "notepress.hpp"

namespace dorvex {

namespace {

const auto& g = g_notepress;

// Hidden, and not Markdown: the record is never listed as a note.
constexpr const char* RECORD_NAME = ".notepress-debug.json";
// The record's one key: a JSON file without it is not ours to replace.
constexpr const char* RECORD_KEY = "notepress debug copies";
constexpr const char* DEBUG_TAIL = "_debug";
constexpr const char* DEBUG_EXTENSION = ".md";

py::object sha256(py::handle data) {
    return py::module_::import("hashlib").attr("sha256")(data).attr("hexdigest")();
}

// The content of a regular file, or None when there is none to read.
py::object content_of(py::handle path) {
    py::object data = py::none();
    catch_ordinary([&] { data = read_file(path, "rb"); });
    return data;
}

py::object folder_of(py::handle output_path) {
    if (truthy(output_path)) return py::reinterpret_borrow<py::object>(output_path);
    return py::str(".");
}

py::str copy_name(py::handle page_name, int number) {
    py::str name = py::str(page_name) + py::str(DEBUG_TAIL);
    if (number >= FIRST_FREE_NUMBER) name = name + py::str(" ({})").format(number);
    return name + py::str(DEBUG_EXTENSION);
}

}  // namespace

DebugCopies::DebugCopies(py::handle self) : output_path_(self.attr("output_path")) {
    py::object os_path = g["os"].attr("path");
    py::object data;
    bool present = false;
    auto failure = catch_ordinary([&] {
        record_path_ = os_path.attr("join")(folder_of(output_path_), RECORD_NAME);
        present = truthy(os_path.attr("lexists")(record_path_));
        if (present)
            data = py::module_::import("json").attr("loads")(
                read_file(record_path_, "r", py::str("utf-8")));
    });
    if (failure) {
        usable_ = false;  // no folder to write to, or a record that cannot be read
        if (present) log(g, "warning", "Cannot read " + str(record_path_) + ": " + str(*failure));
        return;
    }
    if (!present) return;
    if (py::isinstance<py::dict>(data)) {
        py::object copies = data.attr("get")(RECORD_KEY);
        if (py::isinstance<py::dict>(copies)) {
            record_ = copies;
            return;
        }
    }
    usable_ = false;
    log(g, "warning", str(record_path_) + " is not a record of debug copies; it is left alone");
}

DebugCopies::~DebugCopies() {
    if (!dirty_) return;
    py::error_scope keep;  // an error being raised must survive the record
    try {
        save();
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("recording the debug copies");  // destructors never throw
    }
}

bool DebugCopies::is_ours(py::handle md_file) {
    if (record_.empty()) return false;
    py::object os_path = g["os"].attr("path");
    py::object name = os_path.attr("basename")(md_file);
    py::object recorded = record_.attr("get")(name);
    if (recorded.is_none() || truthy(os_path.attr("islink")(md_file))) return false;
    py::object realpath = os_path.attr("realpath");
    if (!realpath(os_path.attr("dirname")(md_file)).equal(realpath(folder_of(output_path_))))
        return false;
    py::object held = content_of(md_file);
    return !held.is_none() && sha256(held).equal(recorded);
}

// A name is free for a copy when nothing is there, or what is there is ours
// to replace: a copy this command recorded, unchanged since, or the very
// text about to be written (a copy from before there was a record). Never a
// link, an input of the run, or a copy another page of this run just wrote.
bool DebugCopies::is_free(py::handle name, py::handle path, py::handle data, py::handle inputs) {
    if (written_.contains(name) || !find_overwrite(path, inputs).is_none()) return false;
    py::object os_path = g["os"].attr("path");
    if (!truthy(os_path.attr("lexists")(path))) return true;
    if (truthy(os_path.attr("islink")(path))) return false;
    py::object held = content_of(path);
    if (held.is_none()) return false;
    if (held.equal(data)) return true;
    py::object recorded = record_.attr("get")(name);
    return !recorded.is_none() && sha256(held).equal(recorded);
}

py::object DebugCopies::write(py::handle md_file, py::handle page_name, py::handle text,
                              py::handle config_file, py::handle notes_by_name) {
    py::object data = text.attr("encode")("utf-8");
    py::object os_path = g["os"].attr("path");
    py::str first = copy_name(page_name, 0), name = first;
    py::object path = toolkit::get_output_file_path(g, output_path_, name);
    py::object folder = os_path.attr("dirname")(path);
    for (int n = FIRST_FREE_NUMBER;; ++n) {
        py::list inputs = list_of(config_file);
        for (py::handle note : notes_by_name.attr("get")(name, py::tuple())) inputs.append(note);
        if (is_free(name, path, data, inputs)) break;
        name = copy_name(page_name, n);
        path = os_path.attr("join")(folder, name);
    }
    if (!name.equal(first))
        log(g, "warning",
            "Debug copy of " + str(md_file) + ": " + str(first) + " is not one of ours; writing " +
                str(name));
    write_output(path, data);
    record_[name] = sha256(data);
    written_.add(name);
    record_path_ = os_path.attr("join")(folder, RECORD_NAME);
    dirty_ = true;
    return path;
}

void DebugCopies::save() {
    if (!dirty_ || !usable_) return;
    dirty_ = false;
    py::object os_path = g["os"].attr("path");
    py::object folder = os_path.attr("dirname")(record_path_);
    py::dict kept;  // copies removed since are forgotten
    for (auto [name, hash] : record_)
        if (written_.contains(name) ||
            truthy(os_path.attr("lexists")(os_path.attr("join")(folder, name))))
            kept[name] = hash;
    py::dict doc;
    doc[RECORD_KEY] = kept;
    py::object text =
        py::module_::import("json").attr("dumps")(doc, "indent"_a = 1, "sort_keys"_a = true) +
        py::str("\n");
    auto failure =
        catch_ordinary([&] { write_output(record_path_, text.attr("encode")("utf-8")); });
    if (failure)
        log(g, "warning",
            "Cannot record the debug copies in " + str(record_path_) + " (" + str(*failure) +
                "); the next run takes them for notes");
}

}  // namespace dorvex
