// Reads the name and amount cells of each expense workbook and moves it into
// "results" under "<name>_<amount>_<datecode>.xlsx", keeping a backup copy.
#include <optional>

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

// The file-name limit where the folder does not say its own.
constexpr long NAME_MAX_BYTES = 255;

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
        CloseGuard open_book(book);
        py::object sheet = book.attr("active");
        for (py::handle cell : cell_locations) values.append(sheet[cell].attr("value"));
        open_book.close();
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
    long limit = NAME_MAX_BYTES;
    catch_ordinary([&] { limit = os.attr("pathconf")(folder, "PC_NAME_MAX").cast<long>(); });
    py::object encoded = os.attr("fsencode")(name);
    long room = limit - static_cast<long>(py::len(os.attr("fsencode")(rest)));
    if (static_cast<long>(py::len(encoded)) <= room || room <= 0) return name + rest;
    py::object cut = encoded[py::slice(0, room, 1)].attr("decode")(
        g["sys"].attr("getfilesystemencoding")(), "ignore");
    return cut.attr("rstrip")() + rest;
}

// One run: what the configuration asks for, and the folders it fills.
struct Run {
    py::object input_path;
    bool dry_run = false;
    py::object name_cell, amount_cell;
    py::object output_folder, backup_folder;
    int moved = 0, skipped = 0, failed = 0;
};

// The settings of `config` and the "results" and "backup" folders beside
// the workbooks; none, after saying why, when the folder is missing or the
// folders cannot be made.
std::optional<Run> prepare_run(const py::dict& config) {
    Run run;
    py::object cfg_main = setting(config, keys_of(SETTINGS), "config");
    py::object cfg_excel = setting(config, keys_of(SETTINGS), "excel_in");
    run.input_path = setting(cfg_main, keys_of(CONFIG_KEYS), "path");
    py::object dry_run = setting(cfg_main, keys_of(CONFIG_KEYS), "dry_run");
    run.dry_run = str(py::str(dry_run).attr("lower")()) == "true";
    run.name_cell = setting(cfg_excel, keys_of(EXCEL_IN_KEYS), "name_cell");
    run.amount_cell = setting(cfg_excel, keys_of(EXCEL_IN_KEYS), "amount_cell");

    // Without this, a mistyped folder would put "results" and "backup" beside it.
    if (!truthy(g["os"].attr("path").attr("isdir")(run.input_path))) {
        log(g, "error", text("Expense folder not found: {}", run.input_path));
        return std::nullopt;
    }
    py::object target_dir = toolkit::get_folder_from_path(g, run.input_path);
    auto no_folders = catch_ordinary([&] {
        run.output_folder = toolkit::generate_output_path(g, target_dir, "results");
        run.backup_folder = toolkit::generate_output_path(g, target_dir, "backup");
    });
    if (no_folders) {
        log(g, "error", text("Cannot create the results and backup folders: {}", *no_folders));
        return std::nullopt;
    }
    return run;
}

// Moves one workbook under its new name (or says it would), counting it as
// moved, skipped or failed.
void rename_one(Run& run, py::handle file_path) {
    py::object current = g["Path"](file_path).attr("name");
    // Excel's lock file of an open workbook: not an expense
    if (truthy(current.attr("startswith")("~$"))) return;
    auto [name, amount] =
        unpack_pair(g["get_excel_cell_value"](file_path, list_of(run.name_cell, run.amount_cell)));
    if (name.is_none() || amount.is_none()) {
        log(g, "error",
            text("---> Skipping {}: Cannot find Name or Amount in {} or {}", current, run.name_cell,
                 run.amount_cell));
        ++run.skipped;
        return;
    }
    py::str code = datecode();
    py::object safe_name = g["sanitize_filename"](name);
    py::object safe_amount = g["sanitize_filename"](amount);
    py::str new_name =
        fit_file_name(run.output_folder, safe_name, text("_{}_{}.xlsx", safe_amount, code));
    py::object os_path = g["os"].attr("path");
    py::object dest_path = os_path.attr("join")(run.output_folder, new_name);
    py::object backup_path = os_path.attr("join")(run.backup_folder, current);

    if (run.dry_run) {
        log(g, "info", text("[Dry-Run] Would move: {} -> {}", current, new_name));
        ++run.moved;
        return;
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
        ++run.failed;
        return;
    }
    ++run.moved;
    if (!used.equal(backup_path))
        log(g, "info",
            text("Earlier backup of {} kept; this one is {}", current,
                 os_path.attr("basename")(used)));
}

}  // namespace

bool rename_expenses(const py::dict& config) {
    if (!truthy(g["HAS_OPENPYXL"])) {
        log(g, "error",
            "Missing required package 'openpyxl'. Please run: pip install Dorvex[excel]");
        return false;
    }
    std::optional<Run> run = prepare_run(config);
    if (!run) return false;
    auto [listed, names] =
        toolkit::find_files_with_extensions(g, run->input_path, list_of(".xlsx"));
    py::list workbooks = regular_files(g, listed, names).first;

    log(g, "info", text("Starting expense processing in: {}", run->input_path));
    Progress progress(py::len(workbooks), "Processing workbooks");
    for (py::handle file_path : workbooks) {
        progress.advance();
        rename_one(*run, file_path);
    }
    if (run->dry_run)
        log(g, "info",
            text("[Dry-Run] Finished: {} would be moved, {} skipped", run->moved, run->skipped));
    else
        log(g, "info",
            text("Finished: {} moved, {} skipped, {} failed", run->moved, run->skipped,
                 run->failed));
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
