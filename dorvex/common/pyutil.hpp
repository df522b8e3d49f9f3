// Python-object helpers shared by every dorvex module: module-level names,
// the ordinary-exception guard, Python-style text and process exit.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace py = pybind11;
using namespace pybind11::literals;

namespace dorvex {

// The names bound in one module's namespace, looked up at the moment of use,
// so that a caller who rebinds `module.log` or `module.HAS_PDF_LIBS` is
// honoured. Only the module's name is stored: no Python object lives in a
// static that would be destroyed after the interpreter.
class Globals {
public:
    explicit constexpr Globals(const char* module) : module_(module) {}

    py::object operator[](const char* name) const { return module().attr(name); }
    py::module_ module() const { return py::module_::import(module_); }
    const char* name() const { return module_; }

private:
    const char* module_;
};

// Runs `f`. A Python exception of class `type` (or a pybind11 error that
// becomes one) is caught and returned; anything else passes through. The only
// place where a Python error is swallowed.
template <class F>
std::optional<py::object> catch_python(PyObject* type, F&& f) {
    try {
        f();
        return std::nullopt;
    } catch (py::error_already_set& e) {
        if (!e.matches(type)) throw;
        return e.value();
    } catch (py::builtin_exception& e) {
        e.set_error();
        py::error_already_set err;
        if (!err.matches(type)) throw err;
        return err.value();
    }
}

// catch_python for ordinary exceptions (Exception subclasses): SystemExit,
// KeyboardInterrupt and GeneratorExit pass through untouched.
template <class F>
std::optional<py::object> catch_ordinary(F&& f) {
    return catch_python(PyExc_Exception, std::forward<F>(f));
}

// str(obj) as UTF-8.
inline std::string str(py::handle obj) { return py::str(obj).cast<std::string>(); }

// Text fit for one message line: control characters escaped as Python
// writes them ("\n", "\x00") and, with a `limit`, at most that many
// characters, cut with "…". A bad value must not become a line of many
// kilobytes, nor break the line.
inline constexpr std::size_t SHOWN_CHARS = 80;
inline std::string printable(py::handle text, std::size_t limit = 0) {
    py::str s(text);
    py::cpp_function escape([](py::object m) {
        return py::repr(m.attr("group")()).attr("__getitem__")(py::slice(1, -1, 1));
    });
    s = py::module_::import("re").attr("sub")(R"([\x00-\x1f\x7f-\x9f])", escape, s);
    if (limit && py::len(s) > limit)
        s = py::str(s.attr("__getitem__")(py::slice(0, static_cast<py::ssize_t>(limit - 1), 1))) +
            py::str("…");
    return str(s);
}

// format(value, spec), Python's own number formatting (".1f", "d", ...).
inline std::string format(py::handle value, const char* spec) {
    return str(py::module_::import("builtins").attr("format")(value, spec));
}

// Python truth value.
inline bool truthy(py::handle obj) {
    int result = PyObject_IsTrue(obj.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

// a // b and a % b with Python's rules (floor rounding, int stays int),
// which pybind11's object operators do not offer.
inline py::object floor_div(py::handle a, py::handle b) {
    PyObject* r = PyNumber_FloorDivide(a.ptr(), b.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}
inline py::object remainder(py::handle a, py::handle b) {
    PyObject* r = PyNumber_Remainder(a.ptr(), b.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// [a, b, ...] as a Python list.
template <class... T>
py::list list_of(T&&... items) {
    py::list out;
    (out.append(std::forward<T>(items)), ...);
    return out;
}

// Python's `a, b = value`: exactly two items, else the ValueError Python gives.
inline std::pair<py::object, py::object> unpack_pair(py::handle value) {
    py::tuple items(py::module_::import("builtins").attr("tuple")(value));
    if (items.size() > 2) throw py::value_error("too many values to unpack (expected 2)");
    if (items.size() < 2)
        throw py::value_error("not enough values to unpack (expected 2, got " +
                              std::to_string(items.size()) + ")");
    return {items[0], items[1]};
}

// Gives `cls` (made with py::dynamic_attr()) the constructor `init(self, args...)`.
// The attributes live in the instance dictionary, where the cyclic garbage
// collector sees them; that dictionary exists once the empty C++ part is made,
// so the constructor makes it first, then calls `init`. `extra` names the
// arguments (py::arg).
template <class T, class... Args, class... Extra>
void def_dict_init(py::class_<T>& cls, void (*init)(py::object, Args...), const Extra&... extra) {
    cls.def(py::init<>());
    py::object make_empty = cls.attr("__init__");
    cls.attr("__init__") = py::cpp_function(
        [make_empty, init](py::object self, Args... args) {
            make_empty(self);
            init(self, std::move(args)...);
        },
        py::name("__init__"), py::is_method(cls), extra...);
}

inline void log(const Globals& g, const char* level, py::handle message) {
    g["log"].attr(level)(message);
}
inline void log(const Globals& g, const char* level, const std::string& message) {
    g["log"].attr(level)(message);
}

inline void echo(const Globals& g, const std::string& text, bool err = false) {
    g["click"].attr("echo")(text, "err"_a = err);
}

// Ends the process through the module's `sys.exit`, so click, the host and
// test runners all see the status.
[[noreturn]] inline void exit(const Globals& g, int status) {
    g["sys"].attr("exit")(status);
    throw std::logic_error("sys.exit returned");
}

// Module set-up, in the order the names are bound.

// import a, b, c
inline void import_modules(py::module_& m, std::initializer_list<const char*> names) {
    for (const char* name : names) m.attr(name) = py::module_::import(name);
}

// try: <bind(m)>; <flag> = True / except ImportError: <flag> = False
// Without its optional libraries a module still loads, and its command
// reports what is missing.
template <class F>
bool import_optional(py::module_& m, const char* flag, F&& bind) {
    bool found = true;
    try {
        bind(m);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        found = false;
    }
    m.attr(flag) = found;
    return found;
}

}  // namespace dorvex
