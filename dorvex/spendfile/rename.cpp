// Reads the name and amount cells of each expense workbook and moves it into
// "results" under "<name>_<amount>_<datecode>.xlsx", keeping a backup copy.
#include "common/files.hpp"
#include "common/progress.hpp"
#include "common/toolkit.hpp"
#include "spendfile.hpp"

namespace dorvex {
namespace {

const auto& g = g_spendfile;

// The characters no file name may hold, plus control characters (a line break
// in a name cell must not end up in a file name).
constexpr const char* UNSAFE = R"([\\/*?:"<>|\x00-\x1f\x7f-\x9f])";

// Messages are built as Python text, so any cell content survives unchanged.
template <class... Args>
py::str text(const char* fmt, Args&&... args) {
    return py::str(fmt).format(std::forward<Args>(args)...);
}

py::list get_excel_cell_value(py::object file_path, py::object cell_locations) {
    py::list values;
    auto failure = catch_ordinary([&] {
        py::object book = g["load_workbook"](file_path, "data_only"_a = true, "read_only"_a = true);
        // Read-only mode holds the file open until close(), also after an error.
        try {
            py::object sheet = book.attr("active");
            for (py::handle cell : cell_locations) values.append(sheet[cell].attr("value"));
        } catch (...) {
            book.attr("close")();
            throw;
        }
        book.attr("close")();
    });
    if (!failure) return values;
    log(g, "error", text("Error reading excel {}: {}", file_path, *failure));
    py::list nothing;
    for (size_t i = 0, n = py::len(cell_locations); i < n; ++i) nothing.append(py::none());
    return nothing;
}

py::str sanitize_filename(py::object name) {
    if (name.is_none()) return py::str("Unknown");
    // A float as Excel shows it, to 15 significant digits: a cached formula
    // value 23.310000000000002 is 23.31, and 40.0 is 40.
    py::str text = py::isinstance<py::float_>(name) ? py::str(format(name, ".15g")) : py::str(name);
    py::object cleaned = g["re"].attr("sub")(UNSAFE, "", text);
    return cleaned.attr("strip")();
}

// Month, day, time and hundredths of a second: 0315_14253007.
py::str datecode() {
    py::object now = g["datetime"].attr("datetime").attr("now")();
    return text("{}{}", now.attr("strftime")("%m%d_%H%M%S"),
                now.attr("strftime")("%f")[py::slice(0, 2, 1)]);
}

// "<name><rest>", the name part cut (at a character) so that the whole
// fits the file-name limit of `folder`; amount and datecode in `rest` stay
// whole. When even `rest` alone is too long, the move fails as any other.
py::str fit_file_name(py::handle folder, py::object name, const py::str& rest) {
    py::object os = g["os"];
    long limit = 255;
    catch_ordinary([&] { limit = os.attr("pathconf")(folder, "PC_NAME_MAX").cast<long>(); });
    py::object encoded = os.attr("fsencode")(name);
    long room = limit - static_cast<long>(py::len(os.attr("fsencode")(rest)));
    if (static_cast<long>(py::len(encoded)) <= room || room <= 0) return name + rest;
    py::object cut = encoded[py::slice(0, room, 1)].attr("decode")(
        g["sys"].attr("getfilesystemencoding")(), "ignore");
    return cut.attr("rstrip")() + rest;
}

}  // namespace

