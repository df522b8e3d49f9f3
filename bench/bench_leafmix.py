"""leaf-mix on a folder of 5-page PDFs (text and vector content) in 2x2: the
command against a minimal pypdf script doing the same placement (the floor),
and pdfjam --nup 2x2 where it is installed (Debian's texlive-extra-utils).

The issue asks for 200 files; pypdf's content-stream parsing makes that about
30 s per run here, so the default is 50 files to keep nine runs under three
minutes on a shared machine. `bench_leafmix.py 200` runs the full size."""

import json
import math
import os
import shutil
import subprocess
import sys
import tempfile

from common import VENV_BIN, compare, report

FILES, PAGES, ROUNDS = 50, 5, 3

# The floor: every page scaled, centred and merged into the next cell of a
# 2x2 grid on A4 pages, one bookmark per file, written once.
FLOOR = r'''
import os, sys
from pypdf import PdfReader, PdfWriter, Transformation
folder, out = sys.argv[1], sys.argv[2]
writer = PdfWriter()
cell_w, cell_h = (595 - 40) / 2, (842 - 40) / 2
index, page = 0, None
for name in sorted(os.listdir(folder)):
    reader = PdfReader(os.path.join(folder, name))
    first = True
    for src in reader.pages:
        if index % 4 == 0:
            page = writer.add_blank_page(595, 842)
        col, row = index % 2, (index % 4) // 2
        box = src.cropbox
        w, h = float(box.width), float(box.height)
        scale = min(cell_w / w, cell_h / h) * 0.95
        x = 20 + col * cell_w + (cell_w - w * scale) / 2
        y = 842 - 20 - (row + 1) * cell_h + (cell_h - h * scale) / 2
        op = Transformation().translate(-float(box.left), -float(box.bottom)).scale(scale, scale).translate(x, y)
        page.merge_transformed_page(src, op, expand=False)
        if first:
            writer.add_outline_item(title=name[:-4], page_number=page)
            first = False
        index += 1
writer.write(out)
'''


def make_inputs(folder):
    from fpdf import FPDF

    os.makedirs(folder)
    for f in range(FILES):
        pdf = FPDF(format="A4")
        pdf.set_auto_page_break(False)
        for p in range(PAGES):
            pdf.add_page()
            pdf.set_font("Helvetica", "B", 20)
            pdf.cell(0, 12, f"File {f:03d}, page {p + 1}", new_x="LMARGIN", new_y="NEXT")
            pdf.set_font("Helvetica", size=10)
            for line in range(30):
                pdf.cell(0, 5, f"Line {line:02d}: reading {math.sin(f + p + line):+.4f} V at {line * 0.5:.1f} s",
                         new_x="LMARGIN", new_y="NEXT")
            pdf.polyline([(15 + x, 250 - 25 * math.sin((x + f) / 9)) for x in range(180)])
            for r in range(8):
                pdf.rect(20 + r * 21, 270, 18, 10)
        pdf.output(os.path.join(folder, f"doc{f:03d}.pdf"))


def main():
    global FILES
    if sys.argv[1:2] == ["--make"]:
        FILES = int(sys.argv[3])
        make_inputs(sys.argv[2])
        return
    if len(sys.argv) > 1:
        FILES = int(sys.argv[1])
    with tempfile.TemporaryDirectory() as tmp:
        inputs = os.path.join(tmp, "in")
        # In a child: a child's peak memory starts from this process's size,
        # which must stay that of a bare interpreter.
        subprocess.run([sys.executable, __file__, "--make", inputs, str(FILES)], check=True)
        floor = os.path.join(tmp, "floor.py")
        with open(floor, "w") as f:
            f.write(FLOOR)
        config = os.path.join(tmp, "merge.json")
        with open(config, "w") as f:
            json.dump({"config": {"input_folder": inputs, "output_file": os.path.join(tmp, "leafmix.pdf"),
                                  "layout": {"cols": 2, "rows": 2}}}, f)
        contenders = {
            "pypdf script (floor)": [sys.executable, floor, inputs, os.path.join(tmp, "floor.pdf")],
            "dor-vex leaf-mix": [os.path.join(VENV_BIN, "dor-vex"), "leaf-mix", "-c", config],
        }
        pdfjam = shutil.which("pdfjam")
        if pdfjam:
            files = sorted(os.path.join(inputs, n) for n in os.listdir(inputs))
            contenders["pdfjam --nup 2x2"] = [pdfjam, "--nup", "2x2", "--a4paper", "--quiet",
                                              "--outfile", os.path.join(tmp, "pdfjam.pdf"), *files]
        summary = compare(contenders, rounds=ROUNDS, cwd=tmp)
        title = f"leaf-mix: {FILES} files x {PAGES} pages, 2x2 (median of {ROUNDS}, alternating)"
        report(title, summary, "pypdf script (floor)")
        for label, name in [("floor", "floor.pdf"), ("leaf-mix", "leafmix.pdf"), ("pdfjam", "pdfjam.pdf")]:
            path = os.path.join(tmp, name)
            if os.path.exists(path):
                print(f"output size {label}: {os.path.getsize(path) / 1024:.0f} KiB")
        if not pdfjam:
            print("pdfjam not installed (Debian texlive-extra-utils): no peer shown")


if __name__ == "__main__":
    main()
