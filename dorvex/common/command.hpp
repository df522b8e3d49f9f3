// The command skeleton every dorvex module shares: a real click.Command with
// the options --config/-c and --generate-config, and the standard steps of a
// command body (template, missing --config, configuration loading).
#pragma once

#include <cmath>
#include <functional>
#include <initializer_list>

#include "atomic.hpp"
#include "files.hpp"
#include "pyutil.hpp"
#include "signals.hpp"
#include "toolkit.hpp"

namespace dorvex {

struct CommandSpec {
    const char* name;           // command name, "leaf-mix"
    const char* function;       // callback name, "cmd_leafmix"
    py::object help;            // the command's help text
    const char* doc;            // the callback's docstring, or nullptr
    const char* config_help;    // help of --config/-c
    const char* generate_help;  // help of --generate-config
};

using CommandBody = std::function<void(py::object config, bool generate_config)>;

// Builds the click.Command from the module's own `click`. The callback takes
// the keyword arguments `config` and `generate_config` that click passes.
inline py::object make_command(const py::module_& m, const CommandSpec& spec, CommandBody body) {
    py::object click = m.attr("click");
    // The docstring is the documented one, without pybind11's signature line.
    py::options options;
    options.disable_function_signatures();
    py::cpp_function callback(
        [body](py::object config, py::object generate_config) {
            SignalGuard signals;
            body(config, truthy(generate_config));
        },
        py::name(spec.function), py::arg("config") = py::none(), py::arg("generate_config") = false,
        spec.doc ? spec.doc : "");
    py::list params;
    params.append(click.attr("Option")(py::make_tuple("--config", "-c"),
                                       "type"_a = click.attr("Path")("exists"_a = true),
                                       "help"_a = spec.config_help));
    params.append(click.attr("Option")(py::make_tuple("--generate-config"), "is_flag"_a = true,
                                       "help"_a = spec.generate_help));
    return click.attr("Command")(spec.name, "callback"_a = callback, "params"_a = params,
                                 "help"_a = spec.help);
}

// A HELP_TEXT: the fixed `head`, then the template as JSON with the module's
// `json` (4-space indent, non-ASCII kept), so the help always shows the
// defaults in force, then a newline.
inline py::str help_with_template(const py::module_& m, const char* head, py::handle tpl) {
    py::object text = m.attr("json").attr("dumps")(tpl, "indent"_a = 4, "ensure_ascii"_a = false);
    return py::str(head) + py::str(text) + py::str("\n");
}

// The line for a failure to use the file `path`: the reason as a user reads
// it (an OSError's own words, the byte a decoder stopped at, where JSON went
// wrong), never the exception's class.
inline std::string file_error_reason(py::handle err) {
    if (py::isinstance(err, py::handle(PyExc_UnicodeDecodeError)))
        return "not UTF-8 text (byte " + str(err.attr("start")) + ")";
    if (py::isinstance(err, py::module_::import("json").attr("JSONDecodeError")))
        return "not valid JSON: " + str(err.attr("msg")) + " at line " + str(err.attr("lineno")) +
               " column " + str(err.attr("colno"));
    if (py::isinstance(err, py::handle(PyExc_RecursionError))) return NESTED_TOO_DEEPLY;
    // Python's advice on its integer-string limit is no help to a user
    if (py::isinstance(err, py::handle(PyExc_ValueError)) &&
        str(err).find("integer string conversion") != std::string::npos)
        return "holds a number of more than " +
               str(py::module_::import("sys").attr("get_int_max_str_digits")()) + " digits";
    return reason_of(err);
}

// "Error: <path>: <reason>" on standard error, then status 1.
[[noreturn]] inline void file_error(const Globals& g, py::handle path, const std::string& reason) {
    echo(g, "Error: " + printable(path) + ": " + printable(py::str(reason)), true);
    exit(g, 1);
}

// Ends a template run: writes the template with `write` and echoes `prefix`
// and the path it returns, status 0. A file of that name with other content
// (a template edited in place, say) is kept: one line naming it, status 1.
// `same(path)` says whether the file at `path` holds the template already.
template <class Same, class Write>
[[noreturn]] void finish_template(const Globals& g, const char* prefix, const char* file,
                                  Same&& same, Write&& write) {
    py::object os_path = py::module_::import("os").attr("path");
    py::object path = py::str(file), written;
    auto failure = catch_ordinary([&] {
        path = os_path.attr("abspath")(file);  // fails in a removed current folder
        if (truthy(os_path.attr("lexists")(path))) {
            bool unchanged = false;
            catch_ordinary([&] { unchanged = same(path); });  // unreadable: not ours to replace
            if (!unchanged) {
                echo(g,
                     "Error: " + str(path) +
                         " already exists; rename or remove it to write a new template",
                     true);
                exit(g, 1);
            }
        }
        written = write();
    });
    if (failure) file_error(g, path, file_error_reason(*failure));
    echo(g, prefix + str(written));
    exit(g, 0);
}

// Writes `tpl` through the toolkit's generate_json_template, which replaces
// any file; an existing file is kept unless it already holds the same JSON.
[[noreturn]] inline void write_json_template(
    const Globals& g, py::handle tpl, const char* file,
    const char* prefix = "Success! Template file created at: ") {
    py::object dumps = py::module_::import("json").attr("dumps");
    auto same = [&](py::handle path) {
        py::object loaded = dumps(
            py::module_::import("json").attr("loads")(read_file(path, "r", py::str("utf-8"))));
        return loaded.equal(dumps(tpl));
    };
    finish_template(g, prefix, file, same,
                    [&] { return toolkit::generate_json_template(g, tpl, file); });
}

// Writes a template given as text (the YAML one) atomically; an existing
// file is kept unless its bytes are the same. The success line names the
// file as given.
[[noreturn]] inline void write_text_template(
    const Globals& g, py::handle text, const char* file,
    const char* prefix = "Success! Template file created at: ") {
    py::object bytes = text.attr("encode")("utf-8");
    auto same = [&](py::handle path) { return read_file(path, "rb").equal(bytes); };
    finish_template(g, prefix, file, same, [&] {
        write_bytes_atomic(py::module_::import("os").attr("path").attr("abspath")(file), bytes);
        return py::str(file);
    });
}

// Refuses, before anything is written, an output that would replace one of
// the command's inputs or its configuration file: one line naming the key and
// the input, status 1.
inline void refuse_overwrite(const Globals& g, py::handle config_file, const char* key,
                             py::handle output, py::handle inputs) {
    py::list all;
    all.append(config_file);
    for (py::handle item : inputs) all.append(item);
    py::object clash = find_overwrite(output, all);
    if (clash.is_none()) return;
    echo(g, "Error: " + str(config_file) + ": " + key + " would overwrite the input " + str(clash),
         true);
    exit(g, 1);
}

// refuse_overwrite for a run started by the command (`config_file` given);
// a worker used from Python (`config_file` None) logs the clash as an error
// instead. False when the output would replace an input.
inline bool output_is_free(const Globals& g, py::handle config_file, const char* key,
                           py::handle output, py::handle inputs) {
    if (!config_file.is_none()) {
        refuse_overwrite(g, config_file, key, output, inputs);
        return true;
    }
    py::object clash = find_overwrite(output, inputs);
    if (clash.is_none()) return true;
    log(g, "error", std::string(key) + " would overwrite the input " + str(clash));
    return false;
}

// A configuration file that is no regular file (a FIFO would block the
// loader, a device stream forever) ends the command with one line, status 1.
inline void require_regular_file(const Globals& g, py::handle path) {
    if (auto err = catch_ordinary([&] { CloseGuard(open_regular(path, "rb")).close(); }))
        file_error(g, path, file_error_reason(*err));
}

// Without the module's optional libraries (`flag` false): logs `lines` as
// errors and ends with status 1.
inline void require_libraries(const Globals& g, const char* flag,
                              std::initializer_list<const char*> lines) {
    if (truthy(g[flag])) return;
    for (const char* line : lines) log(g, "error", line);
    exit(g, 1);
}

// With no --config: echoes `lines` and ends with status 1.
inline void require_config(const Globals& g, py::handle config,
                           std::initializer_list<const char*> lines) {
    if (truthy(config)) return;
    for (const char* line : lines) echo(g, line);
    exit(g, 1);
}

// The "config" section through the toolkit's load_json_file. A file the
// loader rejects (it has said why) ends the command with status 1: the run
// would produce nothing. What must hold whatever the toolkit does is checked
// here: the file is a regular one, and a loader that raises (nesting too
// deep for the parser, say) gives one line, not a traceback.
inline py::object load_config_section(const Globals& g, py::handle config) {
    require_regular_file(g, config);
    py::object loaded;
    if (auto err = catch_ordinary([&] { loaded = toolkit::load_json_file(g, config); }))
        file_error(g, config, file_error_reason(*err));
    if (!truthy(loaded)) exit(g, 1);
    return loaded[py::int_(0)];
}

// How a value is quoted in a message: as JSON (as repr when JSON cannot
// show it), printable and cut to SHOWN_CHARS characters.
inline std::string shown(py::handle value) {
    py::object text;
    if (catch_ordinary([&] {
            text = py::module_::import("json").attr("dumps")(value, "ensure_ascii"_a = false);
        }) &&
        catch_ordinary([&] { text = py::repr(value); }))
        text = py::str("<" + str(py::type::of(value).attr("__name__")) + ">");
    return printable(text, SHOWN_CHARS);
}

// One configuration error line on standard error, then status 1:
// "Error: <file>: <key> must be <what> (got <value>)".
[[noreturn]] inline void config_error(const Globals& g, py::handle file, const std::string& key,
                                      const std::string& what, py::handle value) {
    echo(g,
         "Error: " + printable(file) + ": " + key + " must be " + what + " (got " + shown(value) +
             ")",
         true);
    exit(g, 1);
}

// Reads a JSON configuration file with the module's `json`, as UTF-8 (a
// byte-order mark, as some editors write, is passed over). A file
// that is not a regular file, not UTF-8, not JSON, nested too deeply or not an
// object gets one error line naming the file and status 1 instead of a
// traceback.
inline py::dict read_json_object(const Globals& g, py::handle path) {
    py::object data;
    auto failure = catch_ordinary(
        [&] { data = g["json"].attr("loads")(read_file(path, "r", py::str("utf-8-sig"))); });
    if (failure) file_error(g, path, file_error_reason(*failure));
    if (!py::isinstance<py::dict>(data)) file_error(g, path, "the top level must be a JSON object");
    return data;
}

// What a numeric setting must be.
enum class Need { number, positive_number, positive_integer };

// Checks a numeric configuration value (bool is not a number here) and returns
// it unchanged, a Python object; anything else is a config_error naming
// `label`, e.g. "config.row_gap". An integer too large for a double (the
// worker computes with doubles) is refused as well.
inline py::object check_number(const Globals& g, py::handle file, const std::string& label,
                               py::object value, Need need) {
    bool is_int = py::isinstance<py::int_>(value) && !py::isinstance<py::bool_>(value);
    bool is_float = py::isinstance<py::float_>(value);
    std::string what = need == Need::number            ? "a number"
                       : need == Need::positive_number ? "a positive number"
                                                       : "a positive integer";
    bool ok = need == Need::positive_integer ? is_int : (is_int || is_float);
    double number = 0;
    if (ok) {
        number = PyFloat_AsDouble(value.ptr());
        if (number == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
            PyErr_Clear();
            ok = false;
            what += " below 1e308";
        }
    }
    if (ok) ok = std::isfinite(number) && (need == Need::number || number > 0);
    if (!ok) config_error(g, file, label, what, value);
    return value;
}

// Checks that a configuration value is text (a str, and not empty when
// `non_empty`) and returns it unchanged; anything else is a config_error.
inline py::object check_text(const Globals& g, py::handle file, const std::string& label,
                             py::object value, bool non_empty = false) {
    bool ok = py::isinstance<py::str>(value) && (!non_empty || truthy(value));
    if (!ok) config_error(g, file, label, non_empty ? "a non-empty string" : "a string", value);
    return value;
}

// Checks that a configuration value is a JSON object and returns it as one.
inline py::dict check_object(const Globals& g, py::handle file, const std::string& label,
                             py::handle value) {
    if (!py::isinstance<py::dict>(value)) config_error(g, file, label, "an object", value);
    return py::reinterpret_borrow<py::dict>(value);
}

// check_text for a path: also no NUL character, which no file name holds and
// the system calls refuse with a traceback.
inline py::object check_path(const Globals& g, py::handle file, const std::string& label,
                             py::object value, bool non_empty = false) {
    check_text(g, file, label, value, non_empty);
    if (value.contains(py::str(std::string(1, '\0'))))
        config_error(g, file, label, "a path without NUL characters", value);
    return value;
}

// check_text for each of `keys` present in `section`; an absent key keeps
// its default. Labels are "<prefix>.<key>".
inline void check_text_keys(const Globals& g, py::handle file, const py::dict& section,
                            const std::string& prefix, std::initializer_list<const char*> keys,
                            bool non_empty = false) {
    for (const char* key : keys)
        if (section.contains(key)) check_text(g, file, prefix + "." + key, section[key], non_empty);
}

// check_path for each of `keys` present in `section`.
inline void check_path_keys(const Globals& g, py::handle file, const py::dict& section,
                            const std::string& prefix, std::initializer_list<const char*> keys,
                            bool non_empty = false) {
    for (const char* key : keys)
        if (section.contains(key)) check_path(g, file, prefix + "." + key, section[key], non_empty);
}

// Checks that a configuration value is a JSON object whose values are all
// strings (a title map, say) and returns it unchanged.
inline py::object check_text_map(const Globals& g, py::handle file, const std::string& label,
                                 py::object value) {
    bool ok = py::isinstance<py::dict>(value);
    if (ok)
        for (auto item : py::reinterpret_borrow<py::dict>(value))
            ok = ok && py::isinstance<py::str>(item.second);
    if (!ok) config_error(g, file, label, "an object of strings", value);
    return value;
}

// How a command reports the (success, message) pair its worker returns.
struct Report {
    const char* ok;         // prefix of the line for a true result: "Done: "
    const char* failed;     // prefix for a false one: "Error: "
    bool failed_to_stderr;  // the channel of that line
    int failed_status;      // status a false result ends with; 0 lets the command return
};

// Echoes the result line of `result` as `report` says, and ends the command
// with the failure status when the result is false.
inline void finish_run(const Globals& g, py::handle result, const Report& report) {
    auto [ok, message] = unpack_pair(result);
    bool success = truthy(ok);
    echo(g, (success ? report.ok : report.failed) + str(message),
         !success && report.failed_to_stderr);
    if (!success && report.failed_status) exit(g, report.failed_status);
}

}  // namespace dorvex
