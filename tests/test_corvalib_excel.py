"""corvalib.excelTools on real CSV and xlsx files, read back with openpyxl."""

import datetime
import os
import zipfile

import openpyxl
import pandas as pd
import pytest

from corvalib import excelTools


def write_xlsx(path, cells):
    wb = openpyxl.Workbook()
    ws = wb.active
    for ref, value in cells.items():
        ws[ref] = value
    wb.save(path)
    return path


@pytest.mark.parametrize(
    "delimiter, sep, bom",
    [(",", None, ""), (";", None, ""), ("\t", None, "\ufeff"), ("|", "|", "")],
)
def test_read_csv_by_cells_keeps_text_and_positions(tmp_path, delimiter, sep, bom):
    rows = [["title"], [], ["PO", "QTY"], ["0045", "10.0"], ["4500012345.0", "x"], [], [" "], []]
    path = tmp_path / "sys.csv"
    path.write_text(bom + "\n".join(delimiter.join(r) for r in rows) + "\n", encoding="utf-8")
    df = excelTools.read_csv_by_cells(path, {"QTY": "B4", "PO": "A4"}, sep=sep)
    assert list(df.columns) == ["QTY", "PO"]
    assert df["PO"].tolist() == ["0045", "4500012345.0"]
    assert df["QTY"].tolist() == ["10.0", "x"]


def test_read_csv_ragged_rows_blanks_and_cp1252(tmp_path):
    path = tmp_path / "sys.csv"
    path.write_bytes("a,b,c\n1,,3,extra,fields\n2\n,,\n4,Caf\xe9,6\n,,\n\n".encode("cp1252"))
    df = excelTools.read_csv_by_cells(path, {"A": "A2", "B": "B2", "C": "C2"})
    assert df.to_dict("list") == {
        "A": ["1", "2", None, "4"],
        "B": [None, None, None, "Café"],
        "C": ["3", None, None, "6"],
    }


def test_read_csv_columns_with_own_start_rows(tmp_path):
    path = tmp_path / "s.csv"
    path.write_text("x,y\n1,head\n2,7\n3,8\n")
    df = excelTools.read_csv_by_cells(path, {"X": "A2", "Y": "B3"})
    assert df.to_dict("list") == {"X": ["1", "2", "3"], "Y": ["7", "8", None]}


@pytest.mark.parametrize("engine", ["calamine", "openpyxl"])
def test_read_excel_by_cells_types_and_positions(tmp_path, monkeypatch, engine):
    path = write_xlsx(
        tmp_path / "c.xlsx",
        {
            "F3": "PO", "O3": "QTY", "R3": "RDD",
            "F4": 4500012345, "O4": 10, "R4": datetime.datetime(2023, 12, 30),
            "F6": "00123", "O6": 2.5, "R6": "2024-01-02",
            "F8": " ",
        },
    )
    if engine == "openpyxl":
        def no_calamine(*args):
            raise ImportError("No module named 'python_calamine'")

        monkeypatch.setattr(excelTools, "_calamine_columns", no_calamine)
    df = excelTools.read_excel_by_cells(path, {"PO": "F4", "QTY": "O4", "RDD": "R4"})
    assert df.to_dict("list") == {
        "PO": [4500012345, None, "00123"],
        "QTY": [10, None, 2.5],
        "RDD": [datetime.datetime(2023, 12, 30), None, "2024-01-02"],
    }


def test_read_excel_columns_outside_the_sheet_and_broken_files(tmp_path, monkeypatch):
    path = write_xlsx(tmp_path / "c.xlsx", {"A1": "PO", "A2": "1"})
    df = excelTools.read_excel_by_cells(path, {"PO": "A2", "QTY": "Z2"})
    assert df.to_dict("list") == {"PO": ["1"], "QTY": [None]}
    monkeypatch.setattr(excelTools, "_calamine_columns", lambda *a: 1 / 0)
    df = excelTools.read_excel_by_cells(path, {"PO": "A2", "QTY": "Z2"})
    assert df.to_dict("list") == {"PO": ["1"], "QTY": [None]}
    (tmp_path / "bad.xlsx").write_bytes(b"not a workbook")
    with pytest.raises(zipfile.BadZipFile):
        excelTools.read_excel_by_cells(tmp_path / "bad.xlsx", {"PO": "A2"})


def merge(left, right, how="inner"):
    return excelTools.merge_exact_match(
        df_left=pd.DataFrame(left), df_right=pd.DataFrame(right),
        num_keys=["PO", "QTY"], how=how, suffixes=("_SYS", "_CUST"),
    )


@pytest.mark.parametrize(
    "sys_po, cus_po, match",
    [
        ("4500012345", 4500012345, True),
        ("4500012345.0", 4500012345, True),
        (" 4500012345 ", 4500012345.0, True),
        ("A-77", " A-77", True),
        ("00123", 123, False),
        ("00123", "00123", True),
        ("4500012345", 4500012346, False),
        (None, None, False),
    ],
)
def test_merge_po_normalised(sys_po, cus_po, match):
    out = merge({"PO": [sys_po], "QTY": ["5"], "RDD": ["a"]}, {"PO": [cus_po], "QTY": [5], "RDD": ["b"]})
    assert len(out) == (1 if match else 0)
    assert list(out.columns) == ["PO", "QTY", "RDD_SYS", "RDD_CUST"]


