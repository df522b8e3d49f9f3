"""Collects bench/out/*.json into bench/RESULTS.md and bench/results.png."""

import datetime
import glob
import json
import os
import re

HERE = os.path.dirname(os.path.abspath(__file__))


def cores():
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()


def main():
    results = [json.load(open(p)) for p in sorted(glob.glob(os.path.join(HERE, "out", "*.json")))]
    if not results:
        raise SystemExit("no results in bench/out; run the bench scripts first")
    lines = [f"# Benchmark results\n\n{datetime.date.today()}, {cores()} cores; "
             "ratios are to each table's floor (median of alternating runs).\n",
             "| command | table | contender | time ratio | memory ratio | cpu ratio |",
             "|---|---|---|---:|---:|---:|"]
    groups = []
    for result in results:
        for table in result["tables"]:
            base = next(r for r in table["rows"] if r["floor"])
            for r in table["rows"]:
                cpu = (f"{r['cpu_s'] / base['cpu_s']:.2f}"
                       if r["cpu_s"] is not None and base["cpu_s"] else "")
                name = r["contender"] + (" (floor)" if r["floor"] and "floor" not in r["contender"] else "")
                lines.append(f"| {result['command']} | {table['title']} | {name} | "
                             f"{r['ratio_time']:.2f} | {r['ratio_mem']:.2f} | {cpu} |")
            # the plot shows the commands at their job; start-up and the
            # stand-in renderer measure overhead and stay in the table
            shown = [r for r in table["rows"] if r["contender"].startswith("dor-vex")]
            if result["command"] != "startup" and "stand-in" not in table["title"] and shown:
                groups.append((result["command"], shown))
    with open(os.path.join(HERE, "RESULTS.md"), "w") as out:
        out.write("\n".join(lines) + "\n")
    plot(groups)


def plot(groups):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    width = max(6, sum(len(rows) for _, rows in groups) * 0.6)
    fig, ax = plt.subplots(figsize=(width, 4.5))
    x, ticks, labels = 0, [], []
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    for n, (command, rows) in enumerate(groups):
        for r in rows:
            ax.bar(x, r["ratio_time"], color=colours[n % len(colours)])
            ax.annotate(f"{r['ratio_time']:.2f}", (x, r["ratio_time"]), ha="center",
                        va="bottom", fontsize=7)
            ticks.append(x)
            # "dor-vex chartsite, DORVEX_JOBS=2" -> "DORVEX_JOBS=2" under "chartsite"
            variant = re.sub(r"^dor-vex [a-z-]+,?\s*", "", r["contender"])
            labels.append(f"{command}\n{variant[:28]}".strip())
            x += 1
        x += 0.8
    ax.axhline(1.0, color="black", linewidth=0.8, linestyle="--")
    ax.set_xticks(ticks, labels, rotation=45, ha="right", fontsize=7)
    ax.set_ylabel("time / floor")
    ax.set_title(f"dor-vex time against each floor (1.0 = floor), {cores()} cores")
    fig.tight_layout()
    fig.savefig(os.path.join(HERE, "results.png"), dpi=110)


if __name__ == "__main__":
    main()
