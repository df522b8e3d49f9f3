"""The platebook worker: image discovery, grid layout and the rendered report,
read back with pypdf and rendered with pdftoppm."""

import json
import logging
import os
import re
import struct
import subprocess
import sys
import zlib

import pytest
from PIL import Image
from pypdf import PdfReader

import dorvex.platebook as pb

NOTO_CJK = "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc"


def template(**config):
    cfg = json.loads(json.dumps(pb.DEFAULT_CONFIG))
    cfg["config"].update(config)
    return cfg


def make_image(folder, name, size=(40, 30), colour=(200, 30, 30)):
    path = folder / name
    Image.new("RGB", size, colour).save(path)
    return str(path)


def run(runner, tmp_path, cfg):
    path = tmp_path / "report.json"
    path.write_text(json.dumps(cfg, ensure_ascii=False), encoding="utf-8")
    return runner.invoke(pb.cmd_platebook, ["-c", str(path)])


def generator(cfg):
    return pb.ReportGenerator(cfg["config"], cfg["main_page"], cfg["groups"])


def link_targets(reader):
    """Page index each link annotation of page 1 points at, in order."""
    targets = []
    for annot in reader.pages[0].get("/Annots", []):
        dest = annot.get_object()["/Dest"]
        targets.append(reader.get_page_number(dest[0].get_object()))
    return targets


# Layout


@pytest.mark.parametrize(
    "cfg, args, expected",
    [
        ({}, (1, 87.5, 0.75, 141), (87.5, 65.625)),
        ({}, (2, 87.5, 0.75, 141), (64, 48)),
        ({}, (3, 87.5, 0.75, 141), (116 / 3 - 10) / 0.75),
        ({}, (0, 87.5, 0.75, 141), (87.5, 0)),
        ({}, (1, 80, 0.75, 95), (80, 60)),  # equality keeps the full width
        ({}, (1, 180, 0.75, 282), (180, 135)),
        ({}, (1, 80, 2.0, 282), (80, 160)),  # portrait cells are taller than wide
        ({"title_buffer": 45}, (2, 87.5, 0.75, 141), (152 / 3, 38)),
        ({"row_gap": 30}, (2, 87.5, 0.75, 141), (112 / 3, 28)),
    ],
)
def test_calculate_layout_size(cfg, args, expected):
    w, h = generator(template(**cfg)).calculate_layout_size(*args)
    if isinstance(expected, float):  # the six-image example: only the width given
        assert h == pytest.approx(116 / 3 - 10) and w == pytest.approx(expected)
    else:
        assert (w, h) == pytest.approx(expected, abs=1e-5)


@pytest.mark.parametrize(
    "config, usable", [({"top_margin": 10, "bottom_margin": 5}, "282.0mm"), ({"row_gap": 5}, "267.0mm")]
)
def test_constructor(caplog, config, usable):
    with caplog.at_level(logging.INFO):
        gen = pb.ReportGenerator(config, {}, [])
    assert list(vars(gen)) == ["conf", "main_page", "groups_def", "pdf", "links", "total_usable_h"]
    assert isinstance(gen.pdf, pb.LabReport) and isinstance(gen.pdf, pb.FPDF)
    assert gen.pdf.page == 0 and gen.links == {}
    assert caplog.messages == [f"[INIT] Total usable height: {usable}"]


# Discovery


def test_max_ratio(tmp_path, caplog):
    wide = make_image(tmp_path, "wide.png", (200, 100))
    tall = make_image(tmp_path, "tall.jpg", (100, 200))
    broken = tmp_path / "broken.png"
    broken.write_bytes(b"not an image")
    gen = generator(template())
    caplog.clear()
    assert gen.get_max_ratio_from_images([{"path": wide}, {"path": tall}]) == 2.0
    assert gen.get_max_ratio_from_images([{"path": wide}]) == 0.5
    assert gen.get_max_ratio_from_images([]) == 0.75
    with caplog.at_level(logging.WARNING):
        assert gen.get_max_ratio_from_images([{"path": str(broken)}, {"path": "missing.png"}]) == 0.75
    assert [m.split(":")[0] for m in caplog.messages] == [
        f"Cannot read image ratio for {broken}",
        "Cannot read image ratio for missing.png",
    ]


