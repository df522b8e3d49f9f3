"""Writes the sample PDFs of the leaf-mix demo into the folder given as the
first argument: a three-page report, a landscape drawing, a scan stored
sideways with /Rotate pages, and a page with a crop box."""

import math
import os
import sys

from fpdf import FPDF
from pypdf import PdfReader, PdfWriter
from pypdf.generic import NameObject, NumberObject, RectangleObject


def report(path):
    pdf = FPDF(format="A4")
    pdf.set_auto_page_break(False)
    for n in range(1, 4):
        pdf.add_page()
        pdf.set_font("Helvetica", "B", 28)
        pdf.cell(0, 20, f"Test report, page {n}", new_x="LMARGIN", new_y="NEXT")
        pdf.set_font("Helvetica", size=14)
        for line in range(12):
            pdf.cell(0, 9, f"Measurement {n}.{line + 1}: {20 + 3.7 * line * n:.1f} dB", new_x="LMARGIN", new_y="NEXT")
        # A small curve, so the page carries vector content too.
        pdf.set_draw_color(20, 90, 200)
        pdf.set_line_width(0.8)
        points = [(20 + x * 1.7, 250 - 30 * math.sin(x / (6 + n))) for x in range(100)]
        pdf.polyline(points)
        pdf.rect(15, 200, 180, 80)
    pdf.output(path)


def landscape_drawing(path):
    pdf = FPDF(orientation="L", format="A4")
    pdf.add_page()
    pdf.set_font("Helvetica", "B", 30)
    pdf.cell(0, 20, "Landscape floor plan", new_x="LMARGIN", new_y="NEXT")
    pdf.set_line_width(1)
    pdf.rect(20, 40, 250, 150)
    for x in (100, 180):
        pdf.line(x, 40, x, 190)
    pdf.line(20, 120, 270, 120)
    pdf.set_fill_color(240, 160, 40)
    pdf.ellipse(210, 60, 40, 40, style="F")
    pdf.output(path)


def sideways_scan(path):
    """Landscape content stored on portrait pages, as scanners do; /Rotate 90
    (and 270 for a page drawn the other way) turns it upright in a viewer."""
    tmp = path + ".tmp"
    pdf = FPDF(format="A4")
    for angle, label in ((90, "Rotate 90"), (-90, "Rotate 270")):
        pdf.add_page()
        with pdf.rotation(angle, x=105, y=148.5):
            pdf.set_font("Helvetica", "B", 30)
            pdf.text(40, 110, f"Scanned sheet ({label})")
            pdf.set_line_width(1.5)
            pdf.rect(-20, 70, 250, 160)
            pdf.set_fill_color(200, 30, 30)
            pdf.rect(-10, 80, 30, 20, style="F")  # marks the upper-left corner as read
    pdf.output(tmp)
    writer = PdfWriter(clone_from=PdfReader(tmp))
    for page, rotate in zip(writer.pages, (90, 270)):
        page[NameObject("/Rotate")] = NumberObject(rotate)
    writer.write(path)
    os.remove(tmp)


def cropped(path):
    pdf = FPDF(format="A4")
    pdf.add_page()
    pdf.set_font("Helvetica", size=12)
    pdf.cell(0, 10, "Outside the crop box: never shown")
    pdf.set_fill_color(40, 160, 90)
    pdf.rect(50, 80, 110, 110, style="F")
    pdf.set_font("Helvetica", "B", 24)
    pdf.set_text_color(255, 255, 255)
    pdf.text(62, 140, "Cropped page")
    pdf.output(path + ".tmp")
    writer = PdfWriter(clone_from=PdfReader(path + ".tmp"))
    mm = 72 / 25.4
    writer.pages[0].cropbox = RectangleObject((45 * mm, (297 - 195) * mm, 165 * mm, (297 - 75) * mm))
    writer.write(path)
    os.remove(path + ".tmp")


def main(folder):
    os.makedirs(folder, exist_ok=True)
    report(os.path.join(folder, "01_report.pdf"))
    landscape_drawing(os.path.join(folder, "02_floor_plan.pdf"))
    sideways_scan(os.path.join(folder, "03_scan.pdf"))
    cropped(os.path.join(folder, "04_cropped.pdf"))


if __name__ == "__main__":
    main(sys.argv[1])
