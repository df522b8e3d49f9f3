"""spend-file: module level, cell reading, name cleaning and the moves, on real
workbooks written with openpyxl."""

import datetime as real_datetime
import json
import logging
import os
import re
import subprocess
import sys
import tempfile
import types
from pathlib import Path

import pytest
from openpyxl import Workbook

import dorvex.spendfile as sf

HELP_HEAD = (
    "\nRead information from Excel and auto-renfiles. \n"
    "This tool relies entirely on a JSON configuration file.\n"
    "\n\b\n[JSON Parameter Description]:\n"
    "* config.path         : (String) Directory path containing the target Excel files.\n"
    "* config.dry_run      : (Boolean) Set to True to preview renamed files without actually"
    " moving them.\n"
    '* excel_in.name_cell  : (String) The exact cell coordinate for the Name (e.g., "D6").\n'
    '* excel_in.amount_cell: (String) The exact cell coordinate for the Amount (e.g., "P56").\n'
    "\n\b\n[Default config.json Template]:\n"
)
HINT = "Missing required package 'openpyxl'. Please run: pip install Dorvex[excel]"


def workbook(path, cells):
    book = Workbook()
    for ref, value in cells.items():
        book.active[ref] = value
    book.save(path)
    return path.read_bytes()


def expense(folder, file_name, name="Mara Lindqvist", amount=125.5):
    cells = {"B6": "Name"}
    if name is not None:
        cells["D6"] = name
    if amount is not None:
        cells["P56"] = amount
    return workbook(folder / file_name, cells)


def config_file(folder, config):
    path = folder / "expense.json"
    path.write_text(json.dumps({"config": config}))
    return str(path)


def messages(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "Dorvex.Spendfile"]


@pytest.fixture
def data(tmp_path):
    folder = tmp_path / "data"
    folder.mkdir()
    return folder


@pytest.fixture
def fixed_now(monkeypatch):
    """Every workbook handled at 14:25:30.071 on 15 March."""
    moment = real_datetime.datetime(2026, 3, 15, 14, 25, 30, 71000)

    class Frozen(real_datetime.datetime):
        @classmethod
        def now(cls, tz=None):
            return moment

    monkeypatch.setattr(sf, "datetime", types.SimpleNamespace(datetime=Frozen))
    return "0315_14253007"


# ---- module level and command


def test_module_attributes_in_order():
    assert sf.__file__.endswith(".so")
    names = [n for n in vars(sf) if not n.startswith("__")]
    assert names[:7] == ["os", "re", "sys", "json", "click", "datetime", "Path"]
    assert [n for n in names[7:] if n not in ("load_workbook", "HAS_OPENPYXL")] == [
        "app_logging", "fileMg", "log", "DEFAULT_CONFIG", "HELP_TEXT", "cmd_spendfile",
        "get_excel_cell_value", "sanitize_filename", "process_expense_rename"]
    # openpyxl is bound at its first use
    assert sf.HAS_OPENPYXL is True and sf.load_workbook.__module__.startswith("openpyxl")
    assert sf.log.name == "Spendfile"


def test_help_text_exact(runner):
    assert sf.HELP_TEXT == HELP_HEAD + json.dumps(sf.DEFAULT_CONFIG, indent=4) + "\n"
    result = runner.invoke(sf.cmd_spendfile, ["--help"])
    assert result.exit_code == 0
    assert "  * excel_in.amount_cell: (String) The exact cell" in result.output
    template = json.dumps(sf.DEFAULT_CONFIG, indent=4).replace("\n", "\n  ")
    help_end = result.output.index("Options:") + 9
    assert result.output.endswith("  " + template + "\n\nOptions:\n", 0, help_end)
    assert '        "dry_run": false\n' in template


@pytest.mark.parametrize(
    "content, reason",
    [
        (b"\xff\xfe{}", "not UTF-8 text"),
        (b'{"config": ', "not valid JSON"),
        (b"[1, 2]", "the top level must be a JSON object"),
        (b'{"config": [1]}', "config must be an object (got [1])"),
        (b'{"excel_in": null}', "excel_in must be an object (got null)"),
        (b'{"excel_in": {"name_cell": 6}}', "excel_in.name_cell must be a cell reference such as \"H2\""),
        (b'{"config": {"path": 3}}', "config.path must be an existing folder (got 3)"),
        (b'{"config": {"path": "./no"}}', 'config.path must be an existing folder (got "./no")'),
    ],
)
def test_bad_configuration_one_line(runner, in_tmp, content, reason):
    (in_tmp / "c.json").write_bytes(content)
    result = runner.invoke(sf.cmd_spendfile, ["-c", "c.json"])
    assert result.exit_code == 1
    assert result.stderr.startswith("Error: c.json: " + reason)
    assert result.stderr.count("\n") == 1 and "Traceback" not in result.output
    assert not (in_tmp / "results").exists() and not (in_tmp / "backup").exists()


