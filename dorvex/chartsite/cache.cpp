// The render cache: SVG files under $XDG_CACHE_HOME/dorvex/chartsite, named
// by a hash of the diagram text, the renderer (the resolved mmdc and its
// version) and the options it is given, so a changed renderer or option
// never meets an old drawing.
#include "chartsite.hpp"
#include "common/atomic.hpp"
#include "common/files.hpp"

namespace dorvex {

namespace {

// Changed whenever what a key covers changes.
constexpr const char* KEY_FORMAT = "dorvex-chartsite-1";
constexpr double SECONDS_PER_DAY = 24 * 60 * 60;
constexpr double UNUSED_SECONDS = 30 * SECONDS_PER_DAY;

py::object cache_home() {
    py::object os = g_chartsite["os"];
    py::object home = os.attr("environ").attr("get")("XDG_CACHE_HOME", "");
    // a relative XDG_CACHE_HOME is to be ignored, like an unset one
    if (truthy(os.attr("path").attr("isabs")(home))) return home;
    py::object user = os.attr("path").attr("expanduser")("~");
    if (!truthy(os.attr("path").attr("isabs")(user))) return py::none();
    return os.attr("path").attr("join")(user, ".cache");
}

// Entries unused for 30 days go (a hit refreshes an entry's time), and so do
// temporaries an interrupted write left behind.
void prune(py::handle folder) {
    py::object os = g_chartsite["os"];
    double cutoff = py::module_::import("time").attr("time")().cast<double>() - UNUSED_SECONDS;
    for (py::handle entry : os.attr("scandir")(folder)) {
        catch_python(PyExc_OSError, [&] {
            if (!truthy(entry.attr("is_file")("follow_symlinks"_a = false))) return;
            py::object info = entry.attr("stat")("follow_symlinks"_a = false);
            if (info.attr("st_mtime").cast<double>() < cutoff)
                os.attr("remove")(entry.attr("path"));
        });
    }
}

// An SVG fit for a page: UTF-8, one whole svg element, not Mermaid's error
// picture. A cut or foreign entry is then drawn afresh.
bool fit_svg(py::handle data) {
    py::object text;
    if (catch_python(PyExc_UnicodeDecodeError, [&] { text = data.attr("decode")("utf-8"); }))
        return false;
    py::object whole = py::module_::import("re").attr("fullmatch")(
        R"(\s*(<\?xml[^>]*\?>\s*)?<svg\b.*</svg>\s*)", text, py::module_::import("re").attr("S"));
    return !whole.is_none() && mermaid_error(text).is_none();
}

}  // namespace

RenderCache::RenderCache(double timeout) : timeout_(timeout) {}

bool RenderCache::open() {
    if (tried_) return !folder_.is_none();
    tried_ = true;
    folder_ = py::none();
    py::object os = g_chartsite["os"];
    if (str(os.attr("environ").attr("get")("DORVEX_NO_CACHE", "")) == "1") return false;
    py::object home = cache_home();
    py::object mmdc = g_chartsite["shutil"].attr("which")("mmdc");
    if (home.is_none() || mmdc.is_none()) return false;
    py::object version = renderer_version(timeout_);
    if (version.is_none()) {
        log(g_chartsite, "debug", "Render cache not used: mmdc --version told no version");
        return false;
    }
    renderer_ = list_of(os.attr("path").attr("realpath")(mmdc), version);
    py::object folder = os.attr("path").attr("join")(home, "dorvex", "chartsite");
    auto failed = catch_python(PyExc_OSError, [&] {
        os.attr("makedirs")(folder, "mode"_a = 0700, "exist_ok"_a = true);
        prune(folder);
    });
    if (failed) {
        log(g_chartsite, "debug", "Render cache not used: " + str(*failed));
        return false;
    }
    folder_ = folder;
    return true;
}

py::object RenderCache::key(py::handle text, py::handle options) {
    if (text.is_none() || !open()) return py::none();
    py::list head = list_of(KEY_FORMAT, renderer_[py::int_(0)], renderer_[py::int_(1)],
                            py::module_::import("builtins").attr("list")(options));
    py::object digest = py::module_::import("hashlib").attr("sha256")(
        py::module_::import("json").attr("dumps")(head).attr("encode")("utf-8"));
    digest.attr("update")(py::bytes("\n"));
    digest.attr("update")(text);
    return digest.attr("hexdigest")();
}

py::object RenderCache::entry(py::handle key) const {
    return g_chartsite["os"].attr("path").attr("join")(folder_, py::str(key) + py::str(".svg"));
}

py::object RenderCache::get(py::handle key) {
    if (key.is_none()) return py::none();
    py::object path = entry(key), data;
    if (catch_python(PyExc_OSError, [&] { data = read_file(path, "rb"); }) || !fit_svg(data))
        return py::none();
    // its time tells when it was last used
    catch_python(PyExc_OSError, [&] { g_chartsite["os"].attr("utime")(path); });
    return data;
}

void RenderCache::put(py::handle key, py::handle svg) {
    if (key.is_none() || !fit_svg(svg)) return;
    auto failed = catch_python(PyExc_OSError, [&] { write_bytes_atomic(entry(key), svg); });
    if (failed) log(g_chartsite, "debug", "Render cache not written: " + str(*failed));
}

}  // namespace dorvex
