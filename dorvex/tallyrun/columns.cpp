// What the match reads from a column: dates in one format per column, and
// which quantities hold no number. The readers give cells as the file has
// them; reading them as dates and numbers is this module's own work.
#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "tallyrun.hpp"

namespace dorvex {

namespace {

// Patterns for Python's re. A time of day may follow any date.
const std::string TIME = R"((?:[T ]\d{1,2}:\d{2}(?::\d{2}(?:\.\d+)?)?)?)";
const std::string YEAR_FIRST = R"((\d{4})([-/.])(\d{1,2})\2(\d{1,2}))" + TIME;
const std::string DOTTED = R"((\d{1,2})\.(\d{1,2})\.(\d{4}|\d{2}))" + TIME;
const std::string SLASHED = R"((\d{1,2})([/-])(\d{1,2})\2(\d{4}|\d{2}))" + TIME;
constexpr const char* LETTER = R"([^\W\d_])";
constexpr const char* FULL_YEAR = R"((?<!\d)\d{4}(?!\d))";
constexpr const char* DAY = R"((?<!\d)\d{1,2}(?!\d))";
// a whole number written with a leading zero is an identifier ("00123")
constexpr const char* LEADING_ZERO = R"([+-]?0[0-9])";

py::object re_fullmatch(const std::string& pattern, py::handle text) {
    return py::module_::import("re").attr("fullmatch")(pattern, text);
}

long group_int(py::handle m, int n) { return py::int_(m.attr("group")(n)).cast<long>(); }

// A year as written: two digits are read as strptime's %y (69-99 the 1900s).
long year_of(py::handle m, int n) {
    long year = group_int(m, n);
    if (py::len(m.attr("group")(n)) == 2) year += year >= 69 ? 1900 : 2000;
    return year;
}

// The day as a Timestamp, or None when there is no such day (31.02.).
py::object day(long year, long month, long mday) {
    py::object stamp = py::none();
    catch_python(PyExc_ValueError, [&] {
        stamp = py::module_::import("pandas").attr("Timestamp")(year, month, mday);
    });
    return stamp;
}

bool is_blank(py::handle value) {
    if (value.is_none()) return true;
    if (py::isinstance<py::float_>(value)) return std::isnan(value.cast<double>());
    if (py::isinstance<py::str>(value)) return !truthy(value.attr("strip")());
    py::module_ pd = py::module_::import("pandas");
    return value.is(pd.attr("NaT")) || value.is(pd.attr("NA"));
}

// The date a text holds, read in the column's one format, or None.
py::object text_date(py::handle text, bool day_first) {
    py::object m = re_fullmatch(YEAR_FIRST, text);
    if (!m.is_none()) return day(group_int(m, 1), group_int(m, 3), group_int(m, 4));
    if (!(m = re_fullmatch(DOTTED, text)).is_none())
        return day(year_of(m, 3), group_int(m, 2), group_int(m, 1));
    if (!(m = re_fullmatch(SLASHED, text)).is_none()) {
        long first = group_int(m, 1), second = group_int(m, 3);
        return day_first ? day(year_of(m, 4), second, first) : day(year_of(m, 4), first, second);
    }
    // a month name with day and year: "5 March 2024", "Mar 5, 2024" (without
    // them, "Mon" or "March 2024" would take today's year or day)
    py::module_ re = py::module_::import("re");
    for (const char* part : {LETTER, FULL_YEAR, DAY})
        if (re.attr("search")(part, text).is_none()) return py::none();
    py::module_ pd = py::module_::import("pandas");
    py::object value = py::none();
    catch_ordinary([&] { value = pd.attr("to_datetime")(text, "format"_a = "mixed"); });
    if (value.is_none() || value.is(pd.attr("NaT"))) return py::none();
    return value.attr("normalize")();
}

// Slashed dates are month first, as in the US (12/09/2023), unless some date
// of the column can only be day first (25/12/2023) and none only month first.
bool slashed_day_first(const py::list& texts) {
    long most_first = 0, most_second = 0;
    for (py::handle text : texts) {
        py::object m = re_fullmatch(SLASHED, text);
        if (m.is_none()) continue;
        most_first = std::max(most_first, group_int(m, 1));
        most_second = std::max(most_second, group_int(m, 3));
    }
    return most_first > 12 && most_second <= 12;
}

// Whether a present value holds a finite number: numbers do, and text that
// is a decimal number, but not a whole number with a leading zero.
bool holds_number(py::handle value) {
    py::module_ numbers = py::module_::import("numbers");
    if (py::isinstance<py::bool_>(value)) return false;
    if (py::isinstance(value, numbers.attr("Integral"))) return true;
    if (py::isinstance(value, numbers.attr("Real")))
        return std::isfinite(py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>());
    py::module_ decimal = py::module_::import("decimal");
    if (py::isinstance(value, decimal.attr("Decimal"))) return truthy(value.attr("is_finite")());
    if (!py::isinstance<py::str>(value)) return false;
    py::object text = value.attr("strip")();
    if (!py::module_::import("re").attr("match")(LEADING_ZERO, text).is_none() &&
        !text.contains(py::str(".")))
        return false;
    bool finite = false;
    catch_python(decimal.attr("InvalidOperation").ptr(), [&] {
        py::object number = decimal.attr("Decimal")(text.attr("replace")("_", "x"));
        finite = truthy(number.attr("is_finite")());
    });
    return finite;
}

// (codes, distinct values) of a column: the work is done once per distinct value.
std::pair<py::object, py::list> factorize(py::handle column) {
    py::tuple result =
        py::module_::import("pandas").attr("factorize")(column, "use_na_sentinel"_a = true);
    return {result[0], py::list(result[1].attr("tolist")())};
}

// A Series of `column`'s index whose value i is `per_unique[codes[i]]`, with
// `missing` where a value is missing (code -1).
py::object spread(py::handle column, py::object codes, py::list per_unique, py::handle missing,
                  const char* dtype) {
    per_unique.append(missing);  // code -1 takes the last entry
    py::object table = py::module_::import("numpy").attr("array")(per_unique, "dtype"_a = dtype);
    return py::module_::import("pandas").attr("Series")(table[codes],
                                                        "index"_a = column.attr("index"));
}

}  // namespace

std::pair<py::object, py::object> read_dates(py::handle column) {
    auto [codes, uniques] = factorize(column);
    py::list texts;
    for (py::handle value : uniques)
        if (py::isinstance<py::str>(value)) texts.append(value.attr("strip")());
    bool day_first = slashed_day_first(texts);

    py::module_ pd = py::module_::import("pandas");
    py::object datetime = py::module_::import("datetime");
    py::object nat = py::module_::import("numpy").attr("datetime64")("NaT", "ns");
    py::list dates, bad;
    for (py::handle value : uniques) {
        py::object date = py::none();
        if (py::isinstance(value, datetime.attr("date"))) {  // datetime and Timestamp too
            if (!value.is(pd.attr("NaT"))) date = pd.attr("Timestamp")(value);
        } else if (py::isinstance<py::str>(value) && truthy(value.attr("strip")())) {
            date = text_date(value.attr("strip")(), day_first);
        }
        dates.append(date.is_none() ? nat
                                    : date.attr("tz_localize")(py::none()).attr("to_datetime64")());
        bad.append(date.is_none() && !is_blank(value));
    }
    return {spread(column, codes, dates, nat, "datetime64[ns]"),
            spread(column, codes, bad, py::bool_(false), "bool")};
}

py::object not_numbers(py::handle column) {
    auto [codes, uniques] = factorize(column);
    py::list flags;
    for (py::handle value : uniques) flags.append(!is_blank(value) && !holds_number(value));
    return spread(column, codes, flags, py::bool_(false), "bool");
}

}  // namespace dorvex
