"""tally-run: command, worker and matching pipeline on real CSV and xlsx files."""

import csv
import datetime
import json
import logging
import os
import subprocess
import sys
import tempfile
import zipfile

import openpyxl
import pandas as pd
import pytest

import dorvex.tallyrun as tr

SUCCESS = "Success: Processed System & Customer Data and generated Result successfully.\n"
COLUMNS = ["PO", "SO", "SO_POS", "SO_SUFFIX", "QTY", "SYSTEM_RDD", "CUSTOMER_RDD"]


def write_system(path, lines):
    """lines: (PO, SO, SO_POS, SO_SUFFIX, QTY, RDD) into H, I, J, K, L, Q from row 2."""
    with open(path, "w", newline="", encoding="utf-8") as f:
        out = csv.writer(f)
        out.writerow([f"h{i}" for i in range(17)])
        for po, so, pos, suffix, qty, rdd in lines:
            out.writerow(["x"] * 7 + [po, so, pos, suffix, qty, "", "", "", "", rdd])
    return path


def write_customer(path, lines):
    """lines: (PO, QTY, RDD) into F, O, R from row 3."""
    wb = openpyxl.Workbook()
    ws = wb.active
    ws["A1"] = "Customer orders"
    ws["F2"], ws["O2"], ws["R2"] = "PO", "QTY", "RDD"
    for n, (po, qty, rdd) in enumerate(lines, start=3):
        ws[f"F{n}"], ws[f"O{n}"], ws[f"R{n}"] = po, qty, rdd
    wb.save(path)
    return path


def make_config(folder, system=True, customer=True, **extra):
    cfg = {"output_dir": str(folder / "out")}
    if system:
        cfg["system_data_path"] = str(folder / "system.csv")
    if customer:
        cfg["customer_data_path"] = str(folder / "customer.xlsx")
    cfg.update(extra)
    path = folder / "match.json"
    path.write_text(json.dumps({"config": cfg}))
    return path


SYSTEM_LINES = [
    ("4500000002", "S2", "100", "0", "5", "2024-01-02"),
    ("4500000002", "S2", "20", "0", "7", "2023-12-30"),
    ("4500000001", "S1", "10", "0", "10", "2023-12-30"),
    ("4500000009", "S9", "10", "0", "3", "2024-01-15"),  # QTY differs from the customer's
    ("4500000003", "S3", "10", "0", "4", "not a date"),
]
CUSTOMER_LINES = [
    (4500000001, 10, datetime.datetime(2024, 1, 2)),
    ("4500000002", 5, "2024-01-05"),
    (4500000002, 7.0, datetime.datetime(2023, 12, 28)),
    (4500000009, 4, datetime.datetime(2024, 1, 15)),
    (4500000003, 4, datetime.datetime(2024, 2, 1)),
]


@pytest.fixture
def data(tmp_path):
    write_system(tmp_path / "system.csv", SYSTEM_LINES)
    write_customer(tmp_path / "customer.xlsx", CUSTOMER_LINES)
    return tmp_path


def rows(ws):
    return [list(r) for r in ws.iter_rows(values_only=True)]


def test_module_level():
    assert tr.__file__.endswith(".so")
    assert tr.pd.get_option("future.no_silent_downcasting") is True
    assert tr.excelTools.__name__ == "corvalib.excelTools" and tr.dataIO.__name__ == "corvalib.dataIO"
    assert tr.log.name == "Tallyrun"
    assert tr.cmd_tallyrun.name == "tally-run"
    assert [p.opts for p in tr.cmd_tallyrun.params] == [["--config", "-c"], ["--generate-config"]]


def test_template_content(runner, in_tmp):
    assert runner.invoke(tr.cmd_tallyrun, ["--generate-config"]).exit_code == 0
    target = in_tmp / "config_tallyrun_template.json"
    tpl = json.loads(target.read_text())["config"]
    assert list(tpl) == ["system_data_path", "customer_data_path", "output_dir", "system_data", "customer_data"]
    assert list(tpl["system_data"].items()) == [
        ("po_cell", "H2"), ("so_cell", "I2"), ("so_pos_cell", "J2"),
        ("so_suffix_cell", "K2"), ("qty_cell", "L2"), ("rdd_cell", "Q2"),
    ]
    assert tpl["customer_data"] == {"po_cell": "F3", "qty_cell": "O3", "rdd_cell": "R3"}
    assert tpl["output_dir"] == "./data_tallyrun/out"