def test_parse_files_groups(tmp_path):
    for name in ["Result_a_2.png", "Result_a_10.jpg", "Result_b_1.bmp", "notes.txt"]:
        if name.endswith("txt"):
            (tmp_path / name).write_text("x")
        else:
            make_image(tmp_path, name)
    groups = [
        {"name": "A", "pattern": "a_"},
        {"name": "blank", "pattern": "   "},
        {"name": "none", "pattern": "zzz"},
        {"name": "all", "pattern": "Result"},
        {"name": "A", "pattern": "b_"},  # same name: the later matches, first position
    ]
    data = pb.ReportGenerator({"image_folder": str(tmp_path), "file_prefix": "Result"}, {}, groups).parse_files()
    assert list(data) == ["A", "none", "all"]
    assert data["A"] == [{"path": str(tmp_path / "Result_b_1.bmp"), "caption": "b 1"}]
    assert data["none"] == []
    assert [e["caption"] for e in data["all"]] == ["a 2", "a 10", "b 1"]


def test_parse_files_missing_folder(caplog):
    gen = pb.ReportGenerator({"image_folder": "/no/such/folder"}, {}, [{"name": "A", "pattern": "a"}])
    caplog.clear()
    with caplog.at_level(logging.ERROR):
        assert gen.parse_files() == {}
    assert caplog.messages == ["Error: Image folder not found: /no/such/folder"]


# The rendered report


def test_template_report_one_page(runner, tmp_path):
    for i in range(4):
        make_image(tmp_path, f"Result_g8_Peak_60dB_{i}.png", (80, 60))
    result = run(runner, tmp_path, template(image_folder=str(tmp_path), output_file="out.pdf"))
    assert result.exit_code == 0, result.output
    assert f"Success! Custom Report Generated: {tmp_path / 'out.pdf'}" in result.stderr
    reader = PdfReader(tmp_path / "out.pdf")
    assert len(reader.pages) == 1
    text = reader.pages[0].extract_text()
    assert "Lab Report - Page" not in text
    for line in ["DUT", ":   duRUD + DO1240", "ENVIRONMENT", "Guard Cell", "Figure 2:  g8 Peak 60dB 3"]:
        assert line in text
    assert "1. Group 0: 1st Experiment (Result by Metric)" in text
    assert link_targets(reader) == [0]


def test_groups_on_own_pages_with_links(runner, tmp_path, render_pdf_page):
    make_image(tmp_path, "x_one.png", (80, 60), (0, 0, 255))
    make_image(tmp_path, "y_two.jpg", (60, 80), (0, 160, 0))
    cfg = template(image_folder=str(tmp_path), output_file="lab.pdf")
    cfg["groups"] = [
        {"name": "First", "pattern": "x_", "experiments_per_page": 1},
        {"name": "Empty", "pattern": "nothing"},
        {"name": "Second", "pattern": "y_", "experiments_per_page": 1, "cols_per_row": 3},
    ]
    result = run(runner, tmp_path, cfg)
    assert result.exit_code == 0, result.output
    reader = PdfReader(tmp_path / "lab.pdf")
    assert len(reader.pages) == 3
    texts = [p.extract_text() for p in reader.pages]
    assert "2. Empty" in texts[0]
    assert "Lab Report - Page 2" in texts[1] and "First" in texts[1] and "Figure 1:  x one" in texts[1]
    assert "Lab Report - Page 3" in texts[2] and "Second" in texts[2]
    assert "Empty" not in texts[1] + texts[2]
    targets = link_targets(reader)
    assert targets[0] == 1 and targets[2] == 2  # the empty group's link keeps fpdf's default
    # the image stands below the title band: not blank there
    img = render_pdf_page(tmp_path / "lab.pdf", page=2, dpi=30)
    assert img.getpixel((int(40 / 25.4 * 30), int(60 / 25.4 * 30))) == pytest.approx((0, 0, 255), abs=30)


