// The conversion run: pre-processing, rendering, page naming and writing.
#include "common/atomic.hpp"
#include "common/command.hpp"
#include "common/files.hpp"
#include "common/progress.hpp"
#include "common/toolkit.hpp"
#include "notepress.hpp"

namespace dorvex {

namespace {

// Patterns for Python's re, as the pages have always been processed.
constexpr const char* PROPERTY_LINE =
    R"re(^(Person|Created|Updated|language|version\.|Tags|Status|Assignee).*?:.*$)re";
constexpr const char* BLANK_RUN = R"re(\n{3,})re";
constexpr const char* AUTHOR_LINE = R"re((?m)^(\*\*Author:\*\*.*)$)re";
constexpr const char* FIRST_H1 = R"re(^#\s+.*$)re";
constexpr const char* VERSION = R"re(\*\*Version:\*\*\s*\[?([^\]\s<&|]+)\]?)re";
constexpr const char* NON_WORD = R"re(\W+)re";
// What a version text may not bring into a file name: separators, parent
// references and characters file systems refuse.
constexpr const char* UNSAFE_IN_NAME = R"re(\.\.|[/\\:*?"<>|\x00-\x1f\x7f])re";

constexpr const char* TOC_BLOCK = "\n\n[TOC]\n\n";

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

py::object builtin(const char* name) { return py::module_::import("builtins").attr(name); }

// Property lines out, blank runs collapsed, one [TOC] marker in.
py::object preprocess(const Globals& g, py::object md_content) {
    py::object re = g["re"];
    py::object props =
        re.attr("compile")(PROPERTY_LINE, re.attr("MULTILINE") | re.attr("IGNORECASE"));
    md_content = re.attr("sub")(props, "", md_content);
    md_content = re.attr("sub")(BLANK_RUN, "\n\n", md_content);

    py::object anchor = re.attr("search")(AUTHOR_LINE, md_content);
    if (anchor.is_none()) anchor = re.attr("search")(FIRST_H1, md_content, re.attr("MULTILINE"));
    if (!anchor.is_none()) {
        py::object e = anchor.attr("end")();
        py::object before = md_content[builtin("slice")(py::none(), e)];
        py::object after = md_content[builtin("slice")(e, py::none())];
        return before + py::str(TOC_BLOCK) + after;
    }
    if (md_content.contains("#")) return py::str("[TOC]\n\n") + md_content;
    return md_content;
}

py::object output_name(const Globals& g, py::handle self, py::handle md_name,
                       py::handle md_content) {
    py::object re = g["re"];
    py::list parts;
    parts.append(md_name);
    py::object found = re.attr("search")(VERSION, md_content);
    if (!found.is_none()) {
        py::object version_str = found.attr("group")(1);
        parts.append(re.attr("sub")(UNSAFE_IN_NAME, "_", version_str));
    }
    py::object text = self.attr("watermark_text");
    if (truthy(self.attr("watermark_enable")) && truthy(text)) {
        py::object safe = re.attr("sub")(NON_WORD, "_", text).attr("strip")("_");
        if (truthy(safe)) parts.append(safe);
    }
    return py::str("_").attr("join")(parts) + py::str(".html");
}

// What one run shares between its notes: the Markdown converter, made once
// (a fresh one per note costs a tenth of the run; reset() gives the same
// pages), and the page names written so far with the note of each.
struct RunState {
    py::object markdown;
    py::dict taken;
    py::object config_file;  // None when run without a command
    py::dict notes_by_name;  // file name -> [notes of that name]
};

// A page or debug copy must not replace a note of the run or the
// configuration file (the output folder may be the input folder). Only notes
// of the same file name can be the same path; the configuration file is
// compared by identity too.
void refuse_overwrite(const Globals& g, const RunState& run, py::handle out_file) {
    py::object name = g["os"].attr("path").attr("basename")(out_file);
    dorvex::refuse_overwrite(g, run.config_file, "output_path", out_file,
                             run.notes_by_name.attr("get")(name, py::tuple()));
}

py::object render(const Globals& g, RunState& run, py::handle md_content) {
    if (!run.markdown) {
        run.markdown = g["markdown"].attr("Markdown")(
            "extensions"_a =
                list_of("fenced_code", "tables", "toc", "md_in_html", "sane_lists", "nl2br"));
    }
    run.markdown.attr("reset")();
    return run.markdown.attr("convert")(md_content);
}

// A page name another note of this run already wrote takes the next free
// "<name> (N).html"; returns the suffix added (" (2)"), or "".
std::string claim_name(const Globals& g, RunState& run, py::object& out_name, py::handle md_file) {
    py::object normcase = g["os"].attr("path").attr("normcase");
    py::object first = run.taken.attr("get")(normcase(out_name));
    if (first.is_none()) return "";
    std::string name = str(out_name);
    std::string stem = name.substr(0, name.size() - 5);  // without ".html"
    std::string suffix;
    for (int n = 2;; ++n) {
        suffix = " (" + std::to_string(n) + ")";
        if (!run.taken.contains(normcase(stem + suffix + ".html"))) break;
    }
    py::object renamed = py::str(stem + suffix + ".html");
    log(g, "warning",
        "Page name clash: " + str(md_file) + " and " + str(first) + " both make " + name +
            "; writing " + str(renamed));
    out_name = renamed;
    return suffix;
}

