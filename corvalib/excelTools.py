"""Cell-addressed tables: reading fields from a CSV file or a workbook by the
cell of their first value, an exact-match merge on normalised keys, and a
formatted workbook writer.

A field given as {"PO": "H2"} is read from column H downward, starting at row
2, until the last row of the sheet; rows at the end in which every field is
blank are dropped. CSV fields are read as text, exactly as written (leading
zeros, "4500012345.0"), except numbers written with the export's separators
("1.234,5" in a ";" file), which are given as plain number text; blank
cells become missing values.
"""

import csv
import datetime
import decimal
import math
import numbers
import operator
import os
import re
import tempfile

import numpy as np
import pandas as pd

from . import app_logging, dataIO

log = app_logging.lazy_logger("excelTools")

_CELL = re.compile(r"\s*([A-Za-z]{1,3})([1-9][0-9]{0,6})\s*")
_DELIMITERS = ",;\t|"
_ENCODINGS = ("utf-8-sig", "cp1252", "latin-1")
_LEADING_ZERO = re.compile(r"[+-]?0[0-9]")


def _parse_cell(ref):
    """"H2" -> (row 1, column 7), both 0-based. Raises ValueError for anything
    that is not an A1-style reference."""
    m = _CELL.fullmatch(ref) if isinstance(ref, str) else None
    if not m:
        raise ValueError(f"Invalid cell reference: {ref!r} (expected a reference such as 'H2')")
    col = 0
    for ch in m.group(1).upper():
        col = col * 26 + ord(ch) - ord("A") + 1
    return int(m.group(2)) - 1, col - 1


def _positions(mapping):
    if not mapping:
        raise ValueError("No columns to read: the cell mapping is empty")
    return {name: _parse_cell(ref) for name, ref in mapping.items()}


def _is_blank(value):
    if value is None:
        return True
    if isinstance(value, float):
        return math.isnan(value)
    if isinstance(value, str):
        return not value.strip()
    return value is pd.NaT or value is pd.NA


def _frame_from_columns(columns):
    """Builds the frame from {name: list of values read downward}; columns of
    unequal length are padded with missing values, and trailing rows in which
    every field is blank are dropped."""
    length = max((len(v) for v in columns.values()), default=0)
    while length and all(
        len(v) < length or _is_blank(v[length - 1]) for v in columns.values()
    ):
        length -= 1
    data = {}
    for name, values in columns.items():
        values = list(values[:length]) + [None] * (length - len(values))
        data[name] = pd.Series(values, dtype=object)
    return pd.DataFrame(data)


def _sniff_delimiter(sample):
    """The candidate that splits the most lines of the sample (then the one
    seen most often); a comma when none occurs."""
    lines = [line for line in sample.splitlines()[:100] if line.strip()]
    best, score = ",", (0, 0)
    for d in _DELIMITERS:
        candidate = (sum(d in line for line in lines), sum(line.count(d) for line in lines))
        if candidate > score:
            best, score = d, candidate
    return best


# Lines longer than this (in characters) that start a record are cut after
# the fields the mapping uses before the csv module splits them: a line of a
# million unused fields must not become a million strings.
_LONG_LINE = 65536
_SAMPLE_CHARS = 65536  # the start of the file that the delimiter is told from
_UNBALANCED = "a quoted field never ends (unbalanced quote)"


def _field_patterns(delimiter):
    """(one field with the delimiter after it, the fields that end a record)
    as the csv module reads them: a quoted field may hold delimiters, doubled
    quotes and line breaks, and text after its closing quote belongs to it; a
    quote inside an unquoted field is text. Atomic and possessive, so that a
    long line is matched in one pass."""
    d = re.escape(delimiter)
    field = rf'(?>"(?:[^"]|"")*+"[^{d}\r\n]*+|[^{d}"\r\n][^{d}\r\n]*+|)'
    return re.compile(field + d), re.compile(rf"(?:{field}{d})*+{field}(?:\r\n|\r|\n)?")


