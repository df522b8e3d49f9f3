"""chartsite on 20 diagrams against 20 bare mmdc calls on the same files (the
floor: rendering is mmdc's work, the site should add next to nothing). A second
comparison swaps in an instant stand-in renderer, which shows chartsite's own
cost without mmdc's two seconds of browser start per diagram."""

import json
import os
import shutil
import sys
import tempfile

from common import VENV_BIN, compare, report

HOST = os.path.join(VENV_BIN, "dor-vex")
COUNT = 20


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
        summary = compare(
            {
                f"{COUNT} x mmdc (floor)": ["sh", "-c", floor],
                "dor-vex chartsite": [HOST, "chartsite", "-c", "site.json"],
            },
            rounds=rounds,
            cwd=tmp,
            env=real,
            setup=clean,
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
    report(f"chartsite, {COUNT} diagrams with an instant stand-in renderer (median of 3)", stub,
           f"{COUNT} x stand-in (floor)")


if __name__ == "__main__":
    main()