@pytest.mark.parametrize(
    "content, message",
    [
        ("{broken", "not valid JSON"),
        ('{"other": 1}', 'missing required key "config"'),
        ('{"config": []}', "config must be an object"),
        ('{"config": {"output_dir": 5}}', "config.output_dir must be a string (got 5)"),
        ('{"config": {"system_data": null}}', "config.system_data must be an object (got null)"),
        ('{"config": {"customer_data": {"qty_cell": "O"}}}', 'config.customer_data.qty_cell must be a cell reference'),
        ('{"config": {"system_data": {"po_cell": "2H"}}}', "config.system_data.po_cell must be"),
        ('{"config": {"system_data": {"po_cell": "H0"}}}', "config.system_data.po_cell must be"),
        ('{"config": {"system_data": {"po_cell": null}}}', "config.system_data.po_cell must be"),
        ('{"config": {"system_data": {"po_cell": "XFE1"}}}', "config.system_data.po_cell must be"),
        ('{"config": {"system_data": {"po_cell": "H1048577"}}}', "config.system_data.po_cell must be"),
        ('{"config": {"output_dir": "out\\u0000x"}}', "config.output_dir must be a path without NUL characters"),
    ],
)
def test_unusable_config_exits_1(runner, in_tmp, content, message):
    (in_tmp / "bad.json").write_text(content)
    result = runner.invoke(tr.cmd_tallyrun, ["-c", "bad.json"])
    assert result.exit_code == 1
    assert result.stdout == ""
    assert message in result.stderr
    assert "Traceback" not in result.stderr


def test_constructor_defaults_and_null():
    t = tr.Tallyrun({"system_data": {"po_cell": "A2"}, "output_dir": None})
    assert (t.system_data_path, t.customer_data_path, t.output_dir) == ("", "", None)
    assert [t.sys_po_cell, t.sys_so_cell, t.sys_so_pos_cell, t.sys_so_suffix_cell,
            t.sys_qty_cell, t.sys_rdd_cell] == ["A2", "I2", "J2", "K2", "L2", "Q2"]
    assert [t.po_cell, t.qty_cell, t.rdd_cell] == ["F3", "O3", "R3"]
    assert t.system_df is None and t.customer_df is None and t.result_df is None


@pytest.mark.parametrize(
    "setup, message",
    [
        (lambda d: make_config(d, system=False), "system_data_path is not set"),
        (lambda d: make_config(d, system_data_path=str(d / "missing.csv")), f"System data file not found at: {{d}}{os.sep}missing.csv"),
        (lambda d: make_config(d, system_data_path=str(d / "customer.xlsx")), f"System data file is not a .csv file: {{d}}{os.sep}customer.xlsx"),
        (lambda d: (os.mkfifo(d / "f.csv"), make_config(d, system_data_path=str(d / "f.csv")))[1], f"System data file is not a regular file: {{d}}{os.sep}f.csv"),
        (lambda d: ((d / "dir.csv").mkdir(), make_config(d, system_data_path=str(d / "dir.csv")))[1], f"System data path is a folder, not a file: {{d}}{os.sep}dir.csv"),
        (lambda d: make_config(d, customer_data_path=str(d / "c.ods")), f"Customer data file not found at: {{d}}{os.sep}c.ods"),
        (lambda d: make_config(d, customer_data_path=str(d / "system.csv")), f"Customer data file is not a .xlsx or .xls file: {{d}}{os.sep}system.csv"),
        (lambda d: (os.mkfifo(d / "f.xlsx"), make_config(d, customer_data_path=str(d / "f.xlsx")))[1], f"Customer data file is not a regular file: {{d}}{os.sep}f.xlsx"),
        (lambda d: (write_customer(d / "customer.xlsx", []), make_config(d))[1], "Data extraction failed or data is empty."),
        (lambda d: (write_system(d / "system.csv", []), make_config(d))[1], "Data extraction failed or data is empty."),
        (lambda d: ((d / "system.csv").write_bytes(b""), make_config(d))[1], "Data extraction failed or data is empty."),
        (lambda d: ((d / "out" / "result.xlsx").mkdir(parents=True), make_config(d))[1], "Failed to save result excel file."),
    ],
)
def test_failed_run_exits_1(runner, data, setup, message):
    config = setup(data)
    result = runner.invoke(tr.cmd_tallyrun, ["-c", str(config)])
    assert result.exit_code == 1
    assert result.stdout == "Failed: " + message.format(d=data) + "\n"
    assert not (data / "out" / "result.xlsx").is_file()


