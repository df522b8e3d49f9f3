// The command skeleton every dorvex module shares: a real click.Command with
// the options --config/-c and --generate-config, and the standard steps of a
// command body (template, missing --config, configuration loading).
#pragma once

#include <cmath>
#include <functional>
#include <initializer_list>

#include "pyutil.hpp"
#include "readfile.hpp"

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

// Ends a template run: echoes `prefix` and the path and exits 0, or, when the
// toolkit kept an existing template with other content (FileExistsError),
// names that file on standard error and exits 1.
template <class Write>
[[noreturn]] void finish_template(const Globals& g, const char* prefix, Write&& write) {
    py::object path;
    if (auto kept = catch_python(PyExc_FileExistsError, [&] { path = write(); })) {
        echo(g, "Error: " + str(*kept), true);
        exit(g, 1);
    }
    echo(g, prefix + str(path));
    exit(g, 0);
}

// Writes `tpl` through fileMg.generate_json_template (see finish_template).
[[noreturn]] inline void write_json_template(
    const Globals& g, py::handle tpl, const char* file,
    const char* prefix = "Success! Template file created at: ") {
    finish_template(g, prefix,
                    [&] { return g["fileMg"].attr("generate_json_template")(tpl, file); });
}

// Writes a template given as text (the YAML one) through fileMg.write_template;
// the success line names the file as given.
[[noreturn]] inline void write_text_template(
    const Globals& g, py::handle text, const char* file,
    const char* prefix = "Success! Template file created at: ") {
    finish_template(g, prefix, [&] {
        py::module_::import("corvalib.fileMg").attr("write_template")(file, text);
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
    py::object clash = py::module_::import("corvalib.fileMg").attr("find_overwrite")(output, all);
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
    py::object clash =
        py::module_::import("corvalib.fileMg").attr("find_overwrite")(output, inputs);
    if (clash.is_none()) return true;
    log(g, "error", std::string(key) + " would overwrite the input " + str(clash));
    return false;
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

// fileMg.load_json_file(config, required_keys=["config"])[0]. A file the
// loader rejects (it has said why) ends the command with status 1: the run
// would produce nothing.
inline py::object load_config_section(const Globals& g, py::handle config) {
    py::list keys;
    keys.append("config");
    py::object loaded = g["fileMg"].attr("load_json_file")(config, "required_keys"_a = keys);
    if (!truthy(loaded)) exit(g, 1);
    return loaded[py::int_(0)];
}

// One configuration error line on standard error, then status 1:
// "Error: <file>: <key> must be <what> (got <value>)", the value as JSON.
[[noreturn]] inline void config_error(const Globals& g, py::handle file, const std::string& key,
                                      const std::string& what, py::handle value) {
    py::object shown;
    // a value JSON cannot show (nested too deeply, say) is shown by repr
    if (catch_ordinary([&] {
            shown = py::module_::import("json").attr("dumps")(value, "ensure_ascii"_a = false);
        }))
        shown = py::repr(value);
    echo(g, "Error: " + str(file) + ": " + key + " must be " + what + " (got " + str(shown) + ")",
         true);
    exit(g, 1);
}

// Reads a JSON configuration file with the module's `json`, as UTF-8. A file
// that is not a regular file, not UTF-8, not JSON, nested too deeply or not an
// object gets one error line naming the file and status 1 instead of a
// traceback.
inline py::dict read_json_object(const Globals& g, py::handle path) {
    py::object data;
    auto failure = catch_ordinary(
        [&] { data = g["json"].attr("loads")(read_file(path, "r", py::str("utf-8"))); });
    if (failure) {
        py::object err = *failure;
        std::string reason;
        py::module_ json = py::module_::import("json");
        if (py::isinstance(err, py::handle(PyExc_UnicodeDecodeError)))
            reason = "not UTF-8 text (byte " + str(err.attr("start")) + ")";
        else if (py::isinstance(err, json.attr("JSONDecodeError")))
            reason = "not valid JSON: " + str(err.attr("msg")) + " at line " +
                     str(err.attr("lineno")) + " column " + str(err.attr("colno"));
        else if (py::isinstance(err, py::handle(PyExc_RecursionError)))
            reason = str(py::module_::import("corvalib.fileMg").attr("NESTED_TOO_DEEPLY"));
        else if (py::isinstance(err, py::handle(PyExc_OSError)) && !err.attr("strerror").is_none())
            reason = str(err.attr("strerror"));
        else
            reason = str(err);
        echo(g, "Error: " + str(path) + ": " + reason, true);
        exit(g, 1);
    }
    if (!py::isinstance<py::dict>(data)) {
        echo(g, "Error: " + str(path) + ": the top level must be a JSON object", true);
        exit(g, 1);
    }
    return data;
}

// What a numeric setting must be.
enum class Need { number, positive_number, positive_integer };

// Checks a numeric configuration value (bool is not a number here) and returns
// it unchanged, a Python object; anything else is a config_error naming
// `label`, e.g. "config.row_gap".
inline py::object check_number(const Globals& g, py::handle file, const std::string& label,
                               py::object value, Need need) {
    bool is_int = py::isinstance<py::int_>(value) && !py::isinstance<py::bool_>(value);
    bool is_float = py::isinstance<py::float_>(value);
    const char* what = need == Need::number            ? "a number"
                       : need == Need::positive_number ? "a positive number"
                                                       : "a positive integer";
    bool ok = need == Need::positive_integer ? is_int : (is_int || is_float);
    if (ok && is_float) ok = std::isfinite(value.cast<double>());
    if (ok && need != Need::number) ok = value.cast<double>() > 0;
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

// check_text for each of `keys` present in `section`; an absent key keeps
// its default. Labels are "<prefix>.<key>".
inline void check_text_keys(const Globals& g, py::handle file, const py::dict& section,
                            const std::string& prefix, std::initializer_list<const char*> keys,
                            bool non_empty = false) {
    for (const char* key : keys)
        if (section.contains(key)) check_text(g, file, prefix + "." + key, section[key], non_empty);
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

}  // namespace dorvex
