"""tally-run against the plain pandas script a user would write for the same
match (pandas' default engines: read_excel and to_excel through openpyxl).

    python bench/bench_tallyrun.py [LINES] [ROUNDS]

Both sides read the same generated system CSV and customer workbook (LINES
each, about half matching), match on PO and QTY and write a two-sheet result
workbook; the matched tables are compared before timing.
"""

import json
import os
import runpy
import sys
import tempfile
import time

import pandas as pd

sys.path.insert(0, os.path.dirname(__file__))
from common import VENV_BIN, compare, report  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = os.path.join(HERE, "..", "examples", "tallyrun", "make_samples.py")

# What a user writes with pandas alone: read, normalise the keys so the text
# PO of the CSV meets the numeric PO of the workbook, merge, sort, summarise.
PANDAS_SCRIPT = r'''
import sys
import pandas as pd

pd.set_option("future.no_silent_downcasting", True)
folder = sys.argv[1]
sys_df = pd.read_csv(f"{folder}/system_data.csv", usecols=[7, 8, 9, 10, 11, 16], dtype=str)
sys_df.columns = ["PO", "SO", "SO_POS", "SO_SUFFIX", "QTY", "RDD"]
cus_df = pd.read_excel(f"{folder}/customer_data.xlsx", header=1, usecols=[5, 14, 17])
cus_df.columns = ["PO", "QTY", "RDD"]
for df in (sys_df, cus_df):
    df["RDD"] = pd.to_datetime(df["RDD"], errors="coerce", format="mixed").dt.strftime("%Y-%m-%d")
    df["PO"] = pd.to_numeric(df["PO"]).astype("int64")
    df["QTY"] = pd.to_numeric(df["QTY"])
res = sys_df.merge(cus_df, on=["PO", "QTY"], how="inner", suffixes=("_SYS", "_CUST"))
res = res.rename(columns={"RDD_SYS": "SYSTEM_RDD", "RDD_CUST": "CUSTOMER_RDD"})
res = res[["PO", "SO", "SO_POS", "SO_SUFFIX", "QTY", "SYSTEM_RDD", "CUSTOMER_RDD"]]
res = res.sort_values(by=["PO", "SO_POS", "QTY"], key=lambda s: pd.to_numeric(s, errors="coerce") if s.name == "SO_POS" else s)
by_rdd = res.sort_values(by=["SYSTEM_RDD", "PO"])
sys_m = pd.to_datetime(res["SYSTEM_RDD"]).dt.to_period("M")
cus_m = pd.to_datetime(res["CUSTOMER_RDD"]).dt.to_period("M")
summary = pd.DataFrame({"SYS_RDD": res.groupby(sys_m)["QTY"].sum(),
                        "CUS_RDD": res.groupby(cus_m)["QTY"].sum()}).T.sort_index(axis=1)
summary.columns = [c.strftime("%y-%b") for c in summary.columns]
summary = summary.fillna(0).infer_objects(copy=False)
with pd.ExcelWriter(sys.argv[2]) as xl:
    res.to_excel(xl, sheet_name="byPO", index=False)
    summary.to_excel(xl, sheet_name="byPO", startcol=len(res.columns) + 2)
    by_rdd.to_excel(xl, sheet_name="byRDD_SYS", index=False)
'''


def matched_table(path):
    df = pd.read_excel(path, sheet_name="byRDD_SYS", engine="calamine", dtype=str)
    return df.sort_values(list(df.columns)).reset_index(drop=True)


def main():
    lines = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    # two rounds keep generation and runs near 3 minutes on a quiet 2-core machine
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    with tempfile.TemporaryDirectory() as tmp:
        start = time.perf_counter()
        runpy.run_path(SAMPLES)["main"](os.path.join(tmp, "data"), lines)
        print(f"generated {lines} system and {lines} customer lines in {time.perf_counter() - start:.1f} s")
        config = os.path.join(tmp, "match.json")
        with open(config, "w") as f:
            json.dump({"config": {"system_data_path": "data/system_data.csv",
                                  "customer_data_path": "data/customer_data.xlsx",
                                  "output_dir": "out"}}, f)
        script = os.path.join(tmp, "plain_pandas.py")
        with open(script, "w") as f:
            f.write(PANDAS_SCRIPT)
        contenders = {
            "dor-vex tally-run": [os.path.join(VENV_BIN, "dor-vex"), "tally-run", "-c", config],
            "plain pandas (openpyxl engines)": [sys.executable, script, "data", "plain.xlsx"],
        }
        summary = compare(contenders, rounds=rounds, cwd=tmp, cpu=True)
        ours = matched_table(os.path.join(tmp, "out", "result.xlsx"))
        plain = matched_table(os.path.join(tmp, "plain.xlsx"))
        same = ours.equals(plain)
        report(f"tally-run, {lines} vs {lines} lines, {len(ours)} matches, {rounds} rounds "
               f"(same matched table: {same})", summary, "plain pandas (openpyxl engines)")
        if not same:
            sys.exit("the two results differ")


if __name__ == "__main__":
    main()