def test_facts_with_missing_pairs(runner, tmp_path):
    make_image(tmp_path, "Result_g8_Peak_60dB.png")
    cfg = template(image_folder=str(tmp_path))
    cfg["main_page"] = {
        "title_of_report": 2026,
        "dut_inform": "board",
        "environment": "lab",
        "user_title_1": "Lost",
        "user_content_1": "",
        "user_title_2": " Kept ",
        "user_content_2": 80,
        "user_title_7": "No content",
        "user_title_11": "Too far",
        "user_content_11": "x",
    }
    result = run(runner, tmp_path, cfg)
    assert result.exit_code == 0, result.output
    lines = PdfReader(tmp_path / "test.pdf").pages[0].extract_text().splitlines()
    assert lines[:4] == ["2026", "DUT :   board", "ENVIRONMENT :   lab", "Kept :   80"]


def test_images_keep_their_shape(runner, tmp_path, render_pdf_page):
    make_image(tmp_path, "s_1.png", (100, 200), (255, 0, 0))  # the tallest shape
    make_image(tmp_path, "s_2.png", (400, 200), (0, 0, 255))
    cfg = template(image_folder=str(tmp_path))
    cfg["groups"] = [{"name": "Shapes", "pattern": "s_", "experiments_per_page": 1, "cols_per_row": 2}]
    assert run(runner, tmp_path, cfg).exit_code == 0
    img = render_pdf_page(tmp_path / "test.pdf", page=2, dpi=40)

    def box(colour):
        xs, ys = [], []
        for x in range(img.width):
            for y in range(img.height):
                if sum(abs(a - b) for a, b in zip(img.getpixel((x, y)), colour)) < 60:
                    xs.append(x)
                    ys.append(y)
        return min(xs), min(ys), max(xs) + 1, max(ys) + 1

    red, blue = box((255, 0, 0)), box((0, 0, 255))
    # cells are 87.5 x 175 mm; the red image fills its cell, the blue one keeps
    # 2:1 at the cell width, centred in the cell's height
    assert (red[3] - red[1]) / (red[2] - red[0]) == pytest.approx(2.0, rel=0.05)
    assert (blue[2] - blue[0]) / (blue[3] - blue[1]) == pytest.approx(2.0, rel=0.05)
    assert blue[2] - blue[0] == pytest.approx(red[2] - red[0], abs=2)
    assert (blue[1] + blue[3]) / 2 == pytest.approx((red[1] + red[3]) / 2, abs=2)


@pytest.mark.parametrize(
    "config, groups",
    [
        ({"image_folder": "missing"}, [{"name": "A", "pattern": "a"}]),
        ({"image_folder": "."}, [{"name": "A", "pattern": " "}]),
    ],
)
def test_no_data_exits_1(runner, in_tmp, config, groups):
    result = run(runner, in_tmp, {"config": config, "main_page": {"x": 1}, "groups": groups})
    assert result.exit_code == 1
    assert "No data found matching patterns. Aborting." in result.stderr
    assert not any(p.suffix == ".pdf" for p in in_tmp.iterdir())


