"""chartsite on 20 diagrams against 20 bare mmdc calls on the same files, one
after the other (the floor: rendering is mmdc's work). chartsite runs with one
renderer at a time (DORVEX_JOBS=1), two, and its default (one per usable
core); from the floor's processor time per diagram the script also estimates
the ratio on 8 cores. A second comparison swaps in an instant stand-in
renderer, which shows chartsite's own cost without mmdc's two seconds of
browser start per diagram."""

import json
import os
import shutil
import sys
import tempfile

from common import VENV_BIN, compare, report

HOST = os.path.join(VENV_BIN, "dor-vex")
COUNT = 20
CORES = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()


def expected_on(cores, floor_time, floor_cpu):
    """The ratio to the floor with `cores` renderers at once: bound by the
    processor time all renders need, shared by the cores, and by the rounds
    of renders one after the other, each as long as one render of the floor."""
    rounds = -(-COUNT // cores)
    return max(floor_cpu / cores, rounds * floor_time / COUNT) / floor_time


def diagram(i):
    if i % 2:
        steps = "\n".join(f"    S{i}_{k} --> S{i}_{k + 1}[Step {k + 1}]" for k in range(6))
        return f"flowchart LR\n    S{i}_0[Start {i}]\n{steps}\n    S{i}_6 --> S{i}_0\n"
    lines = "\n".join(f"    A->>B: request {k}\n    B-->>A: reply {k}" for k in range(4))
    head = f"sequenceDiagram\n    participant A as Client {i}\n    participant B as Server\n"
    return f"{head}{lines}\n"


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 1
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "in")
        os.mkdir(src)
        for i in range(COUNT):
            with open(os.path.join(src, f"d{i:02d}.mmd"), "w", encoding="utf-8") as f:
                f.write(diagram(i))
        with open(os.path.join(tmp, "site.json"), "w", encoding="utf-8") as f:
            json.dump({"config": {"input_folder": "in", "output_folder": "site"}}, f)
        floor = ('mkdir -p floor && for f in in/*.mmd; do '
                 'mmdc -i "$f" -o "floor/$(basename "$f" .mmd).svg" || exit 1; done')

        def clean():
            for d in ("site", "floor"):
                shutil.rmtree(os.path.join(tmp, d), ignore_errors=True)

        # the mmdc launcher lives beside dor-vex, also when run without make
        real = dict(os.environ, PATH=VENV_BIN + os.pathsep + os.environ["PATH"])
        site = [HOST, "chartsite", "-c", "site.json"]
        summary = compare(
            {
                f"{COUNT} x mmdc (floor)": ["sh", "-c", floor],
                "dor-vex chartsite, DORVEX_JOBS=1": ["env", "DORVEX_JOBS=1", *site],
                "dor-vex chartsite, DORVEX_JOBS=2": ["env", "DORVEX_JOBS=2", *site],
                f"dor-vex chartsite, default ({CORES})": site,
            },
            rounds=rounds,
            cwd=tmp,
            env=real,
            setup=clean,
            cpu=True,
        )
        pages = len([n for n in os.listdir(os.path.join(tmp, "site")) if n.endswith(".html")])
        # The stand-in copies a fixed SVG to the -o path.
        stub_bin = os.path.join(tmp, "stub")
        os.mkdir(stub_bin)
        with open(os.path.join(stub_bin, "mmdc"), "w", encoding="utf-8") as f:
            f.write('#!/bin/sh\nprintf \'<svg xmlns="http://www.w3.org/2000/svg" '
                    'width="10" height="10"/>\' > "$4"\n')
        os.chmod(os.path.join(stub_bin, "mmdc"), 0o755)
        env = dict(os.environ, PATH=stub_bin + os.pathsep + os.environ["PATH"])
        stub = compare(
            {
                f"{COUNT} x stand-in (floor)": ["sh", "-c", floor],
                "dor-vex chartsite, stand-in": [HOST, "chartsite", "-c", "site.json"],
            },
            rounds=3,
            cwd=tmp,
            env=env,
            setup=clean,
        )
    report(f"chartsite, {COUNT} diagrams with mmdc (median of {rounds}, alternating)", summary,
           f"{COUNT} x mmdc (floor)")
    print(f"pages written: {pages} ({COUNT} diagrams and the index)")
    floor_time, _, floor_cpu = summary[f"{COUNT} x mmdc (floor)"]
    print(f"processor time per diagram: {floor_cpu / COUNT:.2f} s of {floor_time / COUNT:.2f} s; "
          f"expected ratio on {CORES} cores {expected_on(CORES, floor_time, floor_cpu):.2f}, "
          f"on 8 cores {expected_on(8, floor_time, floor_cpu):.2f}")
    report(f"chartsite, {COUNT} diagrams with an instant stand-in renderer (median of 3)", stub,
           f"{COUNT} x stand-in (floor)")


if __name__ == "__main__":
    main()