def test_missing_library_hint_and_status_1(runner, data, monkeypatch, caplog):
    expense(data, "a.xlsx")
    monkeypatch.setattr(sf, "HAS_OPENPYXL", False)
    with caplog.at_level(logging.INFO):
        cfg = config_file(data.parent, {"path": str(data)})
        result = runner.invoke(sf.cmd_spendfile, ["-c", cfg])
    assert result.exit_code == 1
    assert messages(caplog) == [HINT]
    assert sorted(os.listdir(data)) == ["a.xlsx"]


def test_import_without_openpyxl_still_loads():
    code = ("import sys; sys.modules['openpyxl'] = None\n"
            "import dorvex.spendfile as sf\n"
            "print(sf.HAS_OPENPYXL, hasattr(sf, 'load_workbook'))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout == "False False\n"


def test_defaults_with_dry_run_text(runner, in_tmp, caplog):
    folder = in_tmp / "data_spendfile"
    folder.mkdir()
    expense(folder, "a.xlsx")
    (in_tmp / "c.json").write_text('{"config": {"dry_run": "TRUE"}}')
    with caplog.at_level(logging.INFO):
        result = runner.invoke(sf.cmd_spendfile, ["-c", "c.json"])
    assert result.exit_code == 0
    assert messages(caplog)[0] == "Starting expense processing in: ./data_spendfile"
    moved = r"\[Dry-Run\] Would move: a\.xlsx -> Mara Lindqvist_125\.5_\d{4}_\d{8}\.xlsx"
    assert re.fullmatch(moved, messages(caplog)[1])
    assert os.listdir(folder / "results") == [] and os.listdir(folder / "backup") == []
    assert (folder / "a.xlsx").exists()


# ---- the three functions


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, "Unknown"),
        ("Acme/Tools?", "AcmeTools"),
        ("  Mara  Lindqvist \t", "Mara  Lindqvist"),
        ('\\/*?:"<>|  ', ""),
        (125.5, "125.5"),
        (40, "40"),
        (23.310000000000002, "23.31"),
        (40.0, "40"),
        ("Line\nbreak\ttab\r\x00\x7f\x85", "Linebreaktab"),
        ("Ünïcode €", "Ünïcode €"),
    ],
)
def test_sanitize_filename(value, expected):
    assert sf.sanitize_filename(value) == expected


def test_cell_values_formula_stored_and_empty(tmp_path):
    import xlsxwriter  # writes a formula together with its stored result

    path = tmp_path / "calc.xlsx"
    book = xlsxwriter.Workbook(str(path))
    sheet = book.add_worksheet()
    sheet.write("D6", "Mara")
    sheet.write_formula("P56", "=SUM(P1:P55)", None, 99.5)
    book.close()
    assert sf.get_excel_cell_value(str(path), ["D6", "P56", "A1"]) == ["Mara", 99.5, None]
    # openpyxl stores no result with a formula: nothing to read
    workbook(tmp_path / "bare.xlsx", {"D6": "x", "P56": "=1+1"})
    assert sf.get_excel_cell_value(tmp_path / "bare.xlsx", ("D6", "P56")) == ["x", None]


@pytest.mark.parametrize("make, cells", [
    (lambda p: p.write_bytes(b"not a workbook"), ["D6", "P56"]),
    (lambda p: workbook(p, {"D6": "x"}), ["D6", "not a cell"]),
    (lambda p: None, ["D6", "P56", "A1"]),
])
def test_cell_values_failure_gives_nones_and_one_line(tmp_path, caplog, make, cells):
    path = tmp_path / "broken.xlsx"
    make(path)
    with caplog.at_level(logging.INFO):
        assert sf.get_excel_cell_value(str(path), cells) == [None] * len(cells)
    assert len(messages(caplog)) == 1
    assert messages(caplog)[0].startswith(f"Error reading excel {path}: ")


@pytest.mark.parametrize("value", [[], None, "config", type("Sub", (dict,), {})()])
def test_process_rejects_anything_but_a_dict(value, caplog):
    with caplog.at_level(logging.DEBUG), pytest.raises(TypeError, match="config_dict"):
        sf.process_expense_rename(value)
    assert messages(caplog) == []


