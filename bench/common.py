"""Side-by-side timing helpers for the benchmarks: each contender runs in the
same session, alternating, and the report gives medians and ratios."""

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

VENV_BIN = os.path.dirname(sys.executable)
OUT_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "out")
_tables = []


def run_once(argv, cwd=None, env=None, cpu=False):
    """Wall time (s) and peak resident memory (MiB) of one child process, and
    with `cpu` its processor time (user + system, s) as a third value."""
    # stderr goes to a file: a pipe nobody reads while we wait would stall a
    # child that logs more than the pipe holds
    with tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
        elapsed = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode != 0:
            err.seek(0)
            text = err.read().decode(errors="replace")
            raise RuntimeError(f"{argv} failed ({proc.returncode}): {text[-2000:]}")
    if cpu:
        return elapsed, usage.ru_maxrss / 1024, usage.ru_utime + usage.ru_stime
    return elapsed, usage.ru_maxrss / 1024


def compare(contenders, rounds=5, cwd=None, env=None, setup=None, cpu=False):
    """contenders: {label: argv}. Runs them alternately `rounds` times (setup()
    before each run, untimed) and returns {label: (median s, median MiB)}, with
    `cpu` also the median processor time: on a shared machine wall time
    depends on the other users, processor time much less."""
    results = {label: [] for label in contenders}
    for _ in range(rounds):
        for label, argv in contenders.items():
            if setup:
                setup()
            results[label].append(run_once(argv, cwd=cwd, env=env, cpu=cpu))
    return {
        label: tuple(statistics.median(column) for column in zip(*runs))
        for label, runs in results.items()
    }


def report(title, summary, baseline):
    base = summary[baseline]
    with_cpu = len(base) > 2
    print(f"\n{title}")
    print(f"{'contender':<40} {'time s':>9} {'ratio':>7} {'peak MiB':>9} {'ratio':>7}"
          + (f" {'cpu s':>9} {'ratio':>7}" if with_cpu else ""))
    for label, values in summary.items():
        t, m = values[:2]
        line = f"{label:<40} {t:>9.3f} {t / base[0]:>7.2f} {m:>9.1f} {m / base[1]:>7.2f}"
        if with_cpu:
            line += f" {values[2]:>9.3f} {values[2] / base[2]:>7.2f}"
        print(line)



    _record(title, summary, baseline)


def _record(title, summary, baseline):
    """Keeps every table of this script in bench/out/<script>.json, rewritten
    after each one so an interrupted run still leaves what it measured."""
    base = summary[baseline]
    rows = []
    for label, values in summary.items():
        rows.append({
            "contender": label, "time_s": values[0], "mem_mib": values[1],
            "cpu_s": values[2] if len(values) > 2 else None,
            "ratio_time": values[0] / base[0], "ratio_mem": values[1] / base[1],
            "floor": label == baseline,
        })
    _tables.append({"title": title, "rows": rows})
    name = os.path.splitext(os.path.basename(sys.argv[0]))[0].removeprefix("bench_")
    os.makedirs(OUT_DIR, exist_ok=True)
    with open(os.path.join(OUT_DIR, f"{name}.json"), "w") as out:
        json.dump({"command": name, "cores": os.cpu_count(), "tables": _tables}, out, indent=1)