def test_exception_in_pipeline_is_a_failed_result(data, caplog):
    t = tr.Tallyrun(json.loads(make_config(data).read_text())["config"])
    t.sys_so_pos_cell = "J0"
    with caplog.at_level(logging.ERROR):
        ok, msg = t.run()
    assert (ok, msg) == (False, "Invalid cell reference: 'J0' (expected a reference such as 'H2')")
    record = caplog.records[-1]
    assert record.getMessage() == "Error during data processing"
    assert record.exc_info and record.exc_info[0] is ValueError


def test_no_match_succeeds_without_workbook(runner, tmp_path):
    write_system(tmp_path / "system.csv", [("1", "S", "10", "0", "2", "2024-01-01")])
    write_customer(tmp_path / "customer.xlsx", [(1, 3, "2024-01-01"), ("01", 2, "2024-01-01")])
    result = runner.invoke(tr.cmd_tallyrun, ["-c", str(make_config(tmp_path))])
    assert result.exit_code == 0
    assert result.stdout == "Success: Process completed, but no matching records found.\n"
    assert not (tmp_path / "out").exists() or os.listdir(tmp_path / "out") == []


def test_full_match(runner, data):
    (data / "out").mkdir()
    (data / "out" / "result.xlsx").write_bytes(b"old result")
    result = runner.invoke(tr.cmd_tallyrun, ["-c", str(make_config(data))])
    assert result.exit_code == 0
    assert result.stdout == SUCCESS
    assert os.listdir(data / "out") == ["result.xlsx"]

    wb = openpyxl.load_workbook(data / "out" / "result.xlsx")
    assert wb.sheetnames == ["byPO", "byRDD_SYS"]
    bypo = rows(wb["byPO"])
    assert bypo[0][:7] == COLUMNS
    # sorted by PO, then SO_POS by value ("20" before "100"), then QTY
    assert [r[:7] for r in bypo[1:]] == [
        [4500000001, "S1", "10", "0", 10, "2023-12-30", "2024-01-02"],
        [4500000002, "S2", "20", "0", 7, "2023-12-30", "2023-12-28"],
        [4500000002, "S2", "100", "0", 5, "2024-01-02", "2024-01-05"],
        [4500000003, "S3", "10", "0", 4, None, "2024-02-01"],
    ]
    # the summary starts at column 9 (J), two empty columns after the table
    assert bypo[0][7:] == [None, None, None, "23-Dec", "24-Jan", "24-Feb"]
    assert [r[9:] for r in bypo[1:3]] == [["SYS_RDD", 17, 5, 0], ["CUS_RDD", 7, 15, 4]]
    ws = wb["byPO"]
    assert ws.freeze_panes == "A2" and ws["A1"].font.b and ws["J2"].font.b and ws["K1"].font.b
    # a column chart of the summary, below it
    (chart,) = ws._charts
    assert (chart.tagname, chart.barDir) == ("barChart", "col")
    assert [(s.tx.strRef.f, s.cat.strRef.f, s.val.numRef.f) for s in chart.series] == [
        ("byPO!$J$2", "byPO!$K$1:$M$1", "byPO!$K$2:$M$2"),
        ("byPO!$J$3", "byPO!$K$1:$M$1", "byPO!$K$3:$M$3"),
    ]
    assert (chart.anchor._from.row, chart.anchor._from.col) == (4, 9)

    by_rdd = rows(wb["byRDD_SYS"])
    assert by_rdd[0] == COLUMNS
    assert [(r[5], r[0]) for r in by_rdd[1:]] == [
        ("2023-12-30", 4500000001), ("2023-12-30", 4500000002),
        ("2024-01-02", 4500000002), (None, 4500000003),
    ]


def test_text_and_number_po_and_leading_zeros(runner, tmp_path):
    write_system(tmp_path / "system.csv", [
        ("4500012345.0", "S1", "10", "0", "10", "2024-03-01"),
        ("00777", "S2", "10", "0", "1", "2024-03-01"),
        ("A-1", "S3", "10", "0", "2.50", "2024-03-01"),
    ])
    write_customer(tmp_path / "customer.xlsx", [
        (4500012345, 10, "2024-03-02"), ("00777", 1, "2024-03-02"), (777, 1, "2024-03-02"),
        ("A-1 ", 2.5, "2024-03-02"),
    ])
    result = runner.invoke(tr.cmd_tallyrun, ["-c", str(make_config(tmp_path))])
    assert result.exit_code == 0
    table = rows(openpyxl.load_workbook(tmp_path / "out" / "result.xlsx")["byRDD_SYS"])
    assert sorted((r[0], r[4]) for r in table[1:]) == [("00777", 1), ("4500012345", 10), ("A-1", 2.5)]


