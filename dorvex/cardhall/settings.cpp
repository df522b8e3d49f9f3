// The checks of a card configuration: values the page cannot be built from,
// values that YAML aliases would blow up, and keys no card file has.
#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cardhall.hpp"
#include "common/command.hpp"

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
        // a switch: "false", 0, a date or a set would each be read some way
        // the writer did not mean
        py::object show = setting(config, keys_of(SETTINGS), "show_download_link");
        if (!py::isinstance<py::bool_>(show))
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
    py::object base_url = setting(config, keys_of(SETTINGS), "base_url");
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
    py::object folder_path = setting(config, keys_of(SETTINGS), "folder_path");
    bool path_like = is_text(folder_path) ||
                     py::isinstance(folder_path, py::module_::import("os").attr("PathLike"));
    if (!path_like || py::str(folder_path).contains(py::str(std::string(1, '\0'))))
        return BadSetting{"folder_path", "a folder path", folder_path};
    return std::nullopt;
}

namespace {

// A key that names a card field: "document2_title", "document02_files" (a
// prefix match, as the page reads them).
constexpr const char* CARD_FIELD = R"(document\d+_(title|file|description|icon))";
constexpr const char* CARD_NUMBER = R"(document(\d+)_)";

// YAML aliases let a file of a few lines stand for values of any size, which
// the page would then spell out. Without aliases the values are no larger
// than the file (a number may grow a little as text), so four times its size
// is a bound no honest card file reaches.
constexpr std::size_t ALIAS_GROWTH = 4;
constexpr std::size_t ALIAS_SLACK = 1 << 20;

void refuse_alias_bomb(const Globals& g, py::handle config, py::handle loaded) {
    std::size_t size = g["os"].attr("path").attr("getsize")(config).cast<std::size_t>();
    std::size_t limit = ALIAS_GROWTH * size + ALIAS_SLACK;
    if (expanded_size(loaded, limit) <= limit) return;
    echo(g,
         "Error: " + printable(config) + ": YAML aliases expand the values to more than " +
             std::to_string(limit) + " characters",
         true);
    exit(g, 1);
}

// Unknown keys: neither a setting nor a card field. A misspelled card field
// ("document1_titel") is offered the fields of its own card.
void warn_unknown(const Globals& g, py::handle file, py::handle loaded) {
    py::module_ re = py::module_::import("re");
    py::dict others;
    std::vector<std::string> fields;
    for (auto [key, value] : py::reinterpret_borrow<py::dict>(loaded)) {
        if (!py::isinstance<py::str>(key) || !re.attr("match")(CARD_FIELD, key).is_none()) continue;
        others[key] = value;
        py::object numbered = re.attr("match")(CARD_NUMBER, key);
        if (numbered.is_none()) continue;
        for (const char* field : {"title", "file", "description", "icon"})
            fields.push_back(str(numbered.attr("group")(0)) + field);
    }
    warn_unknown_keys(g, file, "", others, keys_of(SETTINGS), fields);
}

}  // namespace

void check_settings(const Globals& g, py::handle file, py::handle conf) {
    refuse_alias_bomb(g, file, conf);
    warn_unknown(g, file, conf);
    if (auto bad = find_bad_setting(conf, true))
        config_error(g, file, bad->key, bad->what, bad->value);
}

}  // namespace dorvex
