// A progress line for long loops: click's progress bar on standard error,
// drawn only when standard error is a terminal, so that logs, pipes and tests
// see exactly the lines they saw before. On the terminal a log line first
// clears the bar, which is drawn again below it at the next step.
#pragma once

#include <cstddef>

#include "pyutil.hpp"

namespace dorvex {

class Progress {
public:
    Progress(std::size_t total, const char* label) {
        if (total == 0) return;
        py::object stream = py::module_::import("sys").attr("stderr");
        bool terminal = false;
        // a closed or replaced stream is simply not a terminal
        catch_ordinary([&] { terminal = !stream.is_none() && truthy(stream.attr("isatty")()); });
        if (!terminal) return;
        bar_ = py::module_::import("click").attr("progressbar")(
            "length"_a = total, "label"_a = label, "file"_a = stream, "show_pos"_a = true);
        clear_ = py::cpp_function([stream](py::handle) {
            stream.attr("write")("\r\033[K");
            return true;
        });
        handlers_ = stderr_handlers(stream);
        for (py::handle handler : handlers_) handler.attr("addFilter")(clear_);
        bar_.attr("__enter__")();
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void advance(std::size_t n = 1) {
        if (bar_) bar_.attr("update")(n);
    }

    ~Progress() {
        if (!bar_) return;
        try {
            for (py::handle handler : handlers_) handler.attr("removeFilter")(clear_);
            bar_.attr("__exit__")(py::none(), py::none(), py::none());
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable(__func__);
        }
    }

private:
    // The handlers of the root and the dorvex logger that write to `stream`.
    static py::list stderr_handlers(py::handle stream) {
        py::module_ logging = py::module_::import("logging");
        py::list found;
        for (py::object logger : {logging.attr("getLogger")(), logging.attr("getLogger")("Dorvex")})
            for (py::handle handler : logger.attr("handlers"))
                if (py::getattr(handler, "stream", py::none()).is(stream)) found.append(handler);
        return found;
    }

    py::object bar_, clear_;
    py::list handlers_;
};

}  // namespace dorvex