@pytest.mark.parametrize(
    "sys_qty, cus_qty, match",
    [("10", 10, True), ("10.00", 10.0, True), ("2.5", 2.50, True), ("10", 11, False), ("ten", 10, False)],
)
def test_merge_qty_as_numbers(sys_qty, cus_qty, match):
    out = merge({"PO": ["P1"], "QTY": [sys_qty]}, {"PO": ["P1"], "QTY": [cus_qty]})
    assert len(out) == (1 if match else 0)


def test_merge_output_types_and_blank_keys():
    out = merge(
        {"PO": ["4500000001", "00042", None], "QTY": ["3", "4", "4"], "SO": ["s1", "s2", "s3"]},
        {"PO": [4500000001, "00042", None], "QTY": [3, 4.0, 4], "RDD": ["r1", "r2", "r3"]},
        how="left",
    )
    assert out["PO"].tolist() == ["4500000001", "00042", None]
    assert out["QTY"].dtype == "int64"
    assert out["QTY"].tolist() == [3, 4, 4]
    assert out["RDD"].tolist() == ["r1", "r2", None] or out["RDD"].isna().tolist() == [False, False, True]
    numeric = merge({"PO": ["45", "46"], "QTY": ["1", "2"]}, {"PO": [45, 46.0], "QTY": [1, 2]})
    assert numeric["PO"].tolist() == [45, 46] and numeric["QTY"].tolist() == [1, 2]


def test_merge_rejects_missing_key():
    with pytest.raises(KeyError, match="right table: QTY"):
        merge({"PO": ["1"], "QTY": ["1"]}, {"PO": ["1"]})


def test_write_formatted_excel(tmp_path):
    table = pd.DataFrame(
        {"PO": ["4500000001", "=HYPERLINK(1)"], "QTY": [3, 12345678901234567890], "D": [datetime.date(2024, 1, 2), None]}
    )
    summary = pd.DataFrame({"24-Jan": [3, 0]}, index=["SYS_RDD", "CUS_RDD"])
    path = tmp_path / "out.xlsx"
    ok = excelTools.write_formatted_excel(
        path,
        {"byPO": [{"df": table, "index": False, "startcol": 0},
                  {"df": summary, "index": True, "startcol": 5}],
         "plain": table[["PO"]]},
    )
    assert ok is True
    wb = openpyxl.load_workbook(path)
    assert wb.sheetnames == ["byPO", "plain"]
    ws = wb["byPO"]
    rows = [[c.value for c in r] for r in ws.iter_rows()]
    assert rows[0] == ["PO", "QTY", "D", None, None, None, "24-Jan"]
    assert rows[1][:3] == ["4500000001", 3, datetime.datetime(2024, 1, 2)]
    assert rows[1][5:] == ["SYS_RDD", 3]
    assert rows[2] == ["=HYPERLINK(1)", "12345678901234567890", None, None, None, "CUS_RDD", 0]
    assert ws["A2"].data_type == "s" and ws["A3"].data_type == "s"
    assert ws.freeze_panes == "A2"
    assert ws["A1"].font.b and ws["G1"].font.b and ws["F2"].font.b and not ws["A2"].font.b
    assert ws.column_dimensions["B"].width > ws.column_dimensions["C"].width > 6
    assert wb["plain"]["A1"].value == "PO" and wb["plain"].freeze_panes == "A2"
    assert [n for n in os.listdir(tmp_path) if n != "out.xlsx"] == []


@pytest.mark.parametrize(
    "sheets",
    [
        {},
        {"x" * 40: pd.DataFrame({"a": [1]})},
        {"s": [{"df": pd.DataFrame({"a": [1], "b": [2]}), "startcol": 0},
               {"df": pd.DataFrame({"c": [1]}), "startcol": 1}]},
        {"s": [{"df": "not a table"}]},
    ],
)
def test_write_formatted_excel_failure_keeps_old_file(tmp_path, sheets):
    path = tmp_path / "out.xlsx"
    path.write_bytes(b"old")
    assert excelTools.write_formatted_excel(path, sheets) is False
    assert path.read_bytes() == b"old"
    assert os.listdir(tmp_path) == ["out.xlsx"]


def test_read_csv_wider_line_after_the_sample(tmp_path):
    path = tmp_path / "s.csv"
    path.write_text("a,b\n" * 20000 + "1,2,3,4,5,6\n" + "7\n")
    df = excelTools.read_csv_by_cells(path, {"A": "A20001", "B": "B20001"})
    assert df.to_dict("list") == {"A": ["1", "7"], "B": ["2", None]}


@pytest.mark.parametrize(
    "tail",
    [
        '"x,y",' * 20000 + "z",  # quoted delimiters among the unused fields
        "v," * 40000 + '"goes on\nin the next line",w',  # a record over two lines
    ],
)
def test_read_csv_long_line_keeps_what_follows(tmp_path, tail):
    path = tmp_path / "s.csv"
    path.write_text(f"h,i\n1,2,{tail}\n3,4\n")
    df = excelTools.read_csv_by_cells(path, {"A": "A2", "B": "B2"})
    assert df.to_dict("list") == {"A": ["1", "3"], "B": ["2", "4"]}