# ---- the run


@pytest.mark.parametrize(
    "dry_run, moves",
    [(True, False), ("TRUE", False), ("true", False), ("True", False),
     (False, True), ("yes", True), (1, True), (None, True), ("false", True), ("absent", True)],
)
def test_dry_run_forms(data, caplog, dry_run, moves):
    original = expense(data, "a.xlsx")
    config = {"path": str(data)}
    if dry_run != "absent":
        config["dry_run"] = dry_run
    with caplog.at_level(logging.INFO):
        assert sf.process_expense_rename({"config": config}) is None
    moved = os.listdir(data / "results")
    assert (data / "a.xlsx").exists() is not moves
    assert len(moved) == int(moves)
    lines = messages(caplog)
    assert lines[1].startswith("Processing: " if moves else "[Dry-Run] Would move: ")
    if moves:
        assert (data / "results" / moved[0]).read_bytes() == original
        assert (data / "backup" / "a.xlsx").read_bytes() == original


def test_real_run_names_backups_and_skips(data, caplog):
    travel = expense(data, "travel.xlsx", " Mara/Lindqvist\n", 125.5)
    tools = expense(data, "tools.xlsx", "Acme", 40)
    no_amount = expense(data, "draft.xlsx", "Jon", None)
    (data / "fake.xlsx").write_bytes(b"plain text")
    (data / "notes.txt").write_text("not a workbook")
    before = real_datetime.datetime.now()
    with caplog.at_level(logging.INFO):
        sf.process_expense_rename({"config": {"path": str(data)}, "excel_in": {}})
    after = real_datetime.datetime.now()

    results = sorted(os.listdir(data / "results"))
    assert [r[:-19] for r in results] == ["Acme_40", "MaraLindqvist_125.5"]
    for name in results:
        code = re.fullmatch(r".*_(\d{4}_\d{8})\.xlsx", name).group(1)
        assert before.strftime("%m%d") <= code[:4] <= after.strftime("%m%d")
    assert (data / "results" / results[0]).read_bytes() == tools
    assert (data / "results" / results[1]).read_bytes() == travel
    assert (data / "backup" / "tools.xlsx").read_bytes() == tools
    assert (data / "backup" / "travel.xlsx").read_bytes() == travel
    assert sorted(os.listdir(data)) == ["backup", "draft.xlsx", "fake.xlsx", "notes.txt", "results"]
    assert (data / "draft.xlsx").read_bytes() == no_amount

    lines = messages(caplog)
    assert lines[0] == f"Starting expense processing in: {data}"
    assert "---> Skipping draft.xlsx: Cannot find Name or Amount in D6 or P56" in lines
    assert "---> Skipping fake.xlsx: Cannot find Name or Amount in D6 or P56" in lines
    assert lines[-1] == "Finished: 2 moved, 2 skipped, 0 failed"


def test_collisions_destroy_nothing(data, caplog, fixed_now):
    first = expense(data, "a.xlsx", "Mara", 10)
    second = expense(data, "b.xlsx", "Mara", 11)
    third = expense(data, "c.xlsx", "Mara/", 10)    # cleans to the same name as a.xlsx
    (data / "backup").mkdir()
    (data / "backup" / "a.xlsx").write_bytes(b"earlier backup")
    with caplog.at_level(logging.INFO):
        sf.process_expense_rename({"config": {"path": str(data), "dry_run": False}})

    assert sorted(os.listdir(data / "results")) == [f"Mara_{n}_{fixed_now}.xlsx" for n in (10, 11)]
    assert (data / "results" / f"Mara_10_{fixed_now}.xlsx").read_bytes() == first
    assert (data / "results" / f"Mara_11_{fixed_now}.xlsx").read_bytes() == second
    assert (data / "c.xlsx").read_bytes() == third
    assert (data / "backup" / "a.xlsx").read_bytes() == b"earlier backup"
    assert (data / "backup" / "a (1).xlsx").read_bytes() == first
    assert sorted(os.listdir(data / "backup")) == ["a (1).xlsx", "a.xlsx", "b.xlsx"]
    dest = os.path.join(data, "results", f"Mara_10_{fixed_now}.xlsx")
    lines = messages(caplog)
    assert f"Failed to move {data / 'c.xlsx'}: Destination already exists: {dest}" in lines
    assert "Earlier backup of a.xlsx kept; this one is a (1).xlsx" in lines
    assert lines[-1] == "Finished: 2 moved, 0 skipped, 1 failed"


