// The checks of a card configuration: values the page cannot be built from,
// and values that YAML aliases would blow up.
#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cardhall.hpp"

namespace dorvex {
namespace {

bool is_text(py::handle value) { return py::isinstance<py::str>(value); }

// What a shown value may be: text, or a number or a date shown as text. A
// boolean is YAML's reading of yes/no/on/off, which no title means.
bool is_shown_scalar(py::handle value) {
    if (is_text(value)) return true;
    if (py::isinstance<py::bool_>(value)) return false;
    if (py::isinstance<py::int_>(value) || py::isinstance<py::float_>(value)) return true;
    return py::isinstance(value, py::module_::import("datetime").attr("date"));
}

bool is_container(py::handle v) {
    PyObject* p = v.ptr();
    return PyList_Check(p) || PyTuple_Check(p) || PyDict_Check(p) || PyAnySet_Check(p);
}

std::size_t scalar_size(py::handle v) {
    if (PyUnicode_Check(v.ptr())) return static_cast<std::size_t>(PyUnicode_GET_LENGTH(v.ptr()));
    if (PyBytes_Check(v.ptr())) return static_cast<std::size_t>(PyBytes_GET_SIZE(v.ptr()));
    return 8;
}

py::list children_of(py::handle v) {
    if (!PyDict_Check(v.ptr())) return py::list(py::reinterpret_borrow<py::object>(v));
    py::list out;
    for (auto item : py::reinterpret_borrow<py::dict>(v)) {
        out.append(item.first);
        out.append(item.second);
    }
    return out;
}

// Text size of one value as str() shows it, about: two characters for the
// brackets of a container and for each separator. Each container is measured
// once (an alias shares it), without recursion, and the sums saturate just
// past `limit`.
class Sizer {
public:
    explicit Sizer(std::size_t limit) : cap_(limit + 1) {}

    std::size_t operator()(py::handle value) {
        if (!is_container(value)) return scalar_size(value);
        if (auto it = done_.find(value.ptr()); it != done_.end()) return it->second;
        std::vector<Frame> stack;
        push(stack, value);
        std::size_t last = 0;
        while (!stack.empty()) {
            Frame& top = stack.back();
            if (top.next < top.children.size()) {
                py::handle child = top.children[top.next++];
                if (!is_container(child)) {
                    top.sum = add(top.sum, scalar_size(child) + 2);
                } else if (auto it = done_.find(child.ptr()); it != done_.end()) {
                    top.sum = add(top.sum, it->second + 2);
                } else if (open_.count(child.ptr())) {
                    top.sum = add(top.sum, 7);  // a list that holds itself shows as [...]
                } else {
                    push(stack, child);
                }
                continue;
            }
            last = add(top.sum, 2);
            done_[top.obj] = last;
            open_.erase(top.obj);
            stack.pop_back();
            if (!stack.empty()) stack.back().sum = add(stack.back().sum, last + 2);
        }
        return last;
    }

    std::size_t add(std::size_t a, std::size_t b) const {
        return std::min(cap_, a + std::min(cap_, b));
    }

private:
    struct Frame {
        PyObject* obj;
        py::list children;
        std::size_t next = 0, sum = 0;
    };

    void push(std::vector<Frame>& stack, py::handle v) {
        open_.insert(v.ptr());
        stack.push_back(Frame{v.ptr(), children_of(v)});
    }

    std::size_t cap_;
    // the values stay alive in the configuration while they are measured
    std::unordered_map<PyObject*, std::size_t> done_;
    std::unordered_set<PyObject*> open_;
};

}  // namespace

std::size_t expanded_size(py::handle config, std::size_t limit) {
    Sizer size(limit);
    std::size_t total = 0;
    for (py::handle value : config.attr("values")()) {
        total = size.add(total, size(value));
        if (total > limit) break;
    }
    return total;
}

std::optional<BadSetting> find_bad_setting(py::handle config, bool strict) {
    py::dict set_by;
    py::dict docs = collect_cards(config, &set_by);
    return find_bad_setting(config, strict, docs, set_by);
}

std::optional<BadSetting> find_bad_setting(py::handle config, bool strict, const py::dict& docs,
                                           const py::dict& set_by) {
    for (py::handle item : config.attr("items")()) {
        py::object key = py::reinterpret_borrow<py::sequence>(item)[0];
        if (!is_text(key)) return BadSetting{"keys", "text", key};
    }
    py::object get = config.attr("get");
    if (strict) {
        for (const char* key : {"document_title", "document_description", "base_url"}) {
            if (!truthy(config.attr("__contains__")(key))) continue;
            py::object value = get(key);
            bool ok = std::string(key) == "base_url" ? is_text(value) : is_shown_scalar(value);
            if (!ok) return BadSetting{key, "text", value};
        }
        // a switch goes by truth value, but the text "false" would be on
        py::object show = get("show_download_link", true);
        if (py::isinstance<py::str>(show) || py::isinstance<py::list>(show) ||
            py::isinstance<py::dict>(show))
            return BadSetting{"show_download_link", "true or false", show};
        if (truthy(show) && truthy(config.attr("__contains__")("download_link")) &&
            !is_shown_scalar(get("download_link")))
            return BadSetting{"download_link", "text", get("download_link")};
        for (auto [idx, doc] : docs)
            for (auto [field, value] : py::reinterpret_borrow<py::dict>(doc))
                if (!is_shown_scalar(value))
                    return BadSetting{str(set_by[idx][field]), "text",
                                      py::reinterpret_borrow<py::object>(value)};
    }
    py::object base_url = get("base_url", "");
    if (truthy(base_url)) {
        bool base_used = false;
        for (auto [idx, doc] : docs) {
            py::object file = doc.attr("get")("file", "#");
            if (file.equal(py::str("#"))) continue;
            if (!is_text(file)) return BadSetting{str(set_by[idx]["file"]), "text", file};
            base_used = base_used || joins_base(base_url, file);
        }
        if (base_used && !is_text(base_url)) return BadSetting{"base_url", "text", base_url};
    }
    py::object folder_path = get("folder_path", "./data_cardhall");
    if (!is_text(folder_path) &&
        !py::isinstance(folder_path, py::module_::import("os").attr("PathLike")))
        return BadSetting{"folder_path", "a folder path", folder_path};
    return std::nullopt;
}

}  // namespace dorvex
