"""Writes the demo's measurement images into the folder given as argument:
spectrum plots (PNG, landscape, one extra wide) and range-Doppler heat maps
(JPEG, portrait and square), so the report shows both groups and how images
of different shapes share a grid."""

import math
import random
import sys
from pathlib import Path

from PIL import Image, ImageDraw


def spectrum(path, size, peaks, seed):
    rnd = random.Random(seed)
    w, h = size
    img = Image.new("RGB", size, "white")
    d = ImageDraw.Draw(img)
    left, top, right, bottom = 60, 30, w - 20, h - 50
    for i in range(11):  # grid
        x = left + (right - left) * i / 10
        y = top + (bottom - top) * i / 10
        d.line([(x, top), (x, bottom)], fill=(225, 225, 225))
        d.line([(left, y), (right, y)], fill=(225, 225, 225))
    d.rectangle([left, top, right, bottom], outline="black", width=2)
    points = []
    for px in range(left, right):
        f = (px - left) / (right - left)
        level = -80 + rnd.uniform(-3, 3)
        for centre, height in peaks:
            level += height * math.exp(-(((f - centre) / 0.012) ** 2))
        y = bottom - (level + 90) / 90 * (bottom - top)
        points.append((px, max(top, min(bottom, y))))
    d.line(points, fill=(20, 70, 170), width=2)
    d.text((left, bottom + 12), "frequency bin", fill="black")
    d.text((8, top), "dB", fill="black")
    img.save(path)


def heat_map(path, size, targets, seed):
    rnd = random.Random(seed)
    w, h = size
    img = Image.new("RGB", size)
    pixels = img.load()
    for y in range(h):
        for x in range(w):
            v = rnd.uniform(0, 0.15)
            for tx, ty in targets:
                v += math.exp(-((x / w - tx) ** 2 + (y / h - ty) ** 2) / 0.002)
            v = min(v, 1.0)
            pixels[x, y] = (int(255 * v), int(255 * v ** 2), int(90 + 120 * (1 - v)))
    img.save(path, quality=85)


def main(folder):
    out = Path(folder)
    out.mkdir(parents=True, exist_ok=True)
    for ch, peaks in enumerate([[(0.3, 60)], [(0.3, 58), (0.55, 25)], [(0.31, 61)], [(0.7, 40)]], 1):
        spectrum(out / f"Result_g8_Peak_60dB_ch{ch}.png", (640, 480), peaks, ch)
    spectrum(out / "Result_g8_Peak_60dB_sweep.png", (960, 400), [(0.2, 50), (0.8, 45)], 9)
    for n, targets in enumerate([[(0.3, 0.4)], [(0.6, 0.2), (0.4, 0.7)], [(0.5, 0.5)]], 1):
        heat_map(out / f"Result_RD_map_frame{n}.jpg", (240, 300), targets, n)
    heat_map(out / "Result_RD_map_summary.jpg", (260, 260), [(0.5, 0.3), (0.3, 0.6)], 7)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "images")