@pytest.mark.parametrize(
    "change, message",
    [
        ({"config": "x"}, 'config must be an object (got "x")'),
        ({"groups": {"name": "x"}}, 'groups must be an array of objects (got {"name": "x"})'),
        ({"config": {"top_margin": "10"}}, 'config.top_margin must be a number (got "10")'),
        ({"config": {"row_gap": -1}}, "config.row_gap must be a number of at least 0 (got -1)"),
        ({"config": {"page_height": 20}}, "config.page_height must be more than top_margin + bottom_margin (30.0)"),
        ({"config": {"output_file": 7}}, "config.output_file must be a non-empty string (got 7)"),
        ({"config": {"output_file": None}}, "config.output_file must be a non-empty string (got null)"),
        ({"config": {"image_folder": None}}, "config.image_folder must be a string (got null)"),
        ({"group": {"pattern": None}}, "groups[0].pattern must be a string (got null)"),
        ({"group": {"cols_per_row": 0}}, "groups[0].cols_per_row must be a positive integer (got 0)"),
        ({"group": {"cols_per_row": 1.5}}, "groups[0].cols_per_row must be a positive integer (got 1.5)"),
        ({"group": {"cols_per_row": 40}}, "groups[0].cols_per_row must be at most 36"),
        ({"group": {"experiments_per_page": 0}}, "groups[0].experiments_per_page must be a number of at least 1 (got 0)"),
        ({"group": {"experiments_per_page": 0.03}}, "groups[0].experiments_per_page must be a number of at least 1"),
        ({"group": {"experiments_per_page": "2"}}, 'groups[0].experiments_per_page must be a number (got "2")'),
        ({"group": {"experiments_per_page": 9}}, 'groups[0].experiments_per_page must be small enough to leave group "G" room'),
        ({"group": {"name": None}}, "groups[0].name must be a string (got null)"),
        ({"config": {"image_folder": "a\0b"}}, "config.image_folder must be a path without NUL characters"),
        ({"config": {"output_file": "a\0b.pdf"}}, "config.output_file must be a path without NUL characters"),
        # integers too large for a double
        *[({"config": {key: 10**400}}, f"config.{key} must be a {what} below 1e308")
          for key, what in [("page_height", "positive number"), ("top_margin", "number"),
                            ("bottom_margin", "number"), ("title_buffer", "number"), ("row_gap", "number")]],
        ({"group": {"experiments_per_page": 10**400}}, "groups[0].experiments_per_page must be a number below 1e308"),
        ({"group": {"cols_per_row": 10**400}}, "groups[0].cols_per_row must be a positive integer below 1e308"),
    ],
)
def test_bad_configuration_one_line(runner, tmp_path, change, message):
    cfg = {"config": {"image_folder": str(tmp_path)}, "main_page": {"dut_inform": "x"},
           "groups": [{"name": "G", "pattern": "a"}]}
    cfg["config"] = change.get("config", cfg["config"])
    cfg["groups"] = change.get("groups", cfg["groups"])
    cfg["groups"][0].update(change.get("group", {})) if "group" in change else None
    make_image(tmp_path, "a.png")
    result = run(runner, tmp_path, cfg)
    assert result.exit_code == 1
    assert result.stderr.startswith(f"Error: {tmp_path / 'report.json'}: {message}")
    assert result.stderr.count("\n") == 1
    assert not any(p.suffix == ".pdf" for p in tmp_path.iterdir())


def test_output_never_replaces_an_image(runner, tmp_path):
    make_image(tmp_path, "a.png")
    cfg = {"config": {"image_folder": str(tmp_path), "output_file": "a.png"}, "main_page": {"x": 1},
           "groups": [{"name": "G", "pattern": "zzz"}]}  # also an image no group uses
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()} | {"report.json": json.dumps(cfg).encode()}
    result = run(runner, tmp_path, cfg)
    assert result.exit_code == 1
    assert result.stderr.splitlines()[-1] == (
        f"Error: {tmp_path / 'report.json'}: output_file would overwrite the input {tmp_path / 'a.png'}")
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before


def test_too_many_rows_for_the_budget(runner, tmp_path):
    for i in range(12):
        make_image(tmp_path, f"Result_g8_Peak_60dB_{i}.png", (8, 6))
    cfg = template(image_folder=str(tmp_path))
    cfg["groups"][0]["cols_per_row"] = 1
    result = run(runner, tmp_path, cfg)
    assert result.exit_code == 1
    assert "Group 'Group 0: 1st Experiment (Result by Metric)': 12 images in 12 rows do not fit" in result.stderr
    assert not (tmp_path / "test.pdf").exists()


def unicode_config(tmp_path, title):
    make_image(tmp_path, "Result_g8_Peak_60dB_→.png")
    cfg = template(image_folder=str(tmp_path))
    cfg["main_page"]["title_of_report"] = title
    cfg["groups"][0]["name"] = "Gain → Ω"
    return cfg


