// SIGTERM and SIGHUP (kill, timeout, a closed terminal) end a command as
// Ctrl-C does: as a Python exception raised where the interpreter is, so that
// every temporary file is removed and every child process stopped on the way
// out, with the conventional status 128 + the signal's number.
#pragma once

#include <utility>
#include <vector>

#include "pyutil.hpp"

namespace dorvex {

// While alive, SIGTERM and SIGHUP raise SystemExit(128 + signal). A signal
// with a handler of its own (a host's) or ignored on purpose (nohup) is left
// as it is. Handlers can be set in the main thread only; elsewhere this does
// nothing.
class SignalGuard {
public:
    SignalGuard() {
        py::module_ signal = py::module_::import("signal");
        py::module_ threading = py::module_::import("threading");
        if (!threading.attr("current_thread")().is(threading.attr("main_thread")())) return;
        py::cpp_function handler(
            [](int signum, py::object) { py::module_::import("sys").attr("exit")(128 + signum); });
        for (const char* name : {"SIGTERM", "SIGHUP"}) {
            if (!py::hasattr(signal, name)) continue;
            py::object sig = signal.attr(name);
            py::object old = signal.attr("getsignal")(sig);
            if (!old.equal(signal.attr("SIG_DFL"))) continue;
            signal.attr("signal")(sig, handler);
            saved_.emplace_back(sig, old);
        }
    }
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;

    ~SignalGuard() {
        py::error_scope keep;  // the exit being raised must survive the clean-up
        try {
            py::module_ signal = py::module_::import("signal");
            for (auto& [sig, old] : saved_) signal.attr("signal")(sig, old);
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("restoring signal handlers");
        }
    }

private:
    std::vector<std::pair<py::object, py::object>> saved_;
};

}  // namespace dorvex
