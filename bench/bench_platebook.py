"""platebook on 300 measurement images (half PNG 1600x1200, half JPEG) in three
groups, against a minimal Python script that makes the same fpdf2 calls (the
floor), with img2pdf (one image per page, no layout) as a reference for raw
image-to-PDF speed."""

import json
import os
import shutil
import sys
import tempfile
import time

from common import VENV_BIN, compare, report
from PIL import Image, ImageDraw

IMAGES = int(os.environ.get("PLATEBOOK_BENCH_IMAGES", 300))
ROUNDS = 3
GROUPS = ["setA", "setB", "setC"]

# The same document the command builds, written directly against fpdf2.
FLOOR = r'''
import json, math, os, sys
from fpdf import FPDF
from PIL import Image

class Report(FPDF):
    def header(self):
        if self.page_no() > 1:
            self.set_font("helvetica", "B", 10)
            self.set_text_color(150)
            self.cell(0, 10, f"Lab Report - Page {self.page_no()}", align="R")
            self.ln(10)

cfg = json.load(open(sys.argv[1], encoding="utf-8"))
conf, groups = cfg["config"], cfg["groups"]
folder = conf["image_folder"]
names = sorted(f for f in os.listdir(folder) if f.endswith((".png", ".jpg")))
data = {g["name"]: [os.path.join(folder, f) for f in names if g["pattern"] in f] for g in groups}
pdf = Report()
pdf.set_auto_page_break(auto=False)
pdf.set_margins(15, conf["top_margin"], 15)
usable = conf["page_height"] - conf["top_margin"] - conf["bottom_margin"]
pdf.add_page()
pdf.set_font("helvetica", "B", 20)
pdf.cell(0, 20, cfg["main_page"]["title_of_report"], align="C", new_x="LMARGIN", new_y="NEXT")
pdf.ln(10)
pdf.set_font("helvetica", "U", 12)
links = {}
for i, name in enumerate(data):
    links[name] = pdf.add_link()
    pdf.cell(0, 10, f"{i + 1}. {name}", link=links[name], new_x="LMARGIN", new_y="NEXT")
for g in groups:
    paths = data[g["name"]]
    cols = g["cols_per_row"]
    budget = usable / g["experiments_per_page"]
    ratio = 0
    for p in paths:
        with Image.open(p) as im:
            ratio = max(ratio, im.size[1] / im.size[0])
    rows = math.ceil(len(paths) / cols)
    cell_w = (180 - (cols - 1) * 5) / cols
    allowed = (budget - conf["title_buffer"]) / rows - conf["row_gap"]
    cell_h = min(cell_w * ratio, allowed)
    cell_w = cell_h / ratio
    pdf.add_page()
    pdf.set_link(links[g["name"]], y=pdf.get_y(), page=pdf.page_no())
    pdf.set_font("helvetica", "B", 14)
    pdf.cell(0, 8, g["name"], new_x="LMARGIN", new_y="NEXT")
    pdf.ln(1)
    y = pdf.get_y()
    for r in range(rows):
        for i, p in enumerate(paths[r * cols:(r + 1) * cols]):
            x = 15 + i * (cell_w + 5)
            pdf.image(p, x=x, y=y, w=cell_w, h=cell_h, keep_aspect_ratio=True)
            pdf.set_xy(x, y + cell_h + 1)
            pdf.set_font("helvetica", "B", 8)
            caption = os.path.splitext(os.path.basename(p))[0][len("Result"):].replace("_", " ").strip()
            pdf.multi_cell(cell_w, 4, f"Figure {i + 1}:  " + caption, align="C")
        y += cell_h + conf["row_gap"]
pdf.output(os.path.join(folder, conf["output_file"]))
'''


def plot(path, index):
    """A white 1600x1200 plot with a grid and a curve, like a measurement export."""
    img = Image.new("RGB", (1600, 1200), "white")
    d = ImageDraw.Draw(img)
    for i in range(0, 1600, 80):
        d.line([(i, 0), (i, 1200)], fill=(225, 225, 225))
    for i in range(0, 1200, 80):
        d.line([(0, i), (1600, i)], fill=(225, 225, 225))
    d.line([(x, 900 - ((x * (index + 7)) % 613)) for x in range(0, 1600, 4)], fill=(20, 70, 170), width=3)
    img.save(path, quality=90) if path.endswith(".jpg") else img.save(path, compress_level=3)


def main():
    start = time.perf_counter()
    with tempfile.TemporaryDirectory() as tmp:
        images = os.path.join(tmp, "images")
        os.makedirs(images)
        paths = []
        for n in range(IMAGES):
            ext = "png" if n % 2 == 0 else "jpg"
            path = os.path.join(images, f"Result_{GROUPS[n % 3]}_{n:03d}.{ext}")
            plot(path, n)
            paths.append(path)
        per_group = -(-IMAGES // 3)
        cols = max(1, -(-per_group // 10))  # ten rows per group, one group per page
        cfg = {
            "config": {"image_folder": images, "file_prefix": "Result", "output_file": "report.pdf",
                       "page_height": 297, "top_margin": 10, "bottom_margin": 5,
                       "title_buffer": 25, "row_gap": 10},
            "main_page": {"title_of_report": "Benchmark"},
            "groups": [{"name": g, "pattern": g, "experiments_per_page": 1, "cols_per_row": cols}
                       for g in GROUPS],
        }
        config = os.path.join(tmp, "report.json")
        with open(config, "w", encoding="utf-8") as f:
            json.dump(cfg, f)
        floor = os.path.join(tmp, "floor.py")
        with open(floor, "w", encoding="utf-8") as f:
            f.write(FLOOR)

        contenders = {
            "fpdf2 script (floor)": [sys.executable, floor, config],
            "dor-vex platebook": [os.path.join(VENV_BIN, "dor-vex"), "platebook", "-c", config],
        }
        if shutil.which("img2pdf"):
            contenders["img2pdf (reference, no layout)"] = ["img2pdf", *paths, "-o", os.path.join(tmp, "img2pdf.pdf")]
        else:
            print("img2pdf not found (make bench installs it): reference skipped")
        print(f"{IMAGES} images written in {time.perf_counter() - start:.1f} s")
        summary = compare(contenders, rounds=ROUNDS, cwd=tmp)
    report(f"platebook: {IMAGES} images in 3 groups (median of {ROUNDS}, alternating)",
           summary, "fpdf2 script (floor)")


if __name__ == "__main__":
    main()
