// The conversion run: pre-processing, rendering, page naming and writing.
#include "common/atomic.hpp"
#include "common/command.hpp"
#include "common/files.hpp"
#include "common/progress.hpp"
#include "common/toolkit.hpp"
#include "notepress.hpp"

namespace dorvex {

namespace {

const auto& g = g_notepress;

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
constexpr const char* PAGE_EXTENSION = ".html";

py::object builtin(const char* name) { return py::module_::import("builtins").attr(name); }

// Property lines out, blank runs collapsed, one [TOC] marker in.
py::object preprocess(py::object md_content) {
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

// "<name>[_<version>][_<watermark>]", without the extension.
py::object page_stem(py::handle self, py::handle md_name, py::handle md_content) {
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
    return py::str("_").attr("join")(parts);
}

// What one run shares between its notes: its settings and debug copies, the
// input folder's real path, the watermark style, the template taken apart,
// the Markdown converter, made once (a fresh one per note costs a tenth of
// the run; reset() gives the same pages), and the page names written so far.
struct RunState {
    RunState(py::object converter, py::object config, bool debug_on, DebugCopies& copies)
        : self(std::move(converter)),
          config_file(std::move(config)),
          is_debug(debug_on),
          debug(copies),
          images{self.attr("input_path"), {}},
          css(truthy(self.attr("watermark_enable")) ? watermark_css(self.attr("watermark_text"))
                                                    : py::str("")) {}

    py::object self;
    py::object config_file;  // None when run without a command
    bool is_debug = false;
    DebugCopies& debug;
    ImageRoot images;
    py::object css;  // the watermark's style block, the same on every page
    PageTemplate page;
    py::object markdown;
    py::dict taken;          // normcase(page file name) -> the note that wrote it
    py::dict notes_by_name;  // file name -> [notes of that name]
};

// A page must not replace a note of the run or the configuration file (the
// output folder may be the input folder). Only notes of the same file name
// can be the same path; the configuration file is compared by identity too.
void refuse_overwrite(const RunState& run, py::handle out_file) {
    py::object name = g["os"].attr("path").attr("basename")(out_file);
    dorvex::refuse_overwrite(g, run.config_file, "output_path", out_file,
                             run.notes_by_name.attr("get")(name, py::tuple()));
}

py::object render(RunState& run, py::handle md_content) {
    if (!run.markdown) {
        run.markdown = g["markdown"].attr("Markdown")(
            "extensions"_a =
                list_of("fenced_code", "tables", "toc", "md_in_html", "sane_lists", "nl2br"));
    }
    run.markdown.attr("reset")();
    return run.markdown.attr("convert")(md_content);
}

// A page name another note of this run already wrote takes the next free
// "<stem> (N).html"; returns the suffix added (" (2)"), or "".
py::str claim_name(RunState& run, py::handle stem, py::handle md_file) {
    py::object normcase = g["os"].attr("path").attr("normcase");
    auto page = [&](py::handle suffix) { return stem + suffix + py::str(PAGE_EXTENSION); };
    py::str suffix("");
    py::object first = run.taken.attr("get")(normcase(page(suffix)));
    if (first.is_none()) return suffix;
    for (int n = FIRST_FREE_NUMBER; run.taken.contains(normcase(page(suffix))); ++n)
        suffix = py::str(" ({})").format(n);
    log(g, "warning",
        "Page name clash: " + str(md_file) + " and " + str(first) + " both make " +
            str(page(py::str(""))) + "; writing " + str(page(suffix)));
    return suffix;
}

void convert_one(RunState& run, py::object md_file, py::object md_name) {
    log(g, "info", "Processing: " + str(md_file));
    py::object md_content = preprocess(read_file(md_file, "r", py::str("utf-8")));
    py::object output_path = run.self.attr("output_path");
    py::object stem = page_stem(run.self, md_name, md_content);
    py::str suffix = claim_name(run, stem, md_file);

    if (run.is_debug) {
        // a page renamed for a clash renames its copy: "<name> (2)_debug.md"
        py::object debug_file = run.debug.write(md_file, py::str(md_name) + suffix, md_content,
                                                run.config_file, run.notes_by_name);
        log(g, "debug",
            "[" + str(md_name) + "] Saved pre-processed Markdown to " + str(debug_file));
    }

    py::object html_body = render(run, md_content);
    if (truthy(run.self.attr("embed_images")))
        html_body = embed_images(run.images, html_body, md_file, run.is_debug);

    py::object final_html = fill_page(run.page, md_name, html_body, run.css);

    py::object out_name = stem + suffix + py::str(PAGE_EXTENSION);
    py::object out_file = toolkit::get_output_file_path(g, output_path, out_name);
    refuse_overwrite(run, out_file);
    write_output(out_file, final_html);
    run.taken[g["os"].attr("path").attr("normcase")(out_name)] = md_file;
    log(g, "info", "Saved HTML to: " + str(out_file));
}

}  // namespace

void write_output(py::handle target, py::handle data) {
    naming_target(target, [&] { write_bytes_atomic(target, data); });
}

namespace {

// The notes of the run: the regular .md files under the input folder, less
// the debug copies an earlier run wrote.
std::pair<py::list, py::list> list_notes(py::handle input_path, DebugCopies& debug) {
    auto [listed_files, listed_names] =
        toolkit::find_files_with_extensions(g, input_path, list_of(".md"), true);
    auto [found_files, found_names] = regular_files(g, listed_files, listed_names);
    py::list md_files, md_names;
    for (size_t i = 0; i < found_files.size(); ++i) {
        py::object md_file = found_files[i];
        if (debug.is_ours(md_file)) {
            log(g, "info", "Skipping debug copy: " + str(md_file));
            continue;
        }
        md_files.append(md_file);
        md_names.append(found_names[i]);
    }
    return {md_files, md_names};
}

// Debug output is on when DORVEX_DEBUG is exactly "1".
bool debug_mode() {
    py::object flag = g["os"].attr("environ").attr("get")("DORVEX_DEBUG");
    return !flag.is_none() && flag.equal(py::str("1"));
}

py::dict by_file_name(const py::list& md_files) {
    py::dict notes;
    for (py::handle md_file : md_files) {
        py::object name = g["os"].attr("path").attr("basename")(md_file);
        if (!notes.contains(name)) notes[name] = py::list();
        notes[name].cast<py::list>().append(md_file);
    }
    return notes;
}

}  // namespace

py::tuple run(py::object self, py::object config_file) {
    py::object input_path = self.attr("input_path");
    log(g, "info", "Starting Notepress process. Input path: " + str(input_path));
    DebugCopies debug(self);
    auto [md_files, md_names] = list_notes(input_path, debug);
    if (md_files.empty())
        return py::make_tuple(false, "No Markdown files found in: " + str(input_path));

    RunState state(self, config_file, debug_mode(), debug);
    if (state.is_debug)
        log(g, "debug", "Debug mode is ON. Found " + std::to_string(md_files.size()) + " file(s).");
    state.notes_by_name = by_file_name(md_files);

    size_t success_count = 0;
    Progress progress(md_files.size(), "Converting notes");
    for (size_t i = 0; i < md_files.size(); ++i, progress.advance()) {
        py::object md_file = md_files[i];
        auto failure = catch_ordinary([&] {
            convert_one(state, md_file, md_names[i]);
            ++success_count;
        });
        if (failure) log(g, "error", "Failed to process " + str(md_file) + ": " + str(*failure));
    }
    debug.save();
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
