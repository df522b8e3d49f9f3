"""Side-by-side timing helpers for the benchmarks: each contender runs in the
same session, alternating, and the report gives medians and ratios."""

import os
import statistics
import subprocess
import sys
import time

VENV_BIN = os.path.dirname(sys.executable)


def run_once(argv, cwd=None, env=None):
    """Wall time (s) and peak resident memory (MiB) of one child process."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    if proc.returncode != 0:
        raise RuntimeError(f"{argv} failed ({proc.returncode}): {err[-2000:]}")
    return elapsed, usage.ru_maxrss / 1024


def compare(contenders, rounds=5, cwd=None, env=None, setup=None):
    """contenders: {label: argv}. Runs them alternately `rounds` times (setup()
    before each run, untimed) and returns {label: (median s, median MiB)}."""
    results = {label: [] for label in contenders}
    for _ in range(rounds):
        for label, argv in contenders.items():
            if setup:
                setup()
            results[label].append(run_once(argv, cwd=cwd, env=env))
    return {
        label: (statistics.median(t for t, _ in runs), statistics.median(m for _, m in runs))
        for label, runs in results.items()
    }


def report(title, summary, baseline):
    base_t, base_m = summary[baseline]
    print(f"\n{title}")
    print(f"{'contender':<40} {'time s':>9} {'ratio':>7} {'peak MiB':>9} {'ratio':>7}")
    for label, (t, m) in summary.items():
        print(f"{label:<40} {t:>9.3f} {t / base_t:>7.2f} {m:>9.1f} {m / base_m:>7.2f}")