def test_unwritable_results_folder_keeps_workbooks():
    # Run as an ordinary user, for whom permission bits hold (root ignores them).
    with tempfile.TemporaryDirectory(prefix="spendfile-") as top:
        data = Path(top, "data")
        (data / "results").mkdir(parents=True)
        (data / "backup").mkdir()
        original = expense(data, "a.xlsx")
        cfg = config_file(Path(top), {"path": str(data)})
        for path, mode in [(top, 0o777), (data, 0o777), (data / "backup", 0o777),
                           (data / "a.xlsx", 0o666), (data / "results", 0o555)]:
            os.chmod(path, mode)
        argv = [os.path.join(os.path.dirname(sys.executable), "dor-vex"), "spend-file", "-c", cfg]
        if os.geteuid() == 0:
            argv = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", *argv]
        proc = subprocess.run(argv, capture_output=True, text=True, cwd=top)
        assert proc.returncode == 0, proc.stderr
        assert f"Failed to move {data / 'a.xlsx'}: [Errno 13] Permission denied" in proc.stderr
        assert "Finished: 0 moved, 0 skipped, 1 failed" in proc.stderr
        assert (data / "a.xlsx").read_bytes() == original
        assert os.listdir(data / "results") == [] and os.listdir(data / "backup") == []


def test_missing_folder_creates_nothing(tmp_path, caplog):
    with caplog.at_level(logging.INFO):
        sf.process_expense_rename({"config": {"path": str(tmp_path / "nowhere")}})
    assert messages(caplog) == [f"Expense folder not found: {tmp_path / 'nowhere'}"]
    assert os.listdir(tmp_path) == []


def test_results_name_taken_by_a_file(runner, data, caplog):
    expense(data, "a.xlsx")
    (data / "results").write_text("a file where the folder belongs")
    cfg = config_file(data.parent, {"path": str(data)})
    with caplog.at_level(logging.INFO):
        result = runner.invoke(sf.cmd_spendfile, ["-c", cfg])
    assert result.exit_code == 1
    assert messages(caplog)[0].startswith("Cannot create the results and backup folders: ")
    assert (data / "a.xlsx").exists()


def test_long_name_shortened_and_lock_files_skipped(data, caplog, fixed_now):
    expense(data, "long.xlsx", "Ö" * 200, 23.310000000000002)
    lock = expense(data, "~$long.xlsx")
    with caplog.at_level(logging.INFO):
        sf.process_expense_rename({"config": {"path": str(data)}})
    # 255 bytes at most, cut between characters (Ö is two bytes)
    rest = f"_23.31_{fixed_now}.xlsx"
    assert os.listdir(data / "results") == ["Ö" * ((255 - len(rest)) // 2) + rest]
    assert (data / "~$long.xlsx").read_bytes() == lock
    assert not any("~$" in m for m in messages(caplog))
    assert messages(caplog)[-1] == "Finished: 1 moved, 0 skipped, 0 failed"


# The move itself when the file system misbehaves: nothing is lost either way.
@pytest.mark.parametrize("fault", ["source cannot be removed", "no hard links"])
def test_move_faults_destroy_nothing(data, monkeypatch, caplog, fault):
    original = expense(data, "a.xlsx", "Mara", 10)
    real_remove = os.remove
    if fault == "source cannot be removed":
        def refuse_source(path, *args, **kwargs):
            if os.path.basename(path) == "a.xlsx" and os.path.dirname(path) == str(data):
                raise PermissionError(13, "Permission denied", path)
            return real_remove(path, *args, **kwargs)

        monkeypatch.setattr(os, "remove", refuse_source)
    else:
        def no_links(*_args, **_kwargs):
            raise PermissionError(1, "Operation not permitted")

        monkeypatch.setattr(os, "link", no_links)
    with caplog.at_level(logging.INFO):
        sf.process_expense_rename({"config": {"path": str(data)}})
    if fault == "source cannot be removed":
        assert os.listdir(data / "results") == [] and os.listdir(data / "backup") == []
        assert (data / "a.xlsx").read_bytes() == original
        assert messages(caplog)[-1] == "Finished: 0 moved, 0 skipped, 1 failed"
    else:
        (moved,) = os.listdir(data / "results")
        assert (data / "results" / moved).read_bytes() == original
        assert os.listdir(data / "backup") == ["a.xlsx"] and not (data / "a.xlsx").exists()
