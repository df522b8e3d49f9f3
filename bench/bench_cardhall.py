"""card-hall on 10,000 cards against its floor: starting Python with click and
PyYAML and parsing the same YAML file, which every run has to pay."""

import os
import sys
import tempfile

from common import VENV_BIN, compare, report

HOST = os.path.join(VENV_BIN, "dor-vex")
CARDS = 10_000


def write_yaml(path):
    lines = [
        'folder_path: "site"',
        'base_url: "https://files.example/docs/"',
        'document_title: "Benchmark"',
        "",
    ]
    for n in range(1, CARDS + 1):
        lines += [
            f'document{n}_title: "Document number {n}"',
            f'document{n}_file: "{"https://other.example/" if n % 5 == 0 else "/"}folder/file-{n}.pdf"',
            f'document{n}_description: "Description of <b>document</b> {n}, with some words."',
            f'document{n}_icon: "\U0001f4c4"',
        ]
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


def main():
    with tempfile.TemporaryDirectory() as tmp:
        cfg = os.path.join(tmp, "cards.yaml")
        write_yaml(cfg)
        floor = f"import click, yaml\nwith open({cfg!r}, encoding='utf-8') as f: yaml.safe_load(f)"
        summary = compare(
            {
                "floor: import click, yaml + safe_load": [sys.executable, "-c", floor],
                "dor-vex card-hall (10,000 cards)": [HOST, "card-hall", "-c", cfg],
            },
            rounds=3,
            cwd=tmp,
        )
        size = os.path.getsize(os.path.join(tmp, "site", "index.html"))
    report(f"card-hall, {CARDS:,} cards (median of 3, alternating); page {size / 2**20:.1f} MiB",
           summary, "floor: import click, yaml + safe_load")


if __name__ == "__main__":
    main()
