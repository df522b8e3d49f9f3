// Module names bound at their first use, through the module's __getattr__
// (PEP 562): a library that --generate-config, --help or a configuration
// error never needs is not imported for them. Once bound, a name is an
// ordinary module attribute, looked up at the moment of use like any other,
// so a caller who rebinds it (or sets it before its first use) is honoured.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>

#include "pyutil.hpp"

namespace dorvex {

namespace detail {

// name -> the loader that binds it, kept in the module's own namespace
inline constexpr const char* LAZY_NAMES = "__lazy_names__";

inline py::object module_getattr(const py::module_& m, const py::str& name) {
    py::dict pending = m.attr(LAZY_NAMES);
    if (pending.contains(name)) {
        py::object load = pending[name];
        load();  // binds every name of its group, and forgets them here
        py::dict names = m.attr("__dict__");
        if (names.contains(name)) return names[name];
    }
    PyErr_SetString(
        PyExc_AttributeError,
        ("module '" + str(m.attr("__name__")) + "' has no attribute '" + str(name) + "'").c_str());
    throw py::error_already_set();
}

}  // namespace detail

// Binds `names` with `bind(m)` when one of them is first looked up, unless
// the module already holds it by then. `bind` sets every name of the group
// (an optional library that is missing binds what the module has without it).
inline void bind_on_first_use(py::module_& m, std::initializer_list<const char*> names,
                              std::function<void(py::module_&)> bind) {
    if (!py::hasattr(m, detail::LAZY_NAMES)) {
        m.attr(detail::LAZY_NAMES) = py::dict();
        // the module holds its __getattr__, which holds only the module's name:
        // no reference cycle through a C++ static
        std::string module_name = str(m.attr("__name__"));
        m.attr("__getattr__") = py::cpp_function(
            [module_name](py::str name) {
                return detail::module_getattr(py::module_::import(module_name.c_str()), name);
            },
            py::name("__getattr__"));
    }
    py::list group;
    for (const char* name : names) group.append(name);
    std::string module_name = str(m.attr("__name__"));
    py::cpp_function load([module_name, group, bind]() {
        py::module_ mod = py::module_::import(module_name.c_str());
        py::dict pending = mod.attr(detail::LAZY_NAMES);
        for (py::handle name : group)
            if (pending.contains(name)) PyDict_DelItem(pending.ptr(), name.ptr());
        bind(mod);
    });
    py::dict pending = m.attr(detail::LAZY_NAMES);
    for (const char* name : names) pending[name] = load;
}

// Whether every one of `modules` is installed, found without importing it:
// the availability check costs nothing when the library is not used.
inline bool importable(std::initializer_list<const char*> modules) {
    py::object find_spec = py::module_::import("importlib.util").attr("find_spec");
    for (const char* name : modules) {
        bool found = false;
        catch_ordinary([&] { found = !find_spec(name).is_none(); });
        if (!found) return false;
    }
    return true;
}

}  // namespace dorvex