def _cut(line, width, one_field, fields_to_end):
    """`line`, the first line of a record, cut after its first `width` fields
    when the record ends on it; unchanged when it has fewer fields or a quoted
    field that goes on in the next line."""
    end = 0
    for _ in range(width):
        m = one_field.match(line, end)
        if not m:
            return line
        end = m.end()
    return line[:end] if fields_to_end.fullmatch(line, end) else line


def _records(f, delimiter, width):
    """The records of the open CSV text `f` as lists of fields; a record that
    starts on a long line may be cut after its first `width` fields. A file
    that ends inside a quoted field raises csv.Error naming the line where
    that record starts (the csv module would take the rest of the file as
    one field)."""
    one_field, fields_to_end = _field_patterns(delimiter)
    done = 0  # lines of the records returned so far
    record = []  # the lines of the record being read

    def lines():
        nonlocal record
        for number, line in enumerate(f):
            if number == done:
                if len(line) > _LONG_LINE:
                    line = _cut(line, width, one_field, fields_to_end)
                record = [line]
            else:
                record.append(line)
            yield line

    reader = csv.reader(lines(), delimiter=delimiter)
    try:
        for row in reader:
            done = reader.line_num
            yield row
    except csv.Error as e:  # a field beyond the csv module's size limit
        complete = fields_to_end.fullmatch("".join(record))
        raise csv.Error(f"line {done + 1}: {e if complete else _UNBALANCED}") from None
    if record and not fields_to_end.fullmatch("".join(record)):
        raise csv.Error(f"line {done - len(record) + 1}: {_UNBALANCED}")


def _mapped_fields(f, delimiter, columns):
    """{column: its fields, one per record of `f`} for `columns` (0-based,
    ascending), "" where a record is shorter. Only these are kept, so memory
    follows the used columns, not the widest line."""
    width = columns[-1] + 1
    pick = operator.itemgetter(*columns)
    if len(columns) == 1:
        pick = lambda record, col=columns[0]: (record[col],)  # noqa: E731
    # one flat list, record after record: no object per record outlives it
    flat = []
    for record in _records(f, delimiter, width):
        if len(record) >= width:
            flat.extend(pick(record))
        else:
            flat.extend(record[c] if c < len(record) else "" for c in columns)
    return {col: flat[i :: len(columns)] for i, col in enumerate(columns)}


# Number fields as exports write them. A ";" file is a locale export: ","
# is the decimal mark and "." groups thousands (1.234,5); any other file
# groups with "," (1,234.5).
_LOCALE_NUMBER = re.compile(r"\s*[+-]?(?:\d{1,3}(?:\.\d{3})+|\d+)(?:,\d+)?\s*")
_US_NUMBER = re.compile(r"\s*[+-]?\d{1,3}(?:,\d{3})+(?:\.\d+)?\s*")


def _number_text(value, decimal_comma):
    """Plain text of a number written with the export's separators ("50,000"
    in a ";" file is "50", "1,000" elsewhere is "1000"); any other value as
    written, so identifiers keep their leading zeros."""
    # without a separator it is plain already (the usual case, checked first)
    if value is None or "," not in value and (not decimal_comma or "." not in value):
        return value
    if decimal_comma:
        if not _LOCALE_NUMBER.fullmatch(value):
            return value
        text = value.replace(".", "").replace(",", ".")
    else:
        if not _US_NUMBER.fullmatch(value):
            return value
        text = value.replace(",", "")
    return _decimal_text(decimal.Decimal(text.strip()))


