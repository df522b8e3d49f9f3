"""Writes a sample system CSV and customer workbook for tally-run.

    python make_samples.py FOLDER [LINES]

The system export has its header in row 1 and the fields in columns H (PO),
I (SO), J (SO position), K (SO suffix), L (QTY) and Q (requested date), with
columns before, between and after them as real exports have; the
customer workbook has a title row, a header in row 2 and the fields in F (PO),
O (QTY) and R (requested date) from row 3. About half of the lines match; the
rest are near misses (same PO with another quantity, a PO one digit off).
Dates run from December into the next year.
"""

import csv
import datetime
import os
import random
import sys

import xlsxwriter

SYSTEM_HEADER = [
    "Plant", "Region", "Customer", "Ship-to", "Sold-to", "Material", "Description",
    "Customer PO", "Sales Order", "Item", "Suffix", "Quantity", "UoM", "Status", "Created",
    "Buyer", "Requested Date", "Incoterm",
]
CUSTOMER_HEADER = {5: "PO Number", 14: "Order Qty", 17: "Need Date"}


def make_lines(count, seed=7):
    """(system rows, customer rows): dictionaries of the fields each side holds."""
    rng = random.Random(seed)
    start = datetime.date(2023, 11, 20)
    system, customer = [], []
    for i in range(count):
        po = 4500010000 + i * 7
        qty = rng.choice([1, 2, 5, 10, 12, 24, 50, 100, 250])
        sys_date = start + datetime.timedelta(days=rng.randrange(0, 100))
        cus_date = sys_date + datetime.timedelta(days=rng.choice([0, 0, 3, -2, 14]))
        system.append({"PO": str(po), "SO": f"{310000 + i // 3:07d}", "SO_POS": str(10 * (i % 3 + 1)),
                       "SO_SUFFIX": "0", "QTY": str(qty), "RDD": sys_date})
        kind = i % 4
        if kind in (0, 1):  # a match; the customer keeps some POs as text
            customer.append({"PO": po if i % 8 else f"{po}", "QTY": qty, "RDD": cus_date})
        elif kind == 2:  # near miss: same PO, another quantity
            customer.append({"PO": po, "QTY": qty + 1, "RDD": cus_date})
        else:  # near miss: PO one digit off, same quantity
            customer.append({"PO": po + 1, "QTY": qty, "RDD": cus_date})
    rng.shuffle(customer)
    return system, customer


def write_system_csv(path, rows):
    with open(path, "w", encoding="utf-8", newline="") as f:
        out = csv.writer(f)
        out.writerow(SYSTEM_HEADER)
        for i, r in enumerate(rows):
            line = [""] * len(SYSTEM_HEADER)
            line[0:7] = ["DE01", "EU", "C-1001", "S-22", "S-22", f"MAT-{i % 97:04d}", "Bracket"]
            line[7:12] = [r["PO"], r["SO"], r["SO_POS"], r["SO_SUFFIX"], r["QTY"]]
            line[12:15] = ["PC", "open", "2023-11-01"]
            line[15:18] = ["jdoe", r["RDD"].isoformat(), "FCA"]
            out.writerow(line)


def write_customer_xlsx(path, rows):
    wb = xlsxwriter.Workbook(path, {"constant_memory": True})
    ws = wb.add_worksheet("Orders")
    date = wb.add_format({"num_format": "dd/mm/yyyy"})
    ws.write_string(0, 0, "Open orders (customer view)")
    for col, text in CUSTOMER_HEADER.items():
        ws.write_string(1, col, text)
    for n, r in enumerate(rows, start=2):
        ws.write_string(n, 0, f"L{n}")
        if isinstance(r["PO"], str):
            ws.write_string(n, 5, r["PO"])
        else:
            ws.write_number(n, 5, r["PO"])
        ws.write_number(n, 14, r["QTY"])
        ws.write_datetime(n, 17, datetime.datetime.combine(r["RDD"], datetime.time()), date)
    wb.close()


def main(folder, count=40):
    os.makedirs(folder, exist_ok=True)
    system, customer = make_lines(count)
    write_system_csv(os.path.join(folder, "system_data.csv"), system)
    write_customer_xlsx(os.path.join(folder, "customer_data.xlsx"), customer)


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 40)
