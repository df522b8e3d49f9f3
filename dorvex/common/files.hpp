// Files read by name and folder listings, with the guards every command
// keeps on its own side of the toolkit: only regular files are opened or
// listed (a FIFO or device must not block a run or stream forever), files
// are closed on every path as a `with` block would close them, and no
// output may replace an input.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <utility>

#include "pyutil.hpp"

namespace dorvex {

// Why a configuration nested too deeply for the parser is refused.
inline constexpr const char* NESTED_TOO_DEEPLY = "nested too deeply to load";

// What went wrong, in the words a user reads: an OSError's own reason
// without the paths it names (one may be a hidden temporary), else the text.
inline std::string reason_of(py::handle err) {
    if (py::isinstance(err, py::handle(PyExc_OSError)) && !err.attr("strerror").is_none())
        return str(err.attr("strerror"));
    return str(err);
}

// The text of `err` as Python shows it, with `path` as the file an OSError
// names: a write made through a temporary beside the output must name the
// output the user asked for, not the hidden temporary.
inline std::string error_naming(py::handle err, py::handle path) {
    if (py::isinstance(err, py::handle(PyExc_OSError)) && !err.attr("strerror").is_none())
        return "[Errno " + str(err.attr("errno")) + "] " + reason_of(err) + ": " +
               str(py::repr(path));
    return str(err);
}

// Raises OSError(code, reason, path), which Python turns into its subclass
// (IsADirectoryError for EISDIR).
[[noreturn]] inline void raise_os_error(int code, const char* reason, py::handle path) {
    py::object err = py::module_::import("builtins").attr("OSError")(code, reason, path);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err.ptr())), err.ptr());
    throw py::error_already_set();
}

// Raises OSError naming `path` unless `mode` (a stat mode) is a regular
// file's: a folder is "is a folder, not a file", anything else "not a
// regular file".
inline void refuse_special(mode_t mode, py::handle path) {
    if (S_ISDIR(mode)) raise_os_error(EISDIR, "is a folder, not a file", path);
    if (!S_ISREG(mode)) raise_os_error(EINVAL, "not a regular file", path);
}

// open(path, mode, encoding=...) for reading a regular file only: a folder,
// FIFO, socket or device raises OSError ("not a regular file") instead of
// blocking or reading endlessly. Checked on the opened descriptor too, so the
// file cannot be swapped between the check and the read.
inline py::object open_regular(py::handle path, const char* mode = "r",
                               py::object encoding = py::none()) {
    py::module_ os = py::module_::import("os");
    auto mode_of = [](py::handle info) { return info.attr("st_mode").cast<mode_t>(); };
    // a socket cannot even be opened; say what it is rather than ENXIO
    refuse_special(mode_of(os.attr("stat")(path)), path);
    py::object fd =
        os.attr("open")(path, os.attr("O_RDONLY") | os.attr("O_NONBLOCK") | os.attr("O_CLOEXEC"));
    try {
        refuse_special(mode_of(os.attr("fstat")(fd)), path);
        os.attr("set_blocking")(fd, true);
        return py::module_::import("builtins").attr("open")(fd, mode, "encoding"_a = encoding);
    } catch (py::error_already_set&) {
        py::error_scope keep;
        catch_ordinary([&] { os.attr("close")(fd); });
        throw;
    }
}

// Closes a Python file when the scope ends, as a `with` block does. After
// an error, a failing close() adds nothing and the original error goes on;
// on the normal path call close(), whose failure is the caller's.
class CloseGuard {
public:
    explicit CloseGuard(py::object file) : file_(std::move(file)) {}
    CloseGuard(const CloseGuard&) = delete;
    CloseGuard& operator=(const CloseGuard&) = delete;

    void close() {
        closed_ = true;
        file_.attr("close")();
    }

    ~CloseGuard() {
        if (closed_) return;
        py::error_scope keep;  // an error being raised must survive the clean-up
        try {
            file_.attr("close")();
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("closing a file after an error");  // destructors never throw
        }
    }

private:
    py::object file_;
    bool closed_ = false;
};

// The whole content of a regular file: "rb" gives bytes, "r" with an
// encoding text whose decoding errors propagate.
inline py::object read_file(py::handle path, const char* mode, py::object encoding = py::none()) {
    py::object file = open_regular(path, mode, std::move(encoding));
    CloseGuard guard(file);
    py::object data = file.attr("read")();
    guard.close();
    return data;
}

// The regular files of a listing (two parallel lists, paths and names, as
// the toolkit's search returns them). A FIFO, socket or device is passed
// over with a debug line, a broken or looping link with a warning; a folder
// is dropped silently, or kept with `keep_folders` (it then fails as the
// file its name claims).
inline std::pair<py::list, py::list> regular_files(const Globals& g, py::handle paths,
                                                   py::handle names, bool keep_folders = false) {
    py::module_ os = py::module_::import("os");
    py::module_ stat = py::module_::import("stat");
    py::list kept_paths, kept_names;
    py::iterator name = py::iter(names);
    for (py::handle path : paths) {
        if (name == py::iterator::sentinel()) break;
        py::object shown = py::reinterpret_borrow<py::object>(*name);
        ++name;
        py::object info;
        if (auto err = catch_python(PyExc_OSError, [&] { info = os.attr("stat")(path); })) {
            std::string reason = reason_of(*err);
            if (truthy(os.attr("path").attr("islink")(path)))
                reason = "broken or looping link (" + reason + ")";
            log(g, "warning", "Skipping " + str(path) + ": " + reason);
            continue;
        }
        py::object mode = info.attr("st_mode");
        bool folder = truthy(stat.attr("S_ISDIR")(mode));
        if (!truthy(stat.attr("S_ISREG")(mode)) && !(folder && keep_folders)) {
            if (!folder) log(g, "debug", "Skipping " + str(path) + ": not a regular file");
            continue;
        }
        kept_paths.append(path);
        kept_names.append(shown);
    }
    return {kept_paths, kept_names};
}

// The first of `inputs` that writing `output` would replace, else None.
// Existing files are compared by identity (links, hard links, other
// spellings of the path), the rest by normalised absolute path.
inline py::object find_overwrite(py::handle output, py::handle inputs) {
    py::module_ os = py::module_::import("os");
    py::object os_path = os.attr("path");
    auto normal = [&](py::handle p) {
        return os_path.attr("normcase")(os_path.attr("abspath")(os.attr("fspath")(p)));
    };
    py::object out_abs = normal(output);
    bool out_exists = truthy(os_path.attr("exists")(output));
    for (py::handle item : inputs) {
        if (item.is_none()) continue;
        py::object path = os.attr("fspath")(item);
        if (out_exists && truthy(os_path.attr("exists")(path))) {
            bool same = false;
            auto err = catch_python(PyExc_OSError,
                                    [&] { same = truthy(os_path.attr("samefile")(output, path)); });
            if (same) return path;
            if (!err) continue;
        }
        if (normal(path).equal(out_abs)) return path;
    }
    return py::none();
}

}  // namespace dorvex