def read_csv_by_cells(path, mapping, sep=None):
    """A DataFrame with one text column per key of `mapping` (column name ->
    start cell), read from the CSV file at `path`. The delimiter is detected
    from the start of the file unless `sep` is given; the text is UTF-8 (with
    or without a byte-order mark), else Windows-1252. Lines may have any
    number of fields: only the mapped ones are kept, so a line of a million
    further fields costs no more memory than a short one; missing ones are
    missing values. A file that ends inside a quoted field raises csv.Error
    naming the line where that field starts.

    Numbers written with the export's separators are given as plain text with
    a "." decimal mark: in a ";"-separated file "," is the decimal mark and
    "." groups thousands ("1.234,5" is "1234.5"), in any other "," groups
    thousands ("1,234.5" is "1234.5"). Every other value stays as written."""
    positions = _positions(mapping)
    columns = sorted({col for _, col in positions.values()})
    last_error = None
    for encoding in _ENCODINGS:
        try:
            with open(path, encoding=encoding, newline="") as f:
                delimiter = sep or _sniff_delimiter(f.read(_SAMPLE_CHARS))
                f.seek(0)
                by_column = _mapped_fields(f, delimiter, columns)
            break
        except UnicodeDecodeError as e:
            last_error = e
    else:
        raise last_error
    decimal_comma = delimiter == ";"
    fields = {}
    for name, (row, col) in positions.items():
        # a blank field ("") is a missing value
        fields[name] = _each_distinct(
            by_column[col][row:], lambda v: _number_text(v or None, decimal_comma)
        )
    return _frame_from_columns(fields)


def _each_distinct(values, convert):
    """[convert(v) for v in values], calling convert once per distinct value
    (equal values then share one object)."""
    table = {v: convert(v) for v in set(values)}
    return list(map(table.__getitem__, values))


def _calamine_value(value):
    # whole numbers come back as floats; like pandas, give them as int
    if type(value) is float:
        return int(value) if value.is_integer() else value
    if type(value) is str:
        return value if value.strip() else None
    if type(value) is datetime.date:  # a date cell at midnight; openpyxl gives datetime
        return datetime.datetime(value.year, value.month, value.day)
    return value


def _calamine_columns(path, sheet_name, positions):
    """{name: values} of the mapped columns through python-calamine, the
    engine behind pandas' engine="calamine"; only the mapped cells are
    converted, so a wide sheet costs little more than a narrow one."""
    from python_calamine import CalamineWorkbook

    wb = CalamineWorkbook.from_path(os.fspath(path))
    try:
        if isinstance(sheet_name, int):
            sheet = wb.get_sheet_by_index(sheet_name)
        else:
            sheet = wb.get_sheet_by_name(sheet_name)
        # as pandas does: rows from A1, so that row numbers stay absolute
        rows = sheet.to_python(skip_empty_area=False)
    finally:
        wb.close()
    return {
        name: [_calamine_value(r[col]) if col < len(r) else None for r in rows[row:]]
        for name, (row, col) in positions.items()
    }


def _openpyxl_columns(path, sheet_name, positions):
    wanted = {col for _, col in positions.values()}
    # a callable, because a list naming a column beyond the used range fails
    table = pd.read_excel(
        path, sheet_name=sheet_name, header=None, usecols=lambda c: c in wanted,
        dtype=object, engine="openpyxl",
    )
    # pandas drops nothing at the top, so row numbers stay absolute; columns
    # beyond the sheet's used range are simply absent.
    columns = {}
    for name, (row, col) in positions.items():
        values = table[col].tolist()[row:] if col in table.columns else []
        columns[name] = [None if _is_blank(v) else v for v in values]
    return columns


def read_excel_by_cells(path, mapping, sheet_name=0):
    """A DataFrame with one column per key of `mapping` (column name -> start
    cell), read from the first sheet (or `sheet_name`) of the workbook at
    `path` with the calamine engine, or openpyxl when calamine is missing or
    cannot read the file. Values keep the type the cell holds: text stays
    text (leading zeros kept), numbers are numbers, dates are datetimes."""
    positions = _positions(mapping)
    columns = None
    try:
        columns = _calamine_columns(path, sheet_name, positions)
    except ImportError:
        pass
    except Exception as e:
        if os.path.splitext(os.fspath(path))[1].lower() == ".xls":
            raise
        log.debug(f"calamine could not read {path} ({e}); trying openpyxl")
    # outside the except clause: a file neither can read is one error, not
    # the second of two chained tracebacks
    if columns is None:
        columns = _openpyxl_columns(path, sheet_name, positions)
    return _frame_from_columns(columns)


# --- exact-match merge -------------------------------------------------------


