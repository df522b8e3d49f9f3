"""Draws the two images the sample notes refer to, into the notes folder given."""

import math
import sys
from pathlib import Path

from PIL import Image, ImageDraw


def block_diagram(path):
    img = Image.new("RGB", (640, 200), "white")
    d = ImageDraw.Draw(img)
    boxes = [("RF front end", 20), ("DSP", 250), ("Host (USB)", 480)]
    for label, x in boxes:
        d.rounded_rectangle([x, 60, x + 140, 140], radius=10, outline=(55, 53, 47), width=3,
                            fill=(232, 242, 250))
        d.text((x + 70, 100), label, fill=(55, 53, 47), anchor="mm", font_size=16)
    for x0, x1, label in [(160, 250, "2x LVDS"), (390, 480, "USB 2.0")]:
        d.line([x0, 100, x1 - 8, 100], fill=(46, 170, 220), width=4)
        d.polygon([(x1, 100), (x1 - 12, 92), (x1 - 12, 108)], fill=(46, 170, 220))
        d.text(((x0 + x1) / 2, 80), label, fill=(100, 100, 100), anchor="mm", font_size=12)
    path.parent.mkdir(parents=True, exist_ok=True)
    img.save(path)


def range_plot(path):
    w, h = 640, 260
    img = Image.new("RGB", (w, h), "white")
    d = ImageDraw.Draw(img)
    d.line([40, 20, 40, h - 30, w - 10, h - 30], fill=(55, 53, 47), width=2)
    points = []
    for x in range(40, w - 10):
        r = (x - 40) / (w - 50) * 10
        level = 8 + 3 * math.sin(r * 7) + 160 * math.exp(-((r - 4.02) ** 2) / 0.01)
        points.append((x, h - 30 - level))
    d.line(points, fill=(235, 87, 87), width=2)
    d.text((w / 2, h - 12), "range (m)", fill=(55, 53, 47), anchor="mm", font_size=12)
    path.parent.mkdir(parents=True, exist_ok=True)
    img.save(path)


if __name__ == "__main__":
    notes = Path(sys.argv[1])
    block_diagram(notes / "Project Alpha" / "block diagram.png")
    range_plot(notes / "Lab Log" / "range plot.png")
