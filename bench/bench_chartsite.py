"""chartsite against bare mmdc calls on the same files, one after the other
(the floor: rendering is mmdc's work). chartsite hands mmdc its diagrams in
batches, one browser for many, and keeps what it drew in a render cache:
the cold rows start with an empty cache, the re-run row renders an unchanged
folder again. Two sets: 20 diagrams of two kinds, and 12 of four kinds with
one broken diagram among them (the floor draws only the 12). A last table
swaps in an instant stand-in renderer, which shows chartsite's own cost
without mmdc's browser."""

import filecmp
import json
import os
import shutil
import subprocess
import sys
import tempfile

from common import VENV_BIN, compare, report

HOST = os.path.join(VENV_BIN, "dor-vex")
CORES = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
BROKEN = "flowchart LR\n    A --> B[\n"  # mmdc stops with a parse error


def two_kinds(i):
    if i % 2:
        steps = "\n".join(f"    S{i}_{k} --> S{i}_{k + 1}[Step {k + 1}]" for k in range(6))
        return f"flowchart LR\n    S{i}_0[Start {i}]\n{steps}\n    S{i}_6 --> S{i}_0\n"
    lines = "\n".join(f"    A->>B: request {k}\n    B-->>A: reply {k}" for k in range(4))
    head = f"sequenceDiagram\n    participant A as Client {i}\n    participant B as Server\n"
    return f"{head}{lines}\n"


def four_kinds(i):
    kind = i % 4
    if kind < 2:
        return two_kinds(i)
    if kind == 2:  # drawn with random jitter: only the cache keeps it the same
        return (f"classDiagram\n    class Order{i} {{\n        +int quantity\n        +ship()\n    }}\n"
                f"    Order{i} <|-- Rush{i}\n    Order{i} : +String number\n")
    return (f"stateDiagram-v2\n    [*] --> Open{i}\n    Open{i} --> Checked: check\n"
            "    Checked --> Shipped: ship\n    Shipped --> [*]\n")


STUB = """#!/bin/sh
svg='<svg xmlns="http://www.w3.org/2000/svg" width="10" height="10"></svg>'
case "$1" in --version) echo "stand-in 1"; exit 0;; esac
case "$2" in
*.md) n=$(grep -c '^```mermaid' "$2"); i=1
      while [ "$i" -le "$n" ]; do
        printf '%s' "$svg" > "${4%.md}-$i.svg"; echo " \u2705 ./$(basename "${4%.md}")-$i.svg"
        i=$((i + 1))
      done;;
*) printf '%s' "$svg" > "$4";;
esac
"""


def write_inputs(src, texts):
    os.mkdir(src)
    for name, text in texts.items():
        with open(os.path.join(src, name), "w", encoding="utf-8") as f:
            f.write(text)


def same_pages(a, b):
    names = sorted(os.listdir(a))
    return names == sorted(os.listdir(b)) and not filecmp.cmpfiles(a, b, names, shallow=False)[1]


def measure(tmp, texts, floor_count, rounds, env):
    """The floor, cold runs and an unchanged re-run on `texts`; returns the
    summary and whether the re-run wrote the pages of a cold run."""
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    write_inputs(os.path.join(tmp, "in"), texts)
    with open(os.path.join(tmp, "site.json"), "w", encoding="utf-8") as f:
        json.dump({"config": {"input_folder": "in", "output_folder": "site"}}, f)
    floor = ('mkdir -p floor && for f in in/*.mmd; do [ "$f" = in/broken.mmd ] && continue; '
             'mmdc -i "$f" -o "floor/$(basename "$f" .mmd).svg" || exit 1; done')
    site = [HOST, "chartsite", "-c", "site.json"]
    cold = ["env", f"XDG_CACHE_HOME={tmp}/cold-cache", *site]
    warm = ["env", f"XDG_CACHE_HOME={tmp}/warm-cache", *site]

    def clean():
        for d in ("site", "floor", "cold-cache"):
            shutil.rmtree(os.path.join(tmp, d), ignore_errors=True)

    subprocess.run(warm, cwd=tmp, env=env, check=True, capture_output=True)
    shutil.copytree(os.path.join(tmp, "site"), os.path.join(tmp, "first"))
    summary = compare(
        {
            f"{floor_count} x mmdc (floor)": ["sh", "-c", floor],
            "dor-vex chartsite, cold, DORVEX_JOBS=1": ["env", "DORVEX_JOBS=1", *cold],
            f"dor-vex chartsite, cold, default ({CORES})": cold,
            "dor-vex chartsite, unchanged re-run": warm,
        },
        rounds=rounds, cwd=tmp, env=env, setup=clean, cpu=True,
    )
    subprocess.run(warm, cwd=tmp, env=env, check=True, capture_output=True)
    return summary, same_pages(os.path.join(tmp, "first"), os.path.join(tmp, "site"))


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 1
    # the mmdc launcher lives beside dor-vex, also when run without make
    env = dict(os.environ, PATH=VENV_BIN + os.pathsep + os.environ["PATH"])
    with tempfile.TemporaryDirectory() as tmp:
        twenty, same20 = measure(os.path.join(tmp, "twenty"),
                                 {f"d{i:02d}.mmd": two_kinds(i) for i in range(20)}, 20, rounds,
                                 env)
        report(f"chartsite, 20 diagrams with mmdc (median of {rounds}, alternating)", twenty,
               "20 x mmdc (floor)")
        print(f"re-run pages byte for byte those of the first run: {same20}")

        twelve = {f"d{i:02d}.mmd": four_kinds(i) for i in range(12)}
        twelve["broken.mmd"] = BROKEN
        summary, same12 = measure(os.path.join(tmp, "twelve"), twelve, 12, rounds, env)
        report(f"chartsite, 12 diagrams of four kinds and a broken one (median of {rounds})",
               summary, "12 x mmdc (floor)")
        print(f"re-run pages byte for byte those of the first run: {same12}")

        stub_bin = os.path.join(tmp, "stub")
        os.mkdir(stub_bin)
        with open(os.path.join(stub_bin, "mmdc"), "w", encoding="utf-8") as f:
            f.write(STUB)
        os.chmod(os.path.join(stub_bin, "mmdc"), 0o755)
        stub_env = dict(os.environ, PATH=stub_bin + os.pathsep + os.environ["PATH"],
                        DORVEX_NO_CACHE="1")
        src = os.path.join(tmp, "twenty")
        floor = ('mkdir -p floor && for f in in/*.mmd; do '
                 'mmdc -i "$f" -o "floor/$(basename "$f" .mmd).svg" || exit 1; done')
        stub = compare(
            {
                "20 x stand-in (floor)": ["sh", "-c", floor],
                "dor-vex chartsite, stand-in": [HOST, "chartsite", "-c", "site.json"],
            },
            rounds=3, cwd=src, env=stub_env,
            setup=lambda: [shutil.rmtree(os.path.join(src, d), ignore_errors=True)
                           for d in ("site", "floor")],
        )
    report("chartsite, 20 diagrams with an instant stand-in renderer, no cache (median of 3)",
           stub, "20 x stand-in (floor)")


if __name__ == "__main__":
    main()
