// Whole-file reads through Python's open(), closed on every path, as a
// `with open(...)` block would.
#pragma once

#include "pyutil.hpp"

namespace dorvex {

// open(path, mode, encoding=encoding).read(); "rb" gives bytes, "r" with an
// encoding gives text whose decoding errors propagate.
inline py::object read_file(py::handle path, const char* mode, py::object encoding = py::none()) {
    py::object f = py::module_::import("builtins").attr("open")(path, mode, "encoding"_a = encoding);
    py::object data;
    try {
        data = f.attr("read")();
    } catch (...) {
        py::error_scope keep;  // the read error must survive close()
        try {
            f.attr("close")();
        } catch (...) {
        }
        throw;
    }
    f.attr("close")();
    return data;
}

}  // namespace dorvex