bool rename_expenses(const py::dict& config) {
    if (!truthy(g["HAS_OPENPYXL"])) {
        log(g, "error",
            "Missing required package 'openpyxl'. Please run: pip install Dorvex[excel]");
        return false;
    }
    py::object cfg_main = config.attr("get")("config", py::dict());
    py::object cfg_excel = config.attr("get")("excel_in", py::dict());
    py::object input_path = cfg_main.attr("get")("path", "./data_spendfile");
    bool dry_run = str(py::str(cfg_main.attr("get")("dry_run", "False")).attr("lower")()) == "true";
    py::object name_cell = cfg_excel.attr("get")("name_cell", "D6");
    py::object amount_cell = cfg_excel.attr("get")("amount_cell", "P56");

    // Without this, a mistyped folder would put "results" and "backup" beside it.
    py::object os_path = g["os"].attr("path");
    if (!truthy(os_path.attr("isdir")(input_path))) {
        log(g, "error", text("Expense folder not found: {}", input_path));
        return false;
    }

    py::object target_dir = toolkit::get_folder_from_path(g, input_path);
    py::object output_folder, backup_folder;
    auto no_folders = catch_ordinary([&] {
        output_folder = toolkit::generate_output_path(g, target_dir, "results");
        backup_folder = toolkit::generate_output_path(g, target_dir, "backup");
    });
    if (no_folders) {
        log(g, "error", text("Cannot create the results and backup folders: {}", *no_folders));
        return false;
    }
    auto [listed, names] = toolkit::find_files_with_extensions(g, input_path, list_of(".xlsx"));
    py::list workbooks = regular_files(g, listed, names).first;

    log(g, "info", text("Starting expense processing in: {}", input_path));
    int moved = 0, skipped = 0, failed = 0;
    Progress progress(py::len(workbooks), "Processing workbooks");
    for (py::handle file_path : workbooks) {
        progress.advance();
        py::object current = g["Path"](file_path).attr("name");
        // Excel's lock file of an open workbook: not an expense
        if (truthy(current.attr("startswith")("~$"))) continue;
        auto [name, amount] =
            unpack_pair(g["get_excel_cell_value"](file_path, list_of(name_cell, amount_cell)));
        if (name.is_none() || amount.is_none()) {
            log(g, "error",
                text("---> Skipping {}: Cannot find Name or Amount in {} or {}", current, name_cell,
                     amount_cell));
            ++skipped;
            continue;
        }
        py::str code = datecode();
        py::object safe_name = g["sanitize_filename"](name);
        py::object safe_amount = g["sanitize_filename"](amount);
        py::str new_name =
            fit_file_name(output_folder, safe_name, text("_{}_{}.xlsx", safe_amount, code));
        py::object dest_path = os_path.attr("join")(output_folder, new_name);
        py::object backup_path = os_path.attr("join")(backup_folder, current);

        if (dry_run) {
            log(g, "info", text("[Dry-Run] Would move: {} -> {}", current, new_name));
            ++moved;
            continue;
        }
        py::object used;
        auto failure = catch_ordinary([&] {
            log(g, "info", text("Processing: {} -> {}", current, new_name));
            // Never replaces a file: an existing destination fails the move,
            // an existing backup is kept and the new one takes a free name.
            used = move_file_safe(file_path, dest_path, backup_path);
        });
        if (failure) {
            log(g, "error", text("Failed to move {}: {}", file_path, *failure));
            ++failed;
            continue;
        }
        ++moved;
        if (!used.equal(backup_path))
            log(g, "info",
                text("Earlier backup of {} kept; this one is {}", current,
                     os_path.attr("basename")(used)));
    }
    if (dry_run)
        log(g, "info", text("[Dry-Run] Finished: {} would be moved, {} skipped", moved, skipped));
    else
        log(g, "info", text("Finished: {} moved, {} skipped, {} failed", moved, skipped, failed));
    return true;
}

void init_rename(py::module_& m) {
    m.def("get_excel_cell_value", &get_excel_cell_value, py::arg("file_path"),
          py::arg("cell_locations"),
          "Values of the named cells of the active sheet; all None when the workbook "
          "cannot be read.");
    m.def("sanitize_filename", &sanitize_filename, py::arg("name"),
          "Text of `name` usable inside a file name; \"Unknown\" for None.");
    m.def(
        "process_expense_rename",
        [](py::object config_dict) {
            // Exactly a dict: the configuration as parsed from JSON, nothing else.
            if (!PyDict_CheckExact(config_dict.ptr()))
                throw py::type_error("config_dict must be a dict, not " +
                                     str(py::type::of(config_dict).attr("__name__")));
            rename_expenses(py::reinterpret_borrow<py::dict>(config_dict));
        },
        py::arg("config_dict"),
        "Move every expense workbook of the configured folder into \"results\" under its "
        "new name, with a backup in \"backup\" (or only report it in a dry run).");
}

}  // namespace dorvex