def _as_decimal(value):
    """The finite number that `value` holds, or None when it holds none. Text
    counts when it is a decimal number; a whole number written with a leading
    zero ("00123") is an identifier, not a number."""
    if isinstance(value, bool):
        return None
    if isinstance(value, numbers.Integral):
        return decimal.Decimal(int(value))
    if isinstance(value, numbers.Real):
        value = float(value)
        return decimal.Decimal(repr(value)) if math.isfinite(value) else None
    if isinstance(value, decimal.Decimal):
        return value if value.is_finite() else None
    if isinstance(value, str):
        text = value.strip()
        if not text or _LEADING_ZERO.match(text) and "." not in text:
            return None
        try:
            d = decimal.Decimal(text.replace("_", "x"))
        except decimal.InvalidOperation:
            return None
        return d if d.is_finite() else None
    return None


def _decimal_text(d):
    if d == d.to_integral_value():
        return str(int(d))
    return format(d.normalize(), "f")


def _key_text(value):
    """Normalised text of one key value: numbers and numeric text in one
    canonical form (4500012345, "4500012345" and "4500012345.0" are equal),
    other text stripped of surrounding blanks. None for a blank value."""
    if _is_blank(value):
        return None
    d = _as_decimal(value)
    if d is not None:
        return _decimal_text(d)
    if isinstance(value, (datetime.datetime, datetime.date, pd.Timestamp)):
        return value.isoformat()
    return str(value).strip()


_PLAIN_INT = re.compile(r"[1-9][0-9]{0,17}|0")


def _key_and_kind(value):
    """(normalised text, is a number) of one distinct key value."""
    kind = type(value)
    if kind is str and _PLAIN_INT.fullmatch(value):  # the common case, fast
        return value, True
    if kind is int:
        return str(value), True
    text = _key_text(value)
    return text, text is None or _as_decimal(value) is not None


def _key_column(series):
    """Normalised key texts of a column (None where blank) and whether every
    value is a number, computed once per distinct value."""
    codes, uniques = pd.factorize(series, use_na_sentinel=True)
    pairs = [_key_and_kind(u) for u in uniques.tolist()]
    numeric = all(is_number for _, is_number in pairs)
    table = np.array([t for t, _ in pairs] + [None], dtype=object)  # code -1 -> None
    return pd.Series(table[codes], index=series.index, dtype=object), numeric


def merge_exact_match(df_left, df_right, num_keys, how="inner", suffixes=("_x", "_y")):
    """Joins the two frames on equal values in every column of `num_keys`.

    Keys are compared after normalising: a number and its text are equal
    (4500012345, "4500012345", "4500012345.0"; 10 and "10.00"), blanks around
    text are ignored, and text with leading zeros stays an identifier ("00123"
    differs from 123). A blank key matches nothing. A key whose values are
    numbers on both sides comes out as numbers; any other key as its
    normalised text. Columns other than the keys that both frames have get
    `suffixes`. `how` is "inner", "left", "right" or "outer"."""
    keys = list(num_keys)
    if how not in ("inner", "left", "right", "outer"):
        raise ValueError(f"Unsupported merge type: {how!r}")
    for side, df in (("left", df_left), ("right", df_right)):
        missing = [k for k in keys if k not in df.columns]
        if missing:
            raise KeyError(f"Key column(s) missing in the {side} table: {', '.join(missing)}")
    left, right = df_left.copy(), df_right.copy()
    as_number = {}
    for k in keys:
        left[k], left_numeric = _key_column(left[k])
        right[k], right_numeric = _key_column(right[k])
        as_number[k] = left_numeric and right_numeric
    # pandas would match a blank key with a blank key: blank keys get a marker
    # of their own for the join (unique per row and side) and are blank again after.
    blank = {}
    for side, df in (("L", left), ("R", right)):
        for k in keys:
            missing = df[k].isna()
            if missing.any():
                df.loc[missing, k] = [f"\0{side}{i}" for i in range(int(missing.sum()))]
                blank.setdefault(k, set()).update(df.loc[missing, k])
    result = left.merge(right, on=keys, how=how, suffixes=suffixes)
    for k in keys:
        if k in blank:
            result.loc[result[k].isin(blank[k]), k] = None
        if as_number[k]:
            result[k] = pd.to_numeric(result[k])
    return result