def test_no_dates_places_no_summary(runner, tmp_path):
    write_system(tmp_path / "system.csv", [("1", "S", "10", "0", "2", "")])
    write_customer(tmp_path / "customer.xlsx", [(1, 2, "someday")])
    result = runner.invoke(tr.cmd_tallyrun, ["-c", str(make_config(tmp_path))])
    assert result.exit_code == 0
    bypo = rows(openpyxl.load_workbook(tmp_path / "out" / "result.xlsx")["byPO"])
    assert bypo == [COLUMNS, [1, "S", "10", "0", 2, None, None]]


@pytest.mark.parametrize("qrv, debug", [("1", True), ("true", False), (" 1", False), (None, False)])
def test_debug_workbook(runner, tmp_path, monkeypatch, qrv, debug):
    if qrv is None:
        monkeypatch.delenv("QRV", raising=False)
    else:
        monkeypatch.setenv("QRV", qrv)
    write_system(tmp_path / "system.csv", [("1", "S", "10", "0", "2", "2024-01-01")])
    write_customer(tmp_path / "customer.xlsx", [])
    result = runner.invoke(tr.cmd_tallyrun, ["-c", str(make_config(tmp_path))])
    assert result.exit_code == 1
    assert result.stdout == "Failed: Data extraction failed or data is empty.\n"
    debug_path = tmp_path / "out" / "debug_data.xlsx"
    assert debug_path.is_file() == debug
    if debug:
        wb = openpyxl.load_workbook(debug_path)
        assert wb.sheetnames == ["SYS_DATA", "CUS_DATA"]
        assert rows(wb["SYS_DATA"]) == [["PO", "SO", "SO_POS", "SO_SUFFIX", "QTY", "RDD"],
                                        ["1", "S", "10", "0", "2", "2024-01-01"]]
        assert rows(wb["CUS_DATA"]) == [["PO", "QTY", "RDD"]]


# ---- exports as real systems write them

CUSTOMER_SHAPES = [
    (4500000001, 50, datetime.datetime(2023, 12, 10)),
    (4500000002, 1000, datetime.datetime(2024, 1, 13)),
    (4500000003, 12500.5, datetime.datetime(2024, 1, 20)),
]


def export(path, lines, sep=",", encoding="utf-8", extra=("Incoterm", "FCA")):
    """lines: (PO, QTY, RDD) as the export writes them, with columns to both
    sides; a line without RDD ends after QTY."""
    with open(path, "w", newline="", encoding=encoding) as f:
        out = csv.writer(f, delimiter=sep)
        out.writerow([f"Spalte {i}" for i in range(17)] + list(extra[:1]))
        for n, (po, qty, rdd) in enumerate(lines):
            line = ["Müller"] * 7 + [po, f"S{n}", "10", "0", qty]
            if rdd is not None:
                line += ["", "", "", "", rdd, *extra[1:]]
            out.writerow(line)
    return path


@pytest.mark.parametrize(
    "sep, encoding, lines, system_rdd",
    [
        # extra columns, and a line shorter than the mapped width
        (",", "utf-8", [("4500000001", "50", "2023-12-09"), ("4500000002", "1000", "2024-01-13"),
                        ("4500000003", "12500.5", None)], ["2023-12-09", "2024-01-13", None]),
        # a locale export: ";" with decimal comma, dotted dates day first
        (";", "cp1252", [("4500000001", "50,000", "09.12.2023"), ("4500000002", "1.000", "13.01.2024"),
                         ("4500000003", "12.500,5", "20.01.2024")], ["2023-12-09", "2024-01-13", "2024-01-20"]),
        # quoted numbers with thousands separators, slashed dates month first
        (",", "utf-8", [("4500000001", "50", "12/09/2023"), ("4500000002", "1,000", "01/13/2024"),
                        ("4500000003", "12,500.5", "01/20/2024")], ["2023-12-09", "2024-01-13", "2024-01-20"]),
    ],
)
def test_real_export_shapes(runner, tmp_path, sep, encoding, lines, system_rdd):
    export(tmp_path / "system.csv", lines, sep, encoding)
    write_customer(tmp_path / "customer.xlsx", CUSTOMER_SHAPES)
    result = runner.invoke(tr.cmd_tallyrun, ["-c", str(make_config(tmp_path))])
    assert result.stdout == SUCCESS
    bypo = rows(openpyxl.load_workbook(tmp_path / "out" / "result.xlsx")["byPO"])
    assert [(r[0], r[4], r[5]) for r in bypo[1:]] == [
        (4500000001, 50, system_rdd[0]), (4500000002, 1000, system_rdd[1]),
        (4500000003, 12500.5, system_rdd[2]),
    ]
    assert bypo[0][10:] == ["23-Dec", "24-Jan"]