def test_unicode_text_with_system_font(runner, tmp_path, caplog):
    with caplog.at_level(logging.WARNING):
        result = run(runner, tmp_path, unicode_config(tmp_path, "Messung → Ω"))
    assert result.exit_code == 0, result.output
    assert caplog.messages == []
    reader = PdfReader(tmp_path / "test.pdf")
    text = reader.pages[0].extract_text()
    assert "Messung → Ω" in text and "1. Gain → Ω" in text and "Figure 1:  g8 Peak 60dB →" in text
    fonts = {f["/BaseFont"] for f in reader.pages[0]["/Resources"]["/Font"].values()}
    assert any("DejaVuSans" in f for f in fonts)


@pytest.mark.skipif(not os.path.exists(NOTO_CJK), reason="Noto Sans CJK is not installed")
def test_chinese_text_with_cjk_fallback(runner, tmp_path, caplog):
    with caplog.at_level(logging.WARNING):
        result = run(runner, tmp_path, unicode_config(tmp_path, "实验报告"))
    assert result.exit_code == 0, result.output
    assert caplog.messages == []
    # poppler reads the fallback font's text back exactly
    text = subprocess.run(["pdftotext", tmp_path / "test.pdf", "-"], capture_output=True, text=True).stdout
    assert text.startswith("实验报告\n")


def test_unicode_text_without_fonts_is_replaced(runner, tmp_path, caplog, monkeypatch):
    monkeypatch.setattr(pb, "UNICODE_FONTS", [("Gone", "/no/font.ttf", "/no/font-bold.ttf", 0)])
    with caplog.at_level(logging.WARNING):
        result = run(runner, tmp_path, unicode_config(tmp_path, "Messung → Ω é"))
    assert result.exit_code == 0, result.output
    assert len(caplog.messages) == 1 and "replaced by '?'" in caplog.messages[0]
    text = PdfReader(tmp_path / "test.pdf").pages[0].extract_text()
    assert "Messung ? ? é" in text and "1. Gain ? ?" in text


def test_failed_run_keeps_earlier_report(runner, tmp_path, monkeypatch):
    def write_half(pdf, name):
        with open(name, "wb") as f:
            f.write(b"%PDF-1.3 half")
        raise OSError(28, "No space left on device")

    make_image(tmp_path, "Result_g8_Peak_60dB_1.png")
    (tmp_path / "test.pdf").write_bytes(b"earlier report")
    monkeypatch.setattr(pb.LabReport, "output", write_half)
    result = run(runner, tmp_path, template(image_folder=str(tmp_path)))
    assert result.exit_code == 1
    assert (tmp_path / "test.pdf").read_bytes() == b"earlier report"
    assert sorted(p.name for p in tmp_path.iterdir() if p.suffix == ".pdf") == ["test.pdf"]


def test_output_path_joins_image_folder(runner, tmp_path):
    make_image(tmp_path, "Result_g8_Peak_60dB.png")
    target = tmp_path / "elsewhere" / "abs.pdf"
    result = run(runner, tmp_path, template(image_folder=str(tmp_path), output_file=str(target)))
    assert result.exit_code == 1
    # the output asked for, not the temporary beside it
    assert f"Cannot write the report {target}: No such file or directory\n" in result.stderr
    target.parent.mkdir()
    assert run(runner, tmp_path, template(image_folder=str(tmp_path), output_file=str(target))).exit_code == 0
    assert len(PdfReader(target).pages) == 1


