"""Writes three sample expense workbooks into the folder given as argument:
the name in D6 and the amount in P56, as the default configuration reads them.
The third has no amount, so spend-file skips it and leaves it in place."""

import sys
from pathlib import Path

from openpyxl import Workbook

SAMPLES = [
    ("expense_march_travel.xlsx", "Mara Lindqvist", 125.5),
    ("expense_march_tools.xlsx", "Acme/Tools?", 40),
    ("expense_march_draft.xlsx", "Jon Okafor", None),
]


def write(path, name, amount):
    book = Workbook()
    sheet = book.active
    sheet.title = "Expense"
    sheet["B2"] = "Expense claim"
    sheet["B6"] = "Name"
    sheet["D6"] = name
    sheet["B10"], sheet["D10"], sheet["H10"] = "Item", "Date", "Cost"
    if amount is not None:
        sheet["D11"], sheet["H11"] = "Claimed items", "2026-03-15"
        sheet["N56"] = "Total"
        sheet["P56"] = amount
    book.save(path)


def main(folder):
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    for file_name, name, amount in SAMPLES:
        write(folder / file_name, name, amount)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "expenses")
