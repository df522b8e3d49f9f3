// Atomic output files: a temporary file beside the target, renamed into place
// only when the whole file was written. The work is done by corvalib.dataIO,
// so Python and C++ writers share one mechanism.
#pragma once

#include "pyutil.hpp"

namespace dorvex {

inline py::module_ data_io() { return py::module_::import("corvalib.dataIO"); }

// Holds a temporary path for a library that writes to a path itself (fpdf,
// pypdf, XlsxWriter). commit() renames it over the target; without commit()
// (an exception, an early return) the temporary is removed and an earlier
// file at the target stays as it was.
class AtomicPath {
public:
    explicit AtomicPath(py::handle target)
        : target_(py::module_::import("os").attr("fspath")(target)),
          temp_(data_io().attr("temp_path_beside")(target_)) {}

    AtomicPath(const AtomicPath&) = delete;
    AtomicPath& operator=(const AtomicPath&) = delete;

    ~AtomicPath() {
        if (committed_) return;
        py::error_scope keep;  // an error being raised must survive the clean-up
        try {
            data_io().attr("discard")(temp_);
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("discarding a temporary file");  // a destructor must not throw
        }
    }

    const py::object& temp() const { return temp_; }
    const py::object& target() const { return target_; }

    void commit() { commit(target_); }

    // Renames the temporary over `target` instead (a name settled later).
    void commit(py::handle target) {
        data_io().attr("commit")(temp_, target);
        committed_ = true;
    }

private:
    py::object target_;
    py::object temp_;
    bool committed_ = false;
};

// Writes text as UTF-8, atomically.
inline void write_text_atomic(py::handle target, py::handle text) {
    data_io().attr("write_text")(target, text);
}

}  // namespace dorvex
