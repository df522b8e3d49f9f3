// A module's settings as one constexpr table: every key with the value its
// template writes and the value the worker uses when the key is absent.
// The template, the worker's constructor, the settings check and the
// unknown-key warning all read the same table, so a default is written once.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "pyutil.hpp"

namespace dorvex {

struct Key;

// A view of a table of keys.
struct Keys {
    const Key* items = nullptr;
    std::size_t size = 0;
    constexpr const Key* begin() const;
    constexpr const Key* end() const;
};

template <std::size_t N>
constexpr Keys keys_of(const Key (&items)[N]) {
    return {items, N};
}

// A value in a table: a scalar, a section (an object whose keys the table
// knows), a mapping (an object of free keys, with example entries) or a list
// of sections (its keys those of every item). `absent` in a template is a key
// the template leaves out; as a fallback, a key that has no default.
struct Value {
    enum class Kind { absent, text, integer, real, boolean, section, mapping, list };
    Kind kind = Kind::absent;
    const char* text = nullptr;
    long long integer = 0;
    double real = 0;
    bool boolean = false;
    Keys keys{};
};

inline constexpr Value ABSENT{};
constexpr Value text(const char* s) { return {Value::Kind::text, s}; }
constexpr Value integer(long long n) { return {Value::Kind::integer, nullptr, n}; }
constexpr Value real(double x) { return {Value::Kind::real, nullptr, 0, x}; }
constexpr Value boolean(bool b) { return {Value::Kind::boolean, nullptr, 0, 0, b}; }
constexpr Value section(Keys k) { return {Value::Kind::section, nullptr, 0, 0, false, k}; }
constexpr Value mapping(Keys examples = {}) {
    return {Value::Kind::mapping, nullptr, 0, 0, false, examples};
}
// A list of one example item whose keys are `item`.
constexpr Value list(Keys item) { return {Value::Kind::list, nullptr, 0, 0, false, item}; }

struct Key {
    const char* name;
    Value in_template;  // what --generate-config writes
    Value fallback;     // what the worker uses when the key is absent
};

constexpr const Key* Keys::begin() const { return items; }
constexpr const Key* Keys::end() const { return items + size; }

// The Python value of a table value; a section, mapping or list is built from
// the template values of its keys (an empty mapping for a fallback of none).
inline py::object to_python(const Value& v) {
    switch (v.kind) {
        case Value::Kind::text:
            return py::str(v.text);
        case Value::Kind::integer:
            return py::int_(v.integer);
        case Value::Kind::real:
            return py::float_(v.real);
        case Value::Kind::boolean:
            return py::bool_(v.boolean);
        case Value::Kind::section:
        case Value::Kind::mapping: {
            py::dict out;
            for (const Key& k : v.keys)
                if (k.in_template.kind != Value::Kind::absent)
                    out[k.name] = to_python(k.in_template);
            return std::move(out);
        }
        case Value::Kind::list:
            return list_of(to_python(section(v.keys)));
        case Value::Kind::absent:
            break;
    }
    return py::none();
}

// The template: every key the template writes, in table order.
inline py::dict template_of(Keys keys) { return to_python(section(keys)); }

// The table entry of `name`; a name not in the table is a programming error.
inline const Key& key_in(Keys keys, const char* name) {
    for (const Key& k : keys)
        if (std::string(k.name) == name) return k;
    throw std::logic_error(std::string("no setting ") + name + " in the table");
}

// mapping.get(name, <fallback>): the configured value, kept as the Python
// object the loader delivered, or the table's default.
inline py::object setting(py::handle mapping, Keys keys, const char* name) {
    return mapping.attr("get")(name, to_python(key_in(keys, name).fallback));
}

// The default of `name` as a C++ number, for checks made before the worker
// exists.
inline double fallback_number(Keys keys, const char* name) {
    const Value& v = key_in(keys, name).fallback;
    return v.kind == Value::Kind::real ? v.real : static_cast<double>(v.integer);
}

// Warns once per key of `section` (labelled `label`, "config"; "" for the
// top level) that the
// table does not know, naming the closest known key when there is one:
// "Warning: <file>: unknown key config.image_foler (did you mean
// image_folder?)". Keys beginning with "_" or "//" are comments. Known
// sections and lists are looked into; a mapping's keys are free. `extra`
// names keys known beside the table (numbered ones, say). A warning, not a
// refusal: a configuration with extra keys keeps working.
inline void warn_unknown_keys(const Globals& g, py::handle file, const std::string& label,
                              py::handle section, Keys keys,
                              const std::vector<std::string>& extra = {}) {
    if (!py::isinstance<py::dict>(section)) return;  // the settings check names a wrong type
    py::list known;
    for (const Key& k : keys) known.append(k.name);
    for (const std::string& name : extra) known.append(name);
    for (auto [name, value] : py::reinterpret_borrow<py::dict>(section)) {
        if (!py::isinstance<py::str>(name)) continue;
        std::string text = str(name);
        if (text.rfind("_", 0) == 0 || text.rfind("//", 0) == 0) continue;
        const Key* entry = nullptr;
        for (const Key& k : keys)
            if (text == k.name) entry = &k;
        std::string labelled = label.empty() ? text : label + "." + text;
        if (entry) {
            std::string inner = labelled;
            Value::Kind kind = entry->in_template.kind != Value::Kind::absent
                                   ? entry->in_template.kind
                                   : entry->fallback.kind;
            if (kind == Value::Kind::section)
                warn_unknown_keys(g, file, inner, value, entry->in_template.keys);
            if (kind == Value::Kind::list && py::isinstance<py::list>(value)) {
                long i = 0;
                for (py::handle item : value)
                    warn_unknown_keys(g, file, inner + "[" + std::to_string(i++) + "]", item,
                                      entry->in_template.keys);
            }
            continue;
        }
        if (known.contains(name)) continue;
        std::string line =
            "Warning: " + printable(file) + ": unknown key " + printable(py::str(labelled));
        py::list close = py::module_::import("difflib").attr("get_close_matches")(name, known, 1);
        if (!close.empty()) line += " (did you mean " + str(close[0]) + "?)";
        echo(g, line, true);
    }
}

}  // namespace dorvex
