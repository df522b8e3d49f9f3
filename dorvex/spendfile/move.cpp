// The move that destroys nothing: an existing destination fails the move, an
// existing backup is kept, and the workbook is on the disk in two places
// before it leaves its own.
#include <cerrno>
#include <string>

#include "common/atomic.hpp"
#include "spendfile.hpp"

namespace dorvex {

namespace {

py::module_ os() { return py::module_::import("os"); }

bool lexists(py::handle path) { return truthy(os().attr("path").attr("lexists")(path)); }

[[noreturn]] void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

// A link() failure that means "no hard link here" rather than "not allowed".
bool no_hard_link(const py::object& err) {
    py::object code = err.attr("errno");
    if (code.is_none()) return false;
    switch (code.cast<int>()) {
        case EXDEV:
        case EPERM:
        case EOPNOTSUPP:
#if ENOTSUP != EOPNOTSUPP
        case ENOTSUP:
#endif
        case EMLINK:
        case ENOSYS:
            return true;
        default:
            return false;
    }
}

// os.link(src, dest); false (nothing done) where the file system has no hard
// links. An existing `dest` is kept: FileExistsError naming it.
bool hard_link(py::handle src, py::handle dest) {
    try {
        os().attr("link")(src, dest);
        return true;
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_FileExistsError))
            raise(PyExc_FileExistsError, "Destination already exists: " + str(dest));
        if (!e.matches(PyExc_OSError) || !no_hard_link(e.value())) throw;
    }
    return false;
}

// Copies `src` to a new file `dest`, complete before it appears under its
// name (on the disk when `durable`); FileExistsError when `dest` exists,
// which is then left untouched.
void copy_new(py::handle src, py::handle dest, bool durable = false) {
    AtomicPath tmp(dest);  // removed on every path; the link or rename places the copy
    py::module_::import("shutil").attr("copy2")(src, tmp.temp());
    if (durable) {
        py::object fd = os().attr("open")(tmp.temp(), os().attr("O_RDONLY"));
        try {
            os().attr("fsync")(fd);
        } catch (py::error_already_set&) {
            py::error_scope keep;
            catch_ordinary([&] { os().attr("close")(fd); });
            throw;
        }
        os().attr("close")(fd);
    }
    if (hard_link(tmp.temp(), dest)) return;
    if (lexists(dest)) raise(PyExc_FileExistsError, "Destination already exists: " + str(dest));
    tmp.commit();
}

}  // namespace

py::object free_name(py::handle path) {
    if (!lexists(path)) return py::reinterpret_borrow<py::object>(path);
    py::tuple parts = os().attr("path").attr("splitext")(path);
    for (long n = 1;; ++n) {
        py::object candidate = py::str("{} ({}){}").format(parts[0], n, parts[1]);
        if (!lexists(candidate)) return candidate;
    }
}

py::object move_file_safe(py::handle src, py::handle dest, py::handle backup_wanted) {
    if (!truthy(os().attr("path").attr("isfile")(src)))
        raise(PyExc_FileNotFoundError, "No such file: " + str(src));
    if (lexists(dest)) raise(PyExc_FileExistsError, "Destination already exists: " + str(dest));
    py::object backup;
    do {  // a name taken meanwhile: the next free one
        backup = free_name(backup_wanted);
    } while (catch_python(PyExc_FileExistsError, [&] { copy_new(src, backup); }));

    bool placed = false;
    try {
        // link() refuses an existing name, so a file that appeared meanwhile is
        // kept; and the workbook's data stays where it is on the disk, so not
        // even a power cut can lose it (the backup needs no flush)
        if (!hard_link(src, dest)) copy_new(src, dest, true);  // a copy must be on the disk first
        placed = true;
        os().attr("remove")(src);
    } catch (py::error_already_set&) {
        // what this move wrote goes; a failure to remove it must not hide why
        auto discard = [&](py::handle path) { catch_ordinary([&] { os().attr("remove")(path); }); };
        if (placed) discard(dest);
        discard(backup);
        throw;
    }
    return backup;
}

}  // namespace dorvex