void convert_one(const Globals& g, RunState& run, py::object self, py::object md_file,
                 py::object md_name, bool is_debug) {
    log(g, "info", "Processing: " + str(md_file));
    py::object md_content = preprocess(g, read_file(md_file, "r", py::str("utf-8")));
    py::object output_path = self.attr("output_path");
    py::object out_name = output_name(g, self, md_name, md_content);
    std::string suffix = claim_name(g, run, out_name, md_file);

    if (is_debug) {
        py::object debug_file = toolkit::get_output_file_path(
            g, output_path, py::str(str(md_name) + suffix + "_debug.md"));
        refuse_overwrite(g, run, debug_file);
        write_output(debug_file, md_content.attr("encode")("utf-8"));
        log(g, "debug",
            "[" + str(md_name) + "] Saved pre-processed Markdown to " + str(debug_file));
    }

    py::object html_body = render(g, run, md_content);
    if (truthy(self.attr("embed_images")))
        html_body = embed_images(self, html_body, md_file, is_debug);

    py::object css = py::str("");
    if (truthy(self.attr("watermark_enable"))) css = watermark_css(self.attr("watermark_text"));
    py::object final_html = g["PAGE_TEMPLATE"].attr("format")(
        "title"_a = md_name, "content"_a = html_body, "watermark_css"_a = css);

    py::object out_file = toolkit::get_output_file_path(g, output_path, out_name);
    refuse_overwrite(g, run, out_file);
    write_output(out_file, final_html.attr("encode")("utf-8"));
    run.taken[g["os"].attr("path").attr("normcase")(out_name)] = md_file;
    log(g, "info", "Saved HTML to: " + str(out_file));
}

// The debug copies ("<name>_debug.md" in the output folder) of an earlier
// run are this command's own output, not notes: converting them would add
// one more page and one more copy on every run.
bool is_debug_copy(const Globals& g, py::handle self, py::handle md_file, py::handle md_name) {
    if (!py::isinstance<py::str>(md_name) || !ends_with(str(md_name), "_debug")) return false;
    py::object os_path = g["os"].attr("path");
    py::object folder = os_path.attr("realpath")(os_path.attr("dirname")(md_file));
    py::object output = self.attr("output_path");
    if (!py::isinstance<py::str>(output)) return false;
    return folder.equal(os_path.attr("realpath")(truthy(output) ? output : py::str(".")));
}

}  // namespace

void write_output(py::handle target, py::handle data) {
    auto failure = catch_python(PyExc_OSError, [&] { write_bytes_atomic(target, data); });
    if (!failure) return;
    py::object code = failure->attr("errno"), reason = failure->attr("strerror");
    if (code.is_none() || reason.is_none()) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(failure->ptr())), failure->ptr());
        throw py::error_already_set();
    }
    raise_os_error(code.cast<int>(), str(reason).c_str(), target);
}

py::tuple run(py::object self, py::object config_file) {
    const auto& g = g_notepress;
    py::object input_path = self.attr("input_path");
    log(g, "info", "Starting Notepress process. Input path: " + str(input_path));
    auto [listed_files, listed_names] =
        toolkit::find_files_with_extensions(g, input_path, list_of(".md"), true);
    auto [found_files, found_names] = regular_files(g, listed_files, listed_names);

    py::list md_files, md_names;
    for (py::handle pair : builtin("zip")(found_files, found_names)) {
        py::object md_file = pair[py::int_(0)], md_name = pair[py::int_(1)];
        if (is_debug_copy(g, self, md_file, md_name)) {
            log(g, "info", "Skipping debug copy: " + str(md_file));
            continue;
        }
        md_files.append(md_file);
        md_names.append(md_name);
    }
    if (md_files.empty())
        return py::make_tuple(false, "No Markdown files found in: " + str(input_path));

    py::object flag = g["os"].attr("environ").attr("get")("DORVEX_DEBUG");
    bool is_debug = !flag.is_none() && flag.equal(py::str("1"));
    if (is_debug)
        log(g, "debug", "Debug mode is ON. Found " + std::to_string(md_files.size()) + " file(s).");

    long success_count = 0;
    RunState state;
    state.config_file = config_file;
    for (py::handle md_file : md_files) {
        py::object name = g["os"].attr("path").attr("basename")(md_file);
        if (!state.notes_by_name.contains(name)) state.notes_by_name[name] = py::list();
        state.notes_by_name[name].cast<py::list>().append(md_file);
    }
    Progress progress(md_files.size(), "Converting notes");
    for (size_t i = 0; i < md_files.size(); ++i, progress.advance()) {
        py::object md_file = md_files[i], md_name = md_names[i];
        auto failure = catch_ordinary([&] {
            convert_one(g, state, self, md_file, md_name, is_debug);
            ++success_count;
        });
        if (failure) log(g, "error", "Failed to process " + str(md_file) + ": " + str(*failure));
    }
    // Notes were there, but not one page could be written: no success.
    if (success_count == 0)
        return py::make_tuple(false, "No page was written: all " + std::to_string(md_files.size()) +
                                         " Markdown files failed.");
    return py::make_tuple(
        true, "Successfully converted " + std::to_string(success_count) + " Markdown files.");
}

namespace {

void construct(py::object self, py::object config) {
    self.attr("config") = config;
    for (const Key& key : CONFIG_KEYS)
        self.attr(key.name) = setting(config, keys_of(CONFIG_KEYS), key.name);
}

}  // namespace

void init_converter(py::module_& m) {
    py::class_<NotepressConverter> cls(m, "NotepressConverter", py::dynamic_attr());
    def_dict_init(cls, &construct, py::arg("config"));
    cls.def("_encode_image_base64", &encode_image_base64, py::arg("img_path"))
        .def("run", &run, py::arg("config_file") = py::none());
}

}  // namespace dorvex
