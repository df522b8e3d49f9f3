// CardhallGenerator.run: card keys to numbered cards, links resolved against
// the base address, the page filled in and written as index.html.
#include <optional>
#include <string>

#include "cardhall.hpp"
#include "common/atomic.hpp"
#include "common/command.hpp"
#include "common/files.hpp"
#include "templates.hpp"

namespace dorvex {
namespace {

const auto& g = g_cardhall;

// A prefix match on purpose: document2_files still sets the file of card 2.
constexpr const char* CARD_KEY = R"(document(\d+)_(title|file|description|icon))";

// Control characters other than tab and line ends: invisible at best, and a
// NUL cuts the page short in some readers. U+0080 to U+009F are controls too.
constexpr const char* CONTROL = R"([\x00-\x08\x0b\x0c\x0e-\x1f\x7f-\x9f])";

// Stands for the cards while the rest of the page is filled in; it holds a
// control character, which no value keeps.
constexpr const char* CARDS_MARK = "\001cards_html\001";

py::object resolve_card_link(py::handle base_url, py::handle file) {
    if (!joins_base(base_url, file)) return py::reinterpret_borrow<py::object>(file);
    return base_url.attr("rstrip")("/") + py::str("/") + file.attr("lstrip")("/");
}

py::object get(py::handle config, const char* key) {
    return setting(config, keys_of(SETTINGS), key);
}

// Writes the cards in number order, one at a time. A large page is never held
// whole: with the icons it is text of four bytes a character, several times
// the size of the file on the disk.
void write_cards(py::handle config, const py::dict& docs, py::handle write,
                 py::handle drop_controls) {
    py::object base_url = get(config, "base_url");
    py::object card_template = g["CARD_TEMPLATE"].attr("format");
    for (py::handle idx : py::module_::import("builtins").attr("sorted")(docs)) {
        py::object get = docs[idx].attr("get");
        py::object file = get("file", "#");
        py::object card =
            card_template("file_url"_a = resolve_card_link(base_url, file), "file"_a = file,
                          "icon"_a = get("icon", cardhall::DEFAULT_ICON),
                          "title"_a = get("title", py::str("Document ") + py::str(idx)),
                          "description"_a = get("description", ""));
        write(drop_controls("", card));
    }
}

// The page as written, through a temporary file beside `out_path`.
void write_page(py::handle config, const py::dict& docs, py::handle out_path,
                const py::list& pieces, py::handle drop_controls) {
    AtomicPath target(out_path);
    py::object f = py::module_::import("builtins")
                       .attr("open")(target.temp(), "w", "encoding"_a = "utf-8", "newline"_a = "");
    CloseGuard file(f);
    py::object write = f.attr("write");
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i) write_cards(config, docs, write, drop_controls);
        write(pieces[i]);
    }
    file.close();
    target.commit();
}

// The folder of the page, made when missing; false with the reason when it
// cannot be.
std::optional<std::string> make_folder(py::handle folder_path) {
    py::object os = g["os"];
    if (!truthy(folder_path) || truthy(os.attr("path").attr("exists")(folder_path))) return {};
    auto failure = catch_ordinary([&] { os.attr("makedirs")(folder_path, "exist_ok"_a = true); });
    if (!failure) return {};
    return "Failed to generate index file: cannot create folder_path " +
           str(py::repr(folder_path)) + ": " + str(*failure);
}

// Everything of the page but the cards, in the pieces the cards go between.
py::list page_pieces(py::handle config, py::handle drop_controls) {
    auto text = [&](py::handle value) { return drop_controls("", py::str(value)); };
    py::object download_section = py::str("");
    if (truthy(get(config, "show_download_link")))
        download_section = py::str(cardhall::DOWNLOAD_HEAD) + text(get(config, "download_link")) +
                           py::str(cardhall::DOWNLOAD_TAIL);
    py::object mark = py::str(CARDS_MARK);
    py::object filled = g["INDEX_TEMPLATE"].attr("format")(
        "document_title"_a = text(get(config, "document_title")),
        "document_description"_a = text(get(config, "document_description")), "cards_html"_a = mark,
        "download_section"_a = download_section);
    return filled.attr("split")(mark);
}

py::tuple run(py::object self, py::object config_file) {
    py::object config = self.attr("config");
    py::dict set_by;
    py::dict docs = collect_cards(config, &set_by);
    if (auto bad = find_bad_setting(config, false, docs, set_by))
        throw py::type_error(bad->key + " must be " + bad->what + " (got " +
                             str(py::repr(bad->value)) + ")");
    py::object out_path = page_path(config);
    // The page must not replace the card file it is built from.
    if (!output_is_free(g, config_file, "folder_path", out_path, py::tuple()))
        return py::make_tuple(false, "Failed to generate index file: it would replace its input");

    py::object drop_controls = g["re"].attr("compile")(CONTROL).attr("sub");
    py::list pieces = page_pieces(config, drop_controls);
    if (auto why = make_folder(get(config, "folder_path"))) return py::make_tuple(false, *why);
    auto failure =
        catch_ordinary([&] { write_page(config, docs, out_path, pieces, drop_controls); });
    if (failure)
        return py::make_tuple(false,
                              "Failed to generate index file: " + error_naming(*failure, out_path));
    return py::make_tuple(true, "Successfully generated HTML index at: " + str(out_path));
}

void construct(py::object self, py::object config_dict) { self.attr("config") = config_dict; }

}  // namespace

bool joins_base(py::handle base_url, py::handle file) {
    return truthy(base_url) && !file.equal(py::str("#")) &&
           !truthy(file.attr("startswith")(py::make_tuple("http://", "https://")));
}

py::dict collect_cards(py::handle config, py::dict* set_by) {
    py::object match = g["re"].attr("compile")(CARD_KEY).attr("match");
    py::dict docs;
    for (py::handle item : config.attr("items")()) {
        auto pair = py::reinterpret_borrow<py::sequence>(item);
        py::object key = pair[0];
        if (!py::isinstance<py::str>(key)) continue;  // find_bad_setting names it
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

py::object page_path(py::handle config) {
    return g["os"].attr("path").attr("join")(get(config, "folder_path"), "index.html");
}

void init_generator(py::module_& m) {
    py::class_<CardhallGenerator> cls(m, "CardhallGenerator", py::dynamic_attr());
    def_dict_init(cls, &construct, py::arg("config_dict"));
    cls.def("run", &run, py::arg("config_file") = py::none());
}

}  // namespace dorvex