# --- formatted writer ---------------------------------------------------------

_MIN_WIDTH, _MAX_WIDTH = 6, 60
_EXACT_INT = 2**53  # larger integers lose digits as Excel numbers


def _placements(value):
    if isinstance(value, pd.DataFrame):
        return [{"df": value, "index": False, "startcol": 0}]
    if isinstance(value, dict):
        value = [value]
    records = []
    for rec in value:
        df = rec["df"]
        if not isinstance(df, pd.DataFrame):
            raise TypeError(f"placement 'df' must be a DataFrame, not {type(df).__name__}")
        records.append(
            {"df": df, "index": bool(rec.get("index", False)),
             "startcol": int(rec.get("startcol", 0)), "chart": rec.get("chart")}
        )
    return records


def _cell_text(value):
    return value if isinstance(value, str) else str(value)


def _columns_of(rec):
    """[(header, column as a Series, is the index)] of a placement."""
    df = rec["df"]
    cols = []
    if rec["index"]:
        name = df.index.name
        cols.append(("" if name is None else _cell_text(name), df.index.to_series(), True))
    for i in range(df.shape[1]):
        cols.append((_cell_text(df.columns[i]), df.iloc[:, i], False))
    return cols


def _width(header, column):
    longest = len(header)
    present = column.dropna()
    if len(present):
        longest = max(longest, int(present.astype(str).str.len().max()))
    return min(max(longest + 2, _MIN_WIDTH), _MAX_WIDTH)


def _write_value(ws, row, col, value, fmt, date_fmt):
    if value is None:
        return
    if isinstance(value, str):
        # strings are written as strings: "=..." from an export never becomes a formula
        ws.write_string(row, col, value, fmt)
    elif isinstance(value, bool):
        ws.write_boolean(row, col, value, fmt)
    elif isinstance(value, numbers.Integral):
        if abs(value) > _EXACT_INT:
            ws.write_string(row, col, str(value), fmt)
        else:
            ws.write_number(row, col, value, fmt)
    elif isinstance(value, numbers.Real):
        if math.isfinite(value):
            ws.write_number(row, col, value, fmt)
        elif not math.isnan(value):
            ws.write_string(row, col, str(value), fmt)
    elif value is pd.NaT or value is pd.NA:
        return
    elif isinstance(value, (datetime.datetime, datetime.date)):
        if isinstance(value, datetime.datetime) and value.tzinfo is not None:
            value = value.replace(tzinfo=None)
        ws.write_datetime(row, col, value, fmt or date_fmt)
    else:
        ws.write_string(row, col, _cell_text(value), fmt)


def _column_writer(ws, values, date_fmt):
    """The cheapest correct writer for a column: text and whole-number columns
    (the bulk of a result) skip the per-cell type dispatch, and XlsxWriter's
    A1-notation wrapper around its writers (a tenth of the writing time; our
    cells are always numeric row and column)."""
    kinds = {type(v) for v in values}
    kinds.discard(type(None))
    if kinds == {str}:
        return getattr(ws, "_write_string", ws.write_string)
    if kinds == {int} and all(abs(v) <= _EXACT_INT for v in values if v is not None):
        return getattr(ws, "_write_number", ws.write_number)
    return lambda row, col, value, fmt: _write_value(ws, row, col, value, fmt, date_fmt)


def _write_sheet(wb, name, records, bold, date_fmt):
    ws = wb.add_worksheet(name)
    cells = []  # (column, header, values, writer, format)
    for rec in records:
        for offset, (header, column, is_index) in enumerate(_columns_of(rec)):
            col = rec["startcol"] + offset
            ws.set_column(col, col, _width(header, column))
            values = column.tolist()
            cells.append((col, header, values, _column_writer(ws, values, date_fmt),
                          bold if is_index else None))
    used = [c[0] for c in cells]
    if len(used) != len(set(used)):
        raise ValueError(f"Tables placed on sheet {name!r} overlap")
    # constant_memory needs the rows in order, so the tables are written row
    # by row across all placements.
    cells.sort(key=lambda c: c[0])
    for col, header, *_ in cells:
        if header:
            ws.write_string(0, col, header, bold)
    height = max((len(c[2]) for c in cells), default=0)
    plan = [(col, values, len(values), write, fmt) for col, _, values, write, fmt in cells]
    for r in range(height):
        row = r + 1
        for col, values, n, write, fmt in plan:
            if r < n:
                value = values[r]
                if value is not None:
                    write(row, col, value, fmt)
    ws.freeze_panes(1, 0)
    for rec in records:
        if rec.get("chart") and rec["df"].size:
            _insert_chart(wb, ws, name, rec)


