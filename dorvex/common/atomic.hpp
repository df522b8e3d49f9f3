// Atomic output files: a temporary file beside the target, renamed into place
// only when the whole file was written, so a failed or interrupted run never
// leaves a truncated file where a good one stood.
#pragma once

#include <tuple>
#include <utility>

#include "files.hpp"
#include "pyutil.hpp"

namespace dorvex {

namespace detail {

// A new empty file beside `target` (same folder, so the rename is atomic),
// hidden, its name keeping the target's extension: some writers choose their
// format by it. Created with the mode a plain open() would give; its path and
// the descriptor it is open on for writing.
inline std::pair<py::object, py::object> create_beside(py::handle target) {
    py::module_ os = py::module_::import("os");
    py::object os_path = os.attr("path");
    py::tuple parts = os_path.attr("split")(target);
    py::tuple name = os_path.attr("splitext")(parts[1]);
    py::object flags =
        os.attr("O_WRONLY") | os.attr("O_CREAT") | os.attr("O_EXCL") | os.attr("O_CLOEXEC");
    while (true) {
        py::str temp_name =
            py::str(".~{}.{}{}").format(name[0], os.attr("urandom")(4).attr("hex")(), name[1]);
        py::object temp = os_path.attr("join")(parts[0], temp_name);
        py::object fd;
        if (catch_python(PyExc_FileExistsError, [&] { fd = os.attr("open")(temp, flags, 0666); }))
            continue;  // taken: draw another name
        return {temp, fd};
    }
}

}  // namespace detail

// Holds a temporary path for a writer that writes to a path itself (fpdf,
// pypdf, XlsxWriter, a toolkit function). commit() renames it over the
// target; without commit() (an exception, an early return) the temporary is
// removed and an earlier file at the target stays as it was.
class AtomicPath {
public:
    explicit AtomicPath(py::handle target)
        : target_(py::module_::import("os").attr("fspath")(target)) {
        std::tie(temp_, fd_) = detail::create_beside(target_);
    }

    AtomicPath(const AtomicPath&) = delete;
    AtomicPath& operator=(const AtomicPath&) = delete;

    ~AtomicPath() {
        py::error_scope keep;  // an error being raised must survive the clean-up
        try {
            close_fd();
            if (!committed_) discard();
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("discarding a temporary file");  // a destructor must not throw
        }
    }

    // The temporary's path, for a writer that opens it by name.
    const py::object& temp() {
        close_fd();
        return temp_;
    }

    // The temporary as a file open for writing bytes: the descriptor it was
    // made with, so it is not opened twice. Once only.
    py::object open_file() {
        py::object file = py::module_::import("builtins").attr("open")(fd_, "wb");
        fd_ = py::none();
        return file;
    }
    const py::object& target() const { return target_; }

    void commit() { commit(target_); }

    // Renames the temporary over `target` instead (a name settled later),
    // keeping the permissions of a file it replaces.
    void commit(py::handle target) {
        close_fd();
        py::module_ os = py::module_::import("os");
        py::object mode;
        if (!catch_python(PyExc_OSError, [&] { mode = os.attr("stat")(target).attr("st_mode"); })) {
            long bits = mode.cast<long>() & 07777;
            if ((os.attr("stat")(temp_).attr("st_mode").cast<long>() & 07777) != bits)
                os.attr("chmod")(temp_, bits);
        }
        os.attr("replace")(temp_, target);
        committed_ = true;
    }

private:
    void close_fd() {
        if (fd_.is_none()) return;
        py::object fd = fd_;
        fd_ = py::none();
        py::module_::import("os").attr("close")(fd);
    }

    void discard() {
        catch_python(PyExc_FileNotFoundError,
                     [&] { py::module_::import("os").attr("remove")(temp_); });
    }

    py::object target_;
    py::object temp_;
    py::object fd_ = py::none();  // open on the temporary until a writer takes it
    bool committed_ = false;
};

// Runs `write`, which writes `target` through a temporary beside it. An
// OSError it raises (the temporary not made, written or renamed) is raised
// again as OSError(errno, reason, target): a message names the file the user
// asked for, never the hidden temporary.
template <class F>
void naming_target(py::handle target, F&& write) {
    auto failure = catch_python(PyExc_OSError, std::forward<F>(write));
    if (!failure) return;
    py::object code = failure->attr("errno"), reason = failure->attr("strerror");
    if (code.is_none() || reason.is_none()) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(failure->ptr())), failure->ptr());
        throw py::error_already_set();
    }
    raise_os_error(code.cast<int>(), str(reason).c_str(), target);
}

// Writes bytes, atomically.
inline void write_bytes_atomic(py::handle target, py::handle data) {
    AtomicPath out(target);
    py::object file = out.open_file();
    CloseGuard guard(file);
    file.attr("write")(data);
    guard.close();
    out.commit();
}

// Writes text as UTF-8, atomically.
inline void write_text_atomic(py::handle target, py::handle text) {
    write_bytes_atomic(target, text.attr("encode")("utf-8"));
}

}  // namespace dorvex