def test_unreadable_quantities_and_dates_warn(runner, tmp_path, caplog):
    export(tmp_path / "system.csv", [("4500000001", "50", "2023-12-09"), ("4500000002", "1 000", "soon"),
                                     ("4500000003", "n/a", "2024-01-02")])
    write_customer(tmp_path / "customer.xlsx", CUSTOMER_SHAPES)
    with caplog.at_level(logging.WARNING):
        result = runner.invoke(tr.cmd_tallyrun, ["-c", str(make_config(tmp_path))])
    assert result.stdout == SUCCESS
    assert [r.getMessage() for r in caplog.records if r.name == "Dorvex.Tallyrun"] == [
        "System data: RDD is not a date in 1 line, which count in no month: 'soon' (PO 4500000002)",
        "System data: QTY is not a number in 2 lines, which cannot match: "
        "'1 000' (PO 4500000002), 'n/a' (PO 4500000003)",
    ]


def _half_sheet(path):
    """A workbook whose sheet XML stops half-way (the XML parser raises while
    handling its own error)."""
    write_customer(path, CUSTOMER_LINES)
    with zipfile.ZipFile(path) as z:
        parts = [(item, z.read(item.filename)) for item in z.infolist()]
    with zipfile.ZipFile(path, "w") as z:
        for item, data in parts:
            z.writestr(item, data[: len(data) // 2] if "sheet1" in item.filename else data)


def _half_workbook(path):
    write_customer(path, CUSTOMER_LINES)
    path.write_bytes(path.read_bytes()[: path.stat().st_size // 2])


# (what is wrong, how to make it, part of the run's message)
BROKEN_INPUTS = [
    ("empty workbook", lambda d: (d / "customer.xlsx").write_bytes(b""), "File is not a zip file"),
    ("text workbook", lambda d: (d / "customer.xlsx").write_text("PO;QTY\n1;2\n"), "File is not a zip file"),
    ("pdf workbook", lambda d: (d / "customer.xlsx").write_bytes(b"%PDF-1.4\n%%EOF\n"), "File is not a zip file"),
    ("truncated workbook", lambda d: _half_workbook(d / "customer.xlsx"), "File is not a zip file"),
    ("broken sheet", lambda d: _half_sheet(d / "customer.xlsx"), "unclosed token"),
    ("fake xls", lambda d: (d / "customer.xls").write_text("not a workbook"), "not an office document"),
    ("unbalanced quote", lambda d: (d / "system.csv").write_text('PO\n"4500000001\n2\n'),
     "line 2: a quoted field never ends (unbalanced quote)"),
    ("output_dir a file", lambda d: (d / "out").write_text(""), "File exists"),
]


@pytest.mark.parametrize("setup, message", [b[1:] for b in BROKEN_INPUTS], ids=[b[0] for b in BROKEN_INPUTS])
def test_broken_input_is_one_record(runner, tmp_path, caplog, setup, message):
    write_system(tmp_path / "system.csv", SYSTEM_LINES[:3])
    write_customer(tmp_path / "customer.xlsx", CUSTOMER_LINES)
    setup(tmp_path)
    customer = "customer.xls" if (tmp_path / "customer.xls").exists() else "customer.xlsx"
    config = make_config(tmp_path, customer_data_path=str(tmp_path / customer))
    with caplog.at_level(logging.INFO):
        result = runner.invoke(tr.cmd_tallyrun, ["-c", str(config)])
    assert result.exit_code == 1 and result.stdout.startswith("Failed: ") and message in result.stdout
    (record,) = [r for r in caplog.records if r.levelno >= logging.WARNING]
    assert record.getMessage() == "Error during data processing"
    shown = logging.Formatter().formatException(record.exc_info)
    assert shown.count("Traceback") == 1 and "During handling" not in shown


def test_wide_line_costs_no_memory(tmp_path):
    """Memory follows the columns the mapping names, not the widest line."""
    code = ("import resource, sys\nfrom dorvex.cli import main\n"
            "try:\n    main(['tally-run', '-c', sys.argv[1]])\nexcept SystemExit:\n    pass\n"
            "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)")
    peak_kib = {}
    for extra in (0, 300_000):
        folder = tmp_path / str(extra)
        folder.mkdir()
        write_system(folder / "system.csv", SYSTEM_LINES[:3])
        with open(folder / "system.csv", "a") as f:
            f.write(",".join(["x"] * 7 + ["4500000003", "S3", "10", "0", "4", "", "", "", "", "2024-02-01"]
                             + ["ab"] * extra) + "\n")
        write_customer(folder / "customer.xlsx", CUSTOMER_LINES)
        out = subprocess.run([sys.executable, "-c", code, str(make_config(folder))],
                             capture_output=True, text=True, check=True)
        assert SUCCESS in out.stdout
        peak_kib[extra] = int(out.stdout.splitlines()[-1])
    assert peak_kib[300_000] < peak_kib[0] + 100 * 1024  # it was 2 GB


def test_interrupt_leaves_no_temporaries(data, monkeypatch, tmp_path_factory):
    scratch = tmp_path_factory.mktemp("scratch")
    monkeypatch.setattr(tempfile, "tempdir", str(scratch))
    write_sheet = tr.excelTools._write_sheet

    def interrupted(*args):
        write_sheet(*args)
        raise KeyboardInterrupt

    monkeypatch.setattr(tr.excelTools, "_write_sheet", interrupted)
    t = tr.Tallyrun(json.loads(make_config(data).read_text())["config"])
    with pytest.raises(KeyboardInterrupt):
        t.run()
    assert os.listdir(data / "out") == [] and os.listdir(scratch) == []


@pytest.mark.parametrize("qrv, name", [("0", "result.xlsx"), ("1", "debug_data.xlsx")])
def test_output_never_replaces_the_customer_workbook(runner, data, monkeypatch, qrv, name):
    monkeypatch.setenv("QRV", qrv)
    (data / "out").mkdir()
    customer = data / "out" / name
    os.replace(data / "customer.xlsx", customer)
    before = customer.read_bytes()
    config = make_config(data, customer_data_path=str(data / "out" / "." / name))
    result = runner.invoke(tr.cmd_tallyrun, ["-c", str(config)])
    assert result.exit_code == 1
    assert result.stderr == f"Error: {config}: output_dir would overwrite the input {data / 'out' / '.' / name}\n"
    assert customer.read_bytes() == before and os.listdir(data / "out") == [name]


def test_clash_from_python_is_a_failed_result(data, caplog):
    (data / "out").mkdir()
    os.replace(data / "customer.xlsx", data / "out" / "result.xlsx")
    before = (data / "out" / "result.xlsx").read_bytes()
    config = json.loads(make_config(data, customer_data_path=str(data / "out" / "result.xlsx")).read_text())
    with caplog.at_level(logging.ERROR):
        assert tr.Tallyrun(config["config"]).run() == (False, "output_dir would overwrite an input file")
    assert caplog.records[-1].getMessage().startswith("output_dir would overwrite the input ")
    assert (data / "out" / "result.xlsx").read_bytes() == before


@pytest.mark.parametrize(
    "values, expected",
    [
        (["01/02/2024", "25/12/2023"], ["2024-02-01", "2023-12-25"]),  # the column is day first
        (["01/02/2024", "12/25/2023"], ["2024-01-02", "2023-12-25"]),
        (["31.02.2024", "1.3.24", "2024/03/02 10:00"], [None, "2024-03-01", "2024-03-02"]),
        ([45291, "Mon", "March 2024", "5 March 2024"], [None, None, None, "2024-03-05"]),
        ([datetime.datetime(2024, 1, 2, 15), None, " "], ["2024-01-02", None, None]),
    ],
)
def test_dates_one_format_per_column(values, expected):
    dates, unreadable = tr._read_dates(values)
    assert [None if pd.isna(d) else d.strftime("%Y-%m-%d") for d in dates] == expected
    blank = [v is None or v == " " for v in values]
    assert unreadable.tolist() == [e is None and not b for e, b in zip(expected, blank)]
