// Tallyrun: loads both tables by cell reference, matches them on PO and QTY
// and writes the result workbook.
#include <optional>
#include <string>

#include "common/atomic.hpp"
#include "common/toolkit.hpp"
#include "tallyrun.hpp"

namespace dorvex {

namespace {

// The worker; its attributes live in the instance dictionary and stay Python
// objects: paths and cell references go to the toolkit exactly as the
// configuration gave them (None included).
struct Tallyrun {};

py::object get(py::handle mapping, const char* key, py::object fallback) {
    return mapping.attr("get")(key, fallback);
}

void construct(py::object self, py::object config) {
    self.attr("system_data_path") = get(config, "system_data_path", py::str(""));
    self.attr("customer_data_path") = get(config, "customer_data_path", py::str(""));
    self.attr("output_dir") = get(config, "output_dir", py::str("out"));
    py::object sys = get(config, "system_data", py::dict());
    self.attr("sys_po_cell") = get(sys, "po_cell", py::str("H2"));
    self.attr("sys_so_cell") = get(sys, "so_cell", py::str("I2"));
    self.attr("sys_so_pos_cell") = get(sys, "so_pos_cell", py::str("J2"));
    self.attr("sys_so_suffix_cell") = get(sys, "so_suffix_cell", py::str("K2"));
    self.attr("sys_qty_cell") = get(sys, "qty_cell", py::str("L2"));
    self.attr("sys_rdd_cell") = get(sys, "rdd_cell", py::str("Q2"));
    py::object cus = get(config, "customer_data", py::dict());
    self.attr("po_cell") = get(cus, "po_cell", py::str("F3"));
    self.attr("qty_cell") = get(cus, "qty_cell", py::str("O3"));
    self.attr("rdd_cell") = get(cus, "rdd_cell", py::str("R3"));
    for (const char* table : {"system_df", "customer_df", "result_df"})
        self.attr(table) = py::none();
}

py::tuple pair(bool ok, const std::string& msg) { return py::make_tuple(ok, msg); }

bool has_column(py::handle df, const char* name) {
    return df.attr("columns").attr("__contains__")(name).cast<bool>();
}

bool none_or_empty(py::handle df) { return df.is_none() || truthy(df.attr("empty")); }

// log.exception needs the exception as the one being handled to print its
// traceback; outside an except block it would print "NoneType: None".
void log_exception(const Globals& g, const char* msg, py::handle exc) {
    PyObject* previous = PyErr_GetHandledException();
    PyErr_SetHandledException(exc.ptr());
    auto restore = [&] {
        PyErr_SetHandledException(previous);
        Py_XDECREF(previous);
    };
    try {
        log(g, "exception", msg);
    } catch (...) {
        restore();
        throw;
    }
    restore();
}

// Writes a workbook through the toolkit's writer into a temporary file
// beside `path`, renamed into place only when the writer reports success:
// whatever the writer does, a failed or interrupted run keeps an earlier file.
bool write_workbook(const Globals& g, py::handle path, py::handle sheets) {
    AtomicPath out(path);
    if (!toolkit::write_formatted_excel(g, out.temp(), sheets)) return false;
    if (auto failure = catch_ordinary([&] { out.commit(); })) {
        log(g, "error", "Failed to write " + str(path) + ": " + reason_of(*failure));
        return false;
    }
    return true;
}

void write_debug_workbook(const Globals& g, py::handle self) {
    log(g, "debug", "Debug mode is ON. Saving intermediate System & Customer DataFrames...");
    py::object output_dir = self.attr("output_dir");
    py::object path = toolkit::get_output_file_path(g, output_dir, py::str("debug_data.xlsx"));
    py::dict sheets;
    sheets["SYS_DATA"] = self.attr("system_df");
    sheets["CUS_DATA"] = self.attr("customer_df");
    write_workbook(g, path, sheets);
    log(g, "debug", "✅ Debug files saved to " + str(output_dir));
}

py::dict placement(py::handle df, bool index, py::object startcol) {
    py::dict rec;
    rec["df"] = df;
    rec["index"] = index;
    rec["startcol"] = startcol;
    return rec;
}

// One warning for the lines of `df` where `mask` holds, so that a line left
// out of the match is never silent: how many, and the first few values with
// their PO.
void warn_lines(const Globals& g, py::handle df, const char* column, py::handle mask,
                const char* table, const char* what, const char* consequence) {
    py::object lines = df.attr("loc")[mask];
    size_t count = py::len(lines);
    if (count == 0) return;
    std::string shown;
    py::object values = lines[column].attr("tolist")();
    py::object pos =
        has_column(lines, "PO") ? lines["PO"].attr("tolist")() : py::object(py::list());
    for (size_t i = 0; i < count && i < 3; ++i) {
        if (i) shown += ", ";
        shown += str(py::repr(values[py::int_(i)]));
        if (i < py::len(pos)) shown += " (PO " + str(pos[py::int_(i)]) + ")";
    }
    if (count > 3) shown += ", ...";
    std::string lines_text = count == 1 ? "1 line" : std::to_string(count) + " lines";
    log(g, "warning",
        std::string(table) + " data: " + column + " is not " + what + " in " + lines_text +
            ", which " + consequence + ": " + shown);
}

// What a table holds that cannot take part in the match as written.
void check_table(const Globals& g, py::handle df, const char* table) {
    if (!has_column(df, "QTY")) return;
    py::object bad = not_numbers(df["QTY"]);
    warn_lines(g, df, "QTY", bad, table, "a number", "cannot match");
}

}  // namespace

void normalise_dates(py::handle df, const char* table) {
    const auto& g = g_tallyrun;
    auto [dates, unreadable] = read_dates(df["RDD"]);
    warn_lines(g, df, "RDD", unreadable, table, "a date", "count in no month");
    df.attr("__setitem__")("RDD", dates.attr("dt").attr("strftime")("%Y-%m-%d"));
}

py::tuple run_pipeline(py::object self) {
    const auto& g = g_tallyrun;
    // load both tables, dates as ISO text
    py::dict sys_mapping;
    sys_mapping["PO"] = self.attr("sys_po_cell");
    sys_mapping["SO"] = self.attr("sys_so_cell");
    sys_mapping["SO_POS"] = self.attr("sys_so_pos_cell");
    sys_mapping["SO_SUFFIX"] = self.attr("sys_so_suffix_cell");
    sys_mapping["QTY"] = self.attr("sys_qty_cell");
    sys_mapping["RDD"] = self.attr("sys_rdd_cell");
    py::object system_path = self.attr("system_data_path");
    self.attr("system_df") = toolkit::read_csv_by_cells(g, system_path, sys_mapping);
    py::object system_df = self.attr("system_df");
    if (has_column(system_df, "RDD")) normalise_dates(system_df, "System");
    check_table(g, system_df, "System");
    log(g, "info",
        "Successfully loaded system CSV with " + std::to_string(py::len(system_df)) + " rows.");

    py::object customer_path = self.attr("customer_data_path");
    if (!toolkit::check_file_exists(g, customer_path, list_of(".xlsx", ".xls")))
        return pair(false, "Customer data file not found at: " + str(customer_path));
    log(g, "info", "Loading customer data from: " + str(customer_path));
    py::dict cell_mapping;
    cell_mapping["PO"] = self.attr("po_cell");
    cell_mapping["QTY"] = self.attr("qty_cell");
    cell_mapping["RDD"] = self.attr("rdd_cell");
    self.attr("customer_df") = toolkit::read_excel_by_cells(g, customer_path, cell_mapping);
    py::object customer_df = self.attr("customer_df");
    if (!truthy(customer_df.attr("empty")) && has_column(customer_df, "RDD"))
        normalise_dates(customer_df, "Customer");
    check_table(g, customer_df, "Customer");

    // written before the emptiness check, so an empty read can be inspected
    if (str(g["os"].attr("environ").attr("get")("QRV", "")) == "1") write_debug_workbook(g, self);

    if (none_or_empty(system_df) || none_or_empty(customer_df)) {
        log(g, "error", "System or Customer data is missing/empty. Cannot proceed with matching.");
        return pair(false, "Data extraction failed or data is empty.");
    }

    // match, rename, order
    log(g, "info", "Matching System and Customer data by PO and QTY...");
    self.attr("result_df") = toolkit::merge_exact_match(
        g, system_df, customer_df, list_of("PO", "QTY"), "inner", py::make_tuple("_SYS", "_CUST"));
    py::object result_df = self.attr("result_df");
    if (truthy(result_df.attr("empty"))) {
        log(g, "warning", "Merge resulted in an empty dataframe. No matching records found.");
        return pair(true, "Process completed, but no matching records found.");
    }
    py::dict renames;
    renames["RDD_SYS"] = "SYSTEM_RDD";
    renames["RDD_CUST"] = "CUSTOMER_RDD";
    result_df = result_df.attr("rename")("columns"_a = renames);
    py::list keep;
    for (const char* col : {"PO", "SO", "SO_POS", "SO_SUFFIX", "QTY", "SYSTEM_RDD", "CUSTOMER_RDD"})
        if (has_column(result_df, col)) keep.append(col);
    self.attr("result_df") = result_df = result_df[keep];
    self.attr("result_df") = result_df = sort_table(result_df, {"PO", "SO_POS", "QTY"});
    py::object result_by_rdd = sort_table(result_df, {"SYSTEM_RDD", "PO"});
    log(g, "info",
        "Matching complete. Found " + std::to_string(py::len(result_df)) + " matched records.");

    py::object summary_df = monthly_summary(result_df);

    // the result workbook
    py::object result_path =
        toolkit::get_output_file_path(g, self.attr("output_dir"), py::str("result.xlsx"));
    py::list bypo_config;
    bypo_config.append(placement(result_df, false, py::int_(0)));
    if (!none_or_empty(summary_df)) {
        py::dict summary =
            placement(summary_df, true, py::int_(py::len(result_df.attr("columns")) + 2));
        py::dict chart;
        chart["title"] = "QTY per month";
        chart["y_title"] = "QTY";
        summary["chart"] = chart;
        bypo_config.append(summary);
    }
    py::dict sheets_data;
    sheets_data["byPO"] = bypo_config;
    sheets_data["byRDD_SYS"] = result_by_rdd;
    if (!write_workbook(g, result_path, sheets_data))
        return pair(false, "Failed to save result excel file.");
    log(g, "info", "✅ Result Excel saved and formatted at: " + str(result_path));
    return pair(true, "Processed System & Customer Data and generated Result successfully.");
}

void init_tallyrun(py::module_& m) {
    m.def(
        "_read_dates",
        [](py::object values) {
            auto [dates, unreadable] = read_dates(
                py::module_::import("pandas").attr("Series")(values, "dtype"_a = "object"));
            return py::make_tuple(dates, unreadable);
        },
        py::arg("values"), "(dates, unreadable) of date cells or texts, one format per column.");
    py::class_<Tallyrun> cls(m, "Tallyrun", py::dynamic_attr());
    def_dict_init(cls, &construct, py::arg("config"));

    cls.def("run", [](py::object self) -> py::tuple {
        const auto& g = g_tallyrun;
        py::object system_path = self.attr("system_data_path");
        log(g, "info", "Starting TallyRUN process on system data: " + str(system_path));
        if (!toolkit::check_file_exists(g, system_path, list_of(".csv")))
            return pair(false, "System data file not found at: " + str(system_path));
        log(g, "info", "Loading System data from: " + str(system_path));

        std::optional<py::tuple> outcome;
        auto failure = catch_ordinary([&] { outcome = run_pipeline(self); });
        if (!failure) return *outcome;
        log_exception(g, "Error during data processing", *failure);
        return py::make_tuple(false, py::str(*failure));
    });
}

}  // namespace dorvex
