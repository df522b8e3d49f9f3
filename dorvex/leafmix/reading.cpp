// Reading input PDFs: pypdf's warnings gathered per file for the module
// logger, and the mark by which leaf-mix knows its own earlier output.
#include "leafmix.hpp"

namespace dorvex {

namespace {

const auto& g = g_leafmix;

constexpr size_t SHOWN_WARNINGS = 3;  // distinct messages spelled out per file

}  // namespace

PypdfWarnings::PypdfWarnings() {
    py::module_ logging = py::module_::import("logging");
    logger_ = logging.attr("getLogger")("pypdf");
    handler_ = logging.attr("Handler")();
    // A filter that keeps the record and says no: the handler never emits.
    py::list messages = messages_;
    int warning = logging.attr("WARNING").cast<int>();
    handler_.attr("addFilter")(py::cpp_function([messages, warning](py::handle record) mutable {
        if (record.attr("levelno").cast<int>() >= warning) {
            py::object text = record.attr("getMessage")();
            if (!messages.contains(text)) messages.append(text);
        }
        return false;
    }));
    propagate_ = logger_.attr("propagate");
    logger_.attr("propagate") = false;
    logger_.attr("addHandler")(handler_);
}

PypdfWarnings::~PypdfWarnings() {
    py::error_scope keep;  // an error being raised must survive the clean-up
    try {
        logger_.attr("removeHandler")(handler_);
        logger_.attr("propagate") = propagate_;
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("restoring pypdf's logger");  // a destructor must not throw
    }
}

void PypdfWarnings::report(py::handle name) {
    size_t count = messages_.size();
    if (count == 0) return;
    std::string line = "pypdf warnings for " + str(name) + ": ";
    for (size_t i = 0; i < count && i < SHOWN_WARNINGS; ++i)
        line += (i ? "; " : "") + str(messages_[i]);
    if (count > SHOWN_WARNINGS) line += " (+" + std::to_string(count - SHOWN_WARNINGS) + " more)";
    log(g, "warning", line);
    messages_.attr("clear")();
}

bool written_by_leafmix(py::handle path) {
    PypdfWarnings quiet;  // a damaged file here is simply not ours
    bool ours = false;
    catch_ordinary([&] {
        py::object info = g["PdfReader"](path).attr("metadata");
        ours = !info.is_none() && info.attr("get")("/Producer").equal(py::str(PRODUCER));
    });
    return ours;
}

}  // namespace dorvex
