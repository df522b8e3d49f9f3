// The table pipeline of a run: both tables loaded by cell reference, matched
// on PO and QTY, and written with their monthly summary to the result
// workbook.
#include <cstddef>
#include <optional>
#include <string>

#include "common/atomic.hpp"
#include "common/toolkit.hpp"
#include "tallyrun.hpp"

namespace dorvex {

namespace {

const auto& g = g_tallyrun;

// Lines shown by value in a warning about lines that cannot take part.
constexpr std::size_t SHOWN_LINES = 3;
// Empty columns between the matched table and its summary on "byPO".
constexpr long SUMMARY_GAP = 2;
// The matched table's columns, in their order; others are dropped.
constexpr const char* RESULT_COLUMNS[] = {"PO",  "SO",         "SO_POS",      "SO_SUFFIX",
                                          "QTY", "SYSTEM_RDD", "CUSTOMER_RDD"};

py::tuple pair(bool ok, const std::string& msg) { return py::make_tuple(ok, msg); }

bool has_column(py::handle df, const char* name) {
    return df.attr("columns").attr("__contains__")(name).cast<bool>();
}

bool none_or_empty(py::handle df) { return df.is_none() || truthy(df.attr("empty")); }

// {column: cell} of a table, the cells as the worker holds them.
template <std::size_t N>
py::dict mapping_of(py::handle self, const Field (&fields)[N]) {
    py::dict mapping;
    for (const Field& field : fields) mapping[field.column] = self.attr(field.attribute);
    return mapping;
}

// Writes a workbook through the toolkit's writer into a temporary file
// beside `path`, renamed into place only when the writer reports success:
// whatever the writer does, a failed or interrupted run keeps an earlier file.
bool write_workbook(py::handle path, py::handle sheets) {
    AtomicPath out(path);
    if (!toolkit::write_formatted_excel(g, out.temp(), sheets)) return false;
    if (auto failure = catch_ordinary([&] { out.commit(); })) {
        log(g, "error", "Failed to write " + str(path) + ": " + reason_of(*failure));
        return false;
    }
    return true;
}

void write_debug_workbook(py::handle self) {
    log(g, "debug", "Debug mode is ON. Saving intermediate System & Customer DataFrames...");
    py::object output_dir = self.attr("output_dir");
    py::object path = toolkit::get_output_file_path(g, output_dir, py::str(DEBUG_FILE));
    py::dict sheets;
    sheets["SYS_DATA"] = self.attr("system_df");
    sheets["CUS_DATA"] = self.attr("customer_df");
    write_workbook(path, sheets);
    log(g, "debug", "✅ Debug files saved to " + str(output_dir));
}

// One warning for the lines of `df` where `mask` holds, so that a line left
// out of the match is never silent: how many, and the first few values with
// their PO.
void warn_lines(py::handle df, const char* column, py::handle mask, const char* table,
                const char* what, const char* consequence) {
    py::object lines = df.attr("loc")[mask];
    std::size_t count = py::len(lines);
    if (count == 0) return;
    std::string shown;
    py::object values = lines[column].attr("tolist")();
    py::object pos =
        has_column(lines, "PO") ? lines["PO"].attr("tolist")() : py::object(py::list());
    for (std::size_t i = 0; i < count && i < SHOWN_LINES; ++i) {
        if (i) shown += ", ";
        shown += str(py::repr(values[py::int_(i)]));
        if (i < py::len(pos)) shown += " (PO " + str(pos[py::int_(i)]) + ")";
    }
    if (count > SHOWN_LINES) shown += ", ...";
    std::string lines_text = count == 1 ? "1 line" : std::to_string(count) + " lines";
    log(g, "warning",
        std::string(table) + " data: " + column + " is not " + what + " in " + lines_text +
            ", which " + consequence + ": " + shown);
}

// The RDD column of `df` as "%Y-%m-%d" text, one date format for the whole
// column; values that are no date become missing, with one warning.
void normalise_dates(py::handle df, const char* table) {
    auto [dates, unreadable] = read_dates(df["RDD"]);
    warn_lines(df, "RDD", unreadable, table, "a date", "count in no month");
    df.attr("__setitem__")("RDD", dates.attr("dt").attr("strftime")("%Y-%m-%d"));
}

// What a table holds that cannot take part in the match as written.
void check_quantities(py::handle df, const char* table) {
    if (!has_column(df, "QTY")) return;
    warn_lines(df, "QTY", not_numbers(df["QTY"]), table, "a number", "cannot match");
}

void load_system(py::handle self) {
    py::object system_path = self.attr("system_data_path");
    self.attr("system_df") =
        toolkit::read_csv_by_cells(g, system_path, mapping_of(self, SYSTEM_FIELDS));
    py::object system_df = self.attr("system_df");
    if (has_column(system_df, "RDD")) normalise_dates(system_df, "System");
    check_quantities(system_df, "System");
    log(g, "info",
        "Successfully loaded system CSV with " + std::to_string(py::len(system_df)) + " rows.");
}

// None when the customer file cannot be read, with the reason.
std::optional<std::string> load_customer(py::handle self) {
    py::object customer_path = self.attr("customer_data_path");
    if (auto problem = input_problem(customer_path, CUSTOMER_INPUT)) return problem;
    log(g, "info", "Loading customer data from: " + str(customer_path));
    self.attr("customer_df") =
        toolkit::read_excel_by_cells(g, customer_path, mapping_of(self, CUSTOMER_FIELDS));
    py::object customer_df = self.attr("customer_df");
    if (!truthy(customer_df.attr("empty")) && has_column(customer_df, "RDD"))
        normalise_dates(customer_df, "Customer");
    check_quantities(customer_df, "Customer");
    return std::nullopt;
}

// Matches the tables into result_df, renamed, trimmed and ordered; the same
// lines ordered by system date, or none when no line matched.
std::optional<py::object> match_tables(py::handle self) {
    log(g, "info", "Matching System and Customer data by PO and QTY...");
    self.attr("result_df") =
        toolkit::merge_exact_match(g, self.attr("system_df"), self.attr("customer_df"),
                                   list_of("PO", "QTY"), "inner", py::make_tuple("_SYS", "_CUST"));
    py::object result_df = self.attr("result_df");
    if (truthy(result_df.attr("empty"))) {
        log(g, "warning", "Merge resulted in an empty dataframe. No matching records found.");
        return std::nullopt;
    }
    py::dict renames;
    renames["RDD_SYS"] = "SYSTEM_RDD";
    renames["RDD_CUST"] = "CUSTOMER_RDD";
    result_df = result_df.attr("rename")("columns"_a = renames);
    py::list keep;
    for (const char* col : RESULT_COLUMNS)
        if (has_column(result_df, col)) keep.append(col);
    self.attr("result_df") = result_df = result_df[keep];
    self.attr("result_df") = result_df = sort_table(result_df, {"PO", "SO_POS", "QTY"});
    log(g, "info",
        "Matching complete. Found " + std::to_string(py::len(result_df)) + " matched records.");
    return sort_table(result_df, {"SYSTEM_RDD", "PO"});
}

py::dict placement(py::handle df, bool index, long startcol) {
    py::dict rec;
    rec["df"] = df;
    rec["index"] = index;
    rec["startcol"] = startcol;
    return rec;
}

// The result workbook: "byPO" with the summary and its chart beside the
// matched table, "byRDD_SYS" ordered by system date. False when it could
// not be written.
bool write_result(py::handle self, py::handle result_by_rdd) {
    py::object result_df = self.attr("result_df");
    py::object summary_df = monthly_summary(result_df);
    py::object result_path =
        toolkit::get_output_file_path(g, self.attr("output_dir"), py::str(RESULT_FILE));
    py::list bypo_config;
    bypo_config.append(placement(result_df, false, 0));
    if (!none_or_empty(summary_df)) {
        long beside = static_cast<long>(py::len(result_df.attr("columns"))) + SUMMARY_GAP;
        py::dict summary = placement(summary_df, true, beside);
        py::dict chart;
        chart["title"] = "QTY per month";
        chart["y_title"] = "QTY";
        summary["chart"] = chart;
        bypo_config.append(summary);
    }
    py::dict sheets_data;
    sheets_data["byPO"] = bypo_config;
    sheets_data["byRDD_SYS"] = result_by_rdd;
    if (!write_workbook(result_path, sheets_data)) return false;
    log(g, "info", "✅ Result Excel saved and formatted at: " + str(result_path));
    return true;
}

// "a .csv file", "a .xlsx or .xls file"
std::string kind_of(const Input& input) {
    std::string kind = std::string("a ") + input.extension;
    if (input.other_extension) kind += std::string(" or ") + input.other_extension;
    return kind + " file";
}

}  // namespace

std::optional<std::string> input_problem(py::handle path, const Input& input) {
    if (!truthy(path)) return std::string(input.key) + " is not set";
    std::string label = input.label, shown = printable(path);
    py::module_ stat = py::module_::import("stat");
    py::object info;
    auto failure = catch_ordinary([&] { info = g["os"].attr("stat")(path); });
    if (failure && py::isinstance(*failure, py::handle(PyExc_FileNotFoundError)))
        return label + " file not found at: " + shown;
    if (failure) return label + " file cannot be read: " + shown + " (" + reason_of(*failure) + ")";
    py::object mode = info.attr("st_mode");
    if (truthy(stat.attr("S_ISDIR")(mode)))
        return label + " path is a folder, not a file: " + shown;
    if (!truthy(stat.attr("S_ISREG")(mode))) return label + " file is not a regular file: " + shown;
    py::list allowed = list_of(input.extension);
    if (input.other_extension) allowed.append(input.other_extension);
    if (toolkit::check_file_exists(g, path, allowed)) return std::nullopt;
    py::object extension = g["os"].attr("path").attr("splitext")(path)[py::int_(1)];
    if (!allowed.contains(extension.attr("lower")()))
        return label + " file is not " + kind_of(input) + ": " + shown;
    return label + " file not found at: " + shown;
}

py::tuple run_pipeline(py::object self) {
    load_system(self);
    if (auto problem = load_customer(self)) return pair(false, *problem);
    // written before the emptiness check, so an empty read can be inspected
    if (debug_mode()) write_debug_workbook(self);

    if (none_or_empty(self.attr("system_df")) || none_or_empty(self.attr("customer_df"))) {
        log(g, "error", "System or Customer data is missing/empty. Cannot proceed with matching.");
        return pair(false, "Data extraction failed or data is empty.");
    }
    std::optional<py::object> result_by_rdd = match_tables(self);
    if (!result_by_rdd) return pair(true, "Process completed, but no matching records found.");
    if (!write_result(self, *result_by_rdd))
        return pair(false, "Failed to save result excel file.");
    return pair(true, "Processed System & Customer Data and generated Result successfully.");
}

}  // namespace dorvex