def _insert_chart(wb, ws, sheet, rec):
    """A native chart of a placed table below it: one series per row (named
    by the index when it is written), the column headers as categories."""
    options = dict(rec["chart"]) if isinstance(rec["chart"], dict) else {}
    df, first = rec["df"], rec["startcol"] + (1 if rec["index"] else 0)
    last = first + df.shape[1] - 1
    chart = wb.add_chart({"type": options.get("type", "column")})
    # The cells' values go along: in constant_memory mode XlsxWriter cannot
    # read them back for the chart's cache, and without it the month labels
    # would be taken for numbers.
    labels = [_cell_text(c) for c in df.columns]
    for i in range(len(df)):
        row = df.iloc[i]
        series = {
            "categories": [sheet, 0, first, 0, last], "categories_data": labels,
            "values": [sheet, i + 1, first, i + 1, last],
            "values_data": [None if _is_blank(v) else v for v in row.tolist()],
        }
        if rec["index"]:
            series["name"] = [sheet, i + 1, rec["startcol"]]
            series["name_data"] = [_cell_text(df.index[i])]
        chart.add_series(series)
    if options.get("title"):
        chart.set_title({"name": options["title"]})
    if options.get("y_title"):
        chart.set_y_axis({"name": options["y_title"]})
    # wide enough that every category keeps a readable label
    width = min(max(480, 40 * df.shape[1] + 160), 1600)
    chart.set_size({"width": width, "height": 300})
    ws.insert_chart(len(df) + 2, rec["startcol"], chart)


def _abandon(wb):
    """Closes the row-data files of a workbook that will not be written;
    close() would assemble the whole file first."""
    for ws in wb.worksheets():
        fh = getattr(ws, "row_data_fh", None)
        if fh is not None:
            fh.close()


def write_formatted_excel(path, sheets):
    """Writes a workbook through XlsxWriter: one sheet per key of `sheets`, the
    value a DataFrame (written from column A without its index) or a list of
    placement records {"df": frame, "index": bool, "startcol": int} placed side
    by side from row 1. A record with "chart" (True, or options "type",
    "title", "y_title") also gets a native column chart of its rows below it. Headers and index labels are bold, the header row is
    frozen and column widths fit their contents. The file is written beside
    its target and renamed into place. Returns True on success; on failure
    logs the reason, leaves any earlier file untouched and returns False."""
    import xlsxwriter

    tmp = None
    try:
        if not sheets:
            raise ValueError("No sheets to write")
        plan = [(str(name), _placements(value)) for name, value in sheets.items()]
        tmp = dataIO.temp_path_beside(path)
        # XlsxWriter's own temporaries (row data, zip parts) in a folder that
        # goes away on any exit, an interrupt included
        with tempfile.TemporaryDirectory(prefix="dorvex-xlsx-") as scratch:
            wb = xlsxwriter.Workbook(tmp, {"constant_memory": True, "tmpdir": scratch})
            try:
                bold = wb.add_format({"bold": True})
                date_fmt = wb.add_format({"num_format": "yyyy-mm-dd"})
                for name, records in plan:
                    _write_sheet(wb, name, records, bold, date_fmt)
                wb.close()
            except BaseException:
                _abandon(wb)
                raise
        dataIO.commit(tmp, path)
        return True
    except Exception as e:
        if tmp:
            dataIO.discard(tmp)
        log.error(f"Failed to write {path}: {e}")
        return False
    except BaseException:
        if tmp:
            dataIO.discard(tmp)
        raise
