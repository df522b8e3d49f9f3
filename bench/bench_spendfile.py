"""spend-file on 500 expense workbooks against the floor: a minimal openpyxl
script that reads the same two cells, keeps a backup copy and moves each file."""

import json
import os
import shutil
import sys
import tempfile

from common import VENV_BIN, compare, report
from openpyxl import Workbook

HOST = os.path.join(VENV_BIN, "dor-vex")
COUNT = 500

FLOOR = r'''
import os, re, shutil, sys
from datetime import datetime
from openpyxl import load_workbook

folder = sys.argv[1]
results = os.path.join(folder, "results")
backup = os.path.join(folder, "backup")
os.makedirs(results, exist_ok=True)
os.makedirs(backup, exist_ok=True)
for name in sorted(os.listdir(folder)):
    path = os.path.join(folder, name)
    if not name.endswith(".xlsx") or not os.path.isfile(path):
        continue
    book = load_workbook(path, data_only=True, read_only=True)
    sheet = book.active
    who, amount = sheet["D6"].value, sheet["P56"].value
    book.close()
    if who is None or amount is None:
        continue
    now = datetime.now()
    code = now.strftime("%m%d_%H%M%S") + now.strftime("%f")[:2]
    clean = lambda v: re.sub(r'[\\/*?:"<>|]', "", str(v)).strip()
    shutil.copy2(path, os.path.join(backup, name))
    shutil.move(path, os.path.join(results, f"{clean(who)}_{clean(amount)}_{code}.xlsx"))
'''


def make_workbooks(folder):
    os.makedirs(folder)
    for i in range(COUNT):
        book = Workbook()
        sheet = book.active
        sheet["B6"], sheet["D6"] = "Name", f"Employee {i:03d}"
        for row in range(10, 30):
            sheet[f"B{row}"], sheet[f"H{row}"] = f"Item {row}", row * 1.5
        sheet["N56"], sheet["P56"] = "Total", round(100 + i * 0.37, 2)
        book.save(os.path.join(folder, f"expense_{i:03d}.xlsx"))


def quiet(argv, log):
    # The log lines go to a file: a full stderr pipe would stall the child.
    return ["sh", "-c", f'exec "$@" 2>>"{log}"', "sh", *argv]


def main():
    with tempfile.TemporaryDirectory() as tmp:
        master = os.path.join(tmp, "master")
        work = os.path.join(tmp, "work")
        make_workbooks(master)
        floor = os.path.join(tmp, "floor.py")
        with open(floor, "w") as f:
            f.write(FLOOR)
        config = os.path.join(tmp, "expense.json")
        with open(config, "w") as f:
            json.dump({"config": {"path": work, "dry_run": False}}, f)
        log = os.path.join(tmp, "log.txt")

        def fresh_copy():
            if os.path.isdir(work):
                moved = len(os.listdir(os.path.join(work, "results")))
                if moved != COUNT:
                    sys.exit(f"only {moved} of {COUNT} workbooks were moved; see {log}")
                shutil.rmtree(work)
            shutil.copytree(master, work)

        summary = compare(
            {
                "floor: openpyxl script": quiet([sys.executable, floor, work], log),
                "dor-vex spend-file": quiet([HOST, "spend-file", "-c", config], log),
            },
            rounds=5,
            setup=fresh_copy,
            cpu=True,  # processor time: the machine is shared, wall time wanders
        )
        fresh_copy()
    report(f"spend-file, {COUNT} workbooks (median of 5, alternating)", summary,
           "floor: openpyxl script")


if __name__ == "__main__":
    main()
