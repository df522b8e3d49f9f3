// Ordering of the matched table and its monthly quantity summary.
#include "tallyrun.hpp"

namespace dorvex {

namespace {

// Sort key for one column: text that is all numbers sorts by value, so that
// positions "10", "20", "100" keep their order; anything else is unchanged.
py::object numeric_text_key(py::object column) {
    if (str(column.attr("dtype")) != "object") return column;
    py::object numbers = g_tallyrun["pd"].attr("to_numeric")(column, "errors"_a = "coerce");
    bool all_numbers =
        numbers.attr("notna")().attr("sum")().equal(column.attr("notna")().attr("sum")());
    return all_numbers ? numbers : column;
}

// Monthly periods of an ISO date-text column; missing dates give NaT.
py::object months(py::handle column) {
    return g_tallyrun["pd"]
        .attr("to_datetime")(column, "errors"_a = "coerce", "format"_a = "ISO8601")
        .attr("dt")
        .attr("to_period")("M");
}

}  // namespace

py::object sort_table(py::handle df, std::initializer_list<const char*> columns) {
    py::list by;
    for (const char* col : columns) by.append(col);
    return df.attr("sort_values")("by"_a = by, "key"_a = py::cpp_function(&numeric_text_key));
}

py::object monthly_summary(py::handle result_df) {
    const auto& g = g_tallyrun;
    py::object pd = g["pd"];
    py::object summary_df = py::none();
    auto failure = catch_ordinary([&] {
        py::object sys_month = months(result_df["SYSTEM_RDD"]);
        py::object cus_month = months(result_df["CUSTOMER_RDD"]);
        // QTY as numbers: a text quantity must add up, not concatenate
        py::object qty = pd.attr("to_numeric")(result_df["QTY"], "errors"_a = "coerce");
        py::object sys_sum = qty.attr("groupby")(sys_month).attr("sum")();
        py::object cus_sum = qty.attr("groupby")(cus_month).attr("sum")();
        py::dict rows;
        rows["SYS_RDD"] = sys_sum;
        rows["CUS_RDD"] = cus_sum;
        summary_df = pd.attr("DataFrame")(rows).attr("T");
        summary_df = summary_df.attr("sort_index")("axis"_a = 1);
        py::list labels;
        for (auto period : summary_df.attr("columns"))
            labels.append(period.attr("strftime")("%y-%b"));
        summary_df.attr("columns") = labels;
        summary_df = summary_df.attr("fillna")(0).attr("infer_objects")("copy"_a = false);
    });
    if (failure) log(g, "warning", "Failed to create summary table: " + str(*failure));
    return summary_df;
}

}  // namespace dorvex
