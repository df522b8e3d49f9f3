// Whole-file reads through the toolkit's open_regular(), closed on every path,
// as a `with open(...)` block would. Only regular files are opened: a FIFO or
// device named as an input must not block or stream forever.
#pragma once

#include "pyutil.hpp"

namespace dorvex {

// open_regular(path, mode, encoding=encoding).read(); "rb" gives bytes, "r"
// with an encoding gives text whose decoding errors propagate.
inline py::object read_file(py::handle path, const char* mode, py::object encoding = py::none()) {
    py::object f = py::module_::import("corvalib.fileMg")
                       .attr("open_regular")(path, mode, "encoding"_a = encoding);
    py::object data;
    try {
        data = f.attr("read")();
    } catch (py::error_already_set&) {
        py::error_scope keep;  // the read error must survive close()
        // a close() failure after a failed read adds nothing; an interrupt
        // still passes
        catch_ordinary([&] { f.attr("close")(); });
        throw;
    }
    f.attr("close")();
    return data;
}

}  // namespace dorvex
