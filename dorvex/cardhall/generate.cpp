// CardhallGenerator.run: card keys to numbered cards, links resolved against
// the base address, the page filled in and written as index.html.
#include "generate.hpp"

#include "common/atomic.hpp"
#include "templates.hpp"

namespace dorvex {
namespace {

const auto& g = g_cardhall;

// A prefix match on purpose: document2_files still sets the file of card 2.
constexpr const char* CARD_KEY = R"(document(\d+)_(title|file|description|icon))";

// Card number -> {field: value}, in the mapping's order so that a later key
// for the same field wins. With `set_by`, also card number -> {field: key}.
py::dict collect_cards(py::handle config, py::dict* set_by = nullptr) {
    py::object match = g["re"].attr("compile")(CARD_KEY).attr("match");
    py::dict docs;
    for (py::handle item : config.attr("items")()) {
        auto pair = py::reinterpret_borrow<py::sequence>(item);
        py::object key = pair[0];
        py::object found = match(key);
        if (found.is_none()) continue;
        // int("01") == 1: leading zeros address the same card.
        py::int_ idx(found.attr("group")(1));
        py::object field = found.attr("group")(2);
        if (!docs.contains(idx)) docs[idx] = py::dict();
        docs[idx][field] = pair[1];
        if (set_by) {
            if (!set_by->contains(idx)) (*set_by)[idx] = py::dict();
            (*set_by)[idx][field] = key;
        }
    }
    return docs;
}

bool is_text(py::handle value) { return py::isinstance<py::str>(value); }

// Joined with the base address: a real file (not "#") that is not already an
// http(s) address. The scheme test is case-sensitive.
bool joins_base(py::handle base_url, py::handle file) {
    return truthy(base_url) && !file.equal(py::str("#")) &&
           !truthy(file.attr("startswith")(py::make_tuple("http://", "https://")));
}

py::object resolve_card_link(py::handle base_url, py::handle file) {
    if (!joins_base(base_url, file)) return py::reinterpret_borrow<py::object>(file);
    return base_url.attr("rstrip")("/") + py::str("/") + file.attr("lstrip")("/");
}

// The error of an atomic write names the temporary file; the user knows the
// page's own path.
std::string error_text(py::handle err, py::handle out_path) {
    if (py::isinstance(err, py::module_::import("builtins").attr("OSError")) &&
        !err.attr("strerror").is_none())
        return "[Errno " + str(err.attr("errno")) + "] " + str(err.attr("strerror")) + ": " +
               str(py::repr(out_path));
    return str(err);
}

py::object folder_of(py::handle config) {
    return config.attr("get")("folder_path", "./data_cardhall");
}

// The rendered cards in number order, as one text. Neither the per-card texts
// nor this text outlive the filling-in of the page: with wide characters (the
// icons) every copy of a large page costs four bytes a character.
py::object cards_of(py::handle config) {
    py::dict docs = collect_cards(config);
    py::object base_url = config.attr("get")("base_url", "");
    py::object card_template = g["CARD_TEMPLATE"].attr("format");
    py::list cards;
    for (py::handle idx : py::module_::import("builtins").attr("sorted")(docs)) {
        py::object doc = docs[idx];
        py::object get = doc.attr("get");
        py::object file = get("file", "#");
        cards.append(card_template(
            "file_url"_a = resolve_card_link(base_url, file), "file"_a = file,
            "icon"_a = get("icon", cardhall::DEFAULT_ICON),
            "title"_a = get("title", py::str("Document ") + py::str(idx)),
            "description"_a = get("description", "")));
    }
    return py::str("").attr("join")(cards);
}

py::tuple run(py::object self) {
    py::object config = self.attr("config");
    if (auto bad = find_bad_setting(config))
        throw py::type_error(bad->key + " must be " + bad->what + " (got " +
                             str(py::repr(bad->value)) + ")");

    py::object download_section = py::str("");
    if (truthy(config.attr("get")("show_download_link", true)))
        download_section = py::str(cardhall::DOWNLOAD_HEAD) +
                           py::str(config.attr("get")("download_link", "package.zip")) +
                           py::str(cardhall::DOWNLOAD_TAIL);

    py::object final_html = g["INDEX_TEMPLATE"].attr("format")(
        "document_title"_a = config.attr("get")("document_title", "Documentation"),
        "document_description"_a = config.attr("get")("document_description", ""),
        "cards_html"_a = cards_of(config), "download_section"_a = download_section);

    py::object os_path = g["os"].attr("path");
    py::object folder_path = folder_of(config);
    if (truthy(folder_path) && !truthy(os_path.attr("exists")(folder_path))) {
        auto failure = catch_ordinary(
            [&] { g["os"].attr("makedirs")(folder_path, "exist_ok"_a = true); });
        if (failure)
            return py::make_tuple(false, "Failed to generate index file: cannot create folder_path " +
                                             str(py::repr(folder_path)) + ": " + str(*failure));
    }
    py::object out_path = os_path.attr("join")(folder_path, "index.html");
    auto failure = catch_ordinary([&] { write_text_atomic(out_path, final_html); });
    if (failure)
        return py::make_tuple(false, "Failed to generate index file: " + error_text(*failure, out_path));
    return py::make_tuple(true, "Successfully generated HTML index at: " + str(out_path));
}

struct CardhallGenerator {
    py::object config;
};

}  // namespace

std::optional<BadSetting> find_bad_setting(py::handle config) {
    for (py::handle item : config.attr("items")()) {
        py::object key = py::reinterpret_borrow<py::sequence>(item)[0];
        if (!is_text(key)) return BadSetting{"keys", "text", key};
    }
    py::dict set_by;
    py::dict docs = collect_cards(config, &set_by);
    py::object base_url = config.attr("get")("base_url", "");
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
    py::object folder_path = folder_of(config);
    if (!is_text(folder_path) &&
        !py::isinstance(folder_path, py::module_::import("os").attr("PathLike")))
        return BadSetting{"folder_path", "a folder path", folder_path};
    return std::nullopt;
}

void init_generator(py::module_& m) {
    py::class_<CardhallGenerator>(m, "CardhallGenerator", py::dynamic_attr())
        .def(py::init([](py::object config_dict) { return CardhallGenerator{config_dict}; }),
             py::arg("config_dict"))
        .def_readwrite("config", &CardhallGenerator::config)
        .def("run", &run);
}

}  // namespace dorvex