# fpdf missing, or installed without a library it needs
@pytest.mark.parametrize("hidden", ["fpdf", "fontTools"])
def test_module_loads_without_pdf_libraries(in_tmp, hidden):
    (in_tmp / "c.json").write_text(json.dumps({"config": {"row_gap": 10}, "main_page": {"dut_inform": "x"},
                                               "groups": [{"name": "G", "pattern": "a"}]}))
    code = (
        f"import sys; sys.modules[{hidden!r}] = None\n"
        "import dorvex.platebook as pb\n"
        "try:\n    pb.cmd_platebook(['-c', 'c.json'])\nexcept SystemExit as e:\n    print(e.code)\n"
        "print(pb.HAS_PDF_LIBS, pb.FPDF is object, pb.LabReport.__mro__[1] is object, hasattr(pb, 'Image'))"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["1", "False", "True", "True", "False"]
    assert out.stderr.count("Missing required packages for PDF generation.") == 1


def test_template_and_errors_do_not_load_pdf_libraries(in_tmp):
    code = ("import json, sys; from dorvex.cli import main\n"
            "open('bad.json', 'w').write(json.dumps({'config': {'row_gap': 'x'}, 'main_page': {'t': 1}, 'groups': [{}]}))\n"
            "for args in (['--generate-config'], ['--help'], ['-c', 'bad.json']):\n"
            "    try:\n        main(['platebook', *args])\n    except SystemExit:\n        pass\n"
            "print([m for m in ('fpdf', 'PIL') if m in sys.modules])")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.splitlines()[-1] == "[]"
    assert (in_tmp / "config_platebook_template.json").exists()


# Real inputs


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


BAD_IMAGES = {
    "zero-byte": lambda good: b"",
    "text": lambda good: b"plain text",
    "truncated": lambda good: good[: len(good) // 2],
    "bmp-bitfields": lambda good: b"BM" + struct.pack("<IHHIIiiHHIIiiII3I", 82, 0, 0, 66, 40, 1, 1, 1, 16, 3, 4,
                                                       0, 0, 0, 0, 7, 0x38, 0x1C0) + b"\0" * 4,
    "bomb": lambda good: b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", struct.pack(">IIBBBBB", 10**5, 10**5, 8, 2, 0, 0, 0))
    + png_chunk(b"IEND", b""),
}


@pytest.mark.parametrize("kind", BAD_IMAGES)
def test_unreadable_image_is_left_out(runner, tmp_path, kind):
    good = make_image(tmp_path, "Result_g8_Peak_60dB_b.png", (64, 48))
    bad = tmp_path / f"Result_g8_Peak_60dB_a.{'bmp' if 'bmp' in kind else 'png'}"
    bad.write_bytes(BAD_IMAGES[kind]((tmp_path / good).read_bytes()))
    result = run(runner, tmp_path, template(image_folder=str(tmp_path)))
    assert result.exit_code == 0, result.output
    assert result.stderr.count(f"Cannot place image {bad}: ") == 1
    page = PdfReader(tmp_path / "test.pdf").pages[0]
    assert [img.image.size for img in page.images] == [(64, 48)]
    assert "Figure 1:  g8 Peak 60dB b" in page.extract_text()


def word_boxes(pdf, page):
    """(text, x0, y0, x1, y1) in points of every word on a page, by poppler."""
    out = subprocess.run(["pdftotext", "-bbox", "-f", str(page), "-l", str(page), pdf, "-"],
                         capture_output=True, text=True, check=True).stdout
    return [(m[4], *map(float, m[:4])) for m in
            re.findall(r'xMin="([\d.]+)" yMin="([\d.]+)" xMax="([\d.]+)" yMax="([\d.]+)">([^<]*)<', out)]


@pytest.mark.parametrize(
    "cols, count, size, name",
    [(20, 3, (40, 30), "short"), (12, 200, (8, 6), "many"), (1, 1, (1, 20000), "pole"), (4, 19, (40, 30), "long " * 30)],
)
def test_any_grid_writes_report_with_captions_in_band(runner, tmp_path, render_pdf_page, cols, count, size, name):
    for i in range(count):
        make_image(tmp_path, f"s_{name.strip()}_{i:03d}.png", size)
    cfg = template(image_folder=str(tmp_path))
    cfg["groups"] = [{"name": "G", "pattern": "s_", "experiments_per_page": 1, "cols_per_row": cols}]
    result = run(runner, tmp_path, cfg)
    assert result.exit_code == 0, result.output
    assert len(PdfReader(tmp_path / "test.pdf").pages[1].images) == count
    img = render_pdf_page(tmp_path / "test.pdf", page=2, dpi=72)  # one pixel per point
    words = [w for w in word_boxes(tmp_path / "test.pdf", 2) if w[2] > 60]  # below the group title
    for text, x0, y0, x1, y1 in words:
        assert y1 <= (297 - 5) / 25.4 * 72
        # no caption pixel lands on an image: the red of the images never shows inside a word
        inside = [img.getpixel((x, y)) for x in range(int(x0) + 1, int(x1)) for y in range(int(y0) + 1, int(y1))]
        assert not any(r > 150 and g < 100 for r, g, b in inside), text
    if name.startswith("long"):
        assert any(w[0].endswith("...") for w in words)


def test_nothing_below_the_bottom_margin(runner, tmp_path, render_pdf_page):
    # contents longer than a page, wrapped facts, a title buffer smaller than
    # the title, and groups whose budget fits under a separator while their
    # title and rows would not
    for i in range(12):
        make_image(tmp_path, f"big_{i:02d}.png", (8, 6))
    for i in range(24):
        make_image(tmp_path, f"small_{i:02d}.png", (8, 6), (30, 30, 200))
    cfg = template(image_folder=str(tmp_path), bottom_margin=40, title_buffer=0, row_gap=4)
    cfg["main_page"].update({f"user_{k}_{n}": f"{k} {n} " * (1 if k == "title" else 30)
                             for n in range(1, 11) for k in ("title", "content")})
    cfg["groups"] = [{"name": "Big", "pattern": "big_", "experiments_per_page": 1, "cols_per_row": 2}] + [
        {"name": f"Small {i}", "pattern": f"small_{i:02d}", "experiments_per_page": 3 + i % 3} for i in range(24)]
    result = run(runner, tmp_path, cfg)
    assert result.exit_code == 0, result.output
    dpi = 20
    below = int((297 - 40) / 25.4 * dpi) + 1
    pages = len(PdfReader(tmp_path / "test.pdf").pages)
    for page in range(1, pages + 1):
        img = render_pdf_page(tmp_path / "test.pdf", page=page, dpi=dpi)
        assert img.crop((0, below, img.width, img.height)).getextrema() == ((255, 255),) * 3, page


@pytest.mark.parametrize("orientation, upright", [(1, "wide"), (3, "red right"), (6, "red top"), (8, "red bottom")])
def test_exif_orientation_drawn_upright(runner, tmp_path, render_pdf_page, orientation, upright):
    photo = Image.new("RGB", (120, 60), (0, 0, 255))
    photo.paste((255, 0, 0), (0, 0, 60, 60))  # stored: left half red
    exif = Image.Exif()
    exif[0x0112] = orientation
    photo.save(tmp_path / "photo.jpg", exif=exif, quality=95)
    cfg = template(image_folder=str(tmp_path))
    cfg["groups"] = [{"name": "P", "pattern": "photo.jpg", "experiments_per_page": 1}]
    assert run(runner, tmp_path, cfg).exit_code == 0
    img = render_pdf_page(tmp_path / "test.pdf", page=2, dpi=30)

    def centre(colour):
        pts = [(x, y) for x in range(img.width) for y in range(img.height)
               if sum(abs(a - b) for a, b in zip(img.getpixel((x, y)), colour)) < 120]
        return sum(p[0] for p in pts) / len(pts), sum(p[1] for p in pts) / len(pts)

    (rx, ry), (bx, by) = centre((255, 0, 0)), centre((0, 0, 255))
    assert {"wide": bx - rx, "red right": rx - bx, "red top": by - ry, "red bottom": ry - by}[upright] > 10
    if orientation == 1:  # untagged photos are embedded as they are, not encoded again
        xobject = PdfReader(tmp_path / "test.pdf").pages[1]["/Resources"]["/XObject"]
        assert [x.get_object().get_data() for x in xobject.values()] == [(tmp_path / "photo.jpg").read_bytes()]


@pytest.mark.parametrize("pattern", ["*.bmp", "b_1.bmp", "Result_b_1"])
def test_pattern_with_extension(tmp_path, pattern):
    make_image(tmp_path, "Result_b_1.bmp")
    make_image(tmp_path, "Result_a_1.png")
    data = pb.ReportGenerator({"image_folder": str(tmp_path), "file_prefix": "Result"}, {},
                              [{"name": "G", "pattern": pattern}]).parse_files()
    assert data["G"] == [{"path": str(tmp_path / "Result_b_1.bmp"), "caption": "b 1"}]
