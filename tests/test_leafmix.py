"""leaf-mix: configuration, file order, cell layout, page placement (read back
from the content stream and rendered with pdftoppm), bookmarks and saving."""

import gc
import json
import logging

import pytest
from pypdf import PdfReader, PdfWriter
from pypdf.generic import (
    ContentStream,
    DictionaryObject,
    NameObject,
    NumberObject,
    RectangleObject,
    StreamObject,
)

import dorvex.leafmix as lm

A4 = (595, 842)
TEMPLATE_CELL = (20, 421.0, 277.5, 401.0)


def make_pdf(path, pages=((A4, 0, None),), extra=None):
    """One page per (size, rotate, cropbox). Each page is painted black over
    its crop box with a red quarter-size marker in the crop box's lower-left
    corner, and blue outside the crop box (which must never show)."""
    writer = PdfWriter()
    for (w, h), rotate, crop in pages:
        page = writer.add_blank_page(w, h)
        x0, y0, x1, y1 = crop or (0, 0, w, h)
        ops = (
            f"0 0 1 rg 0 0 {w} {h} re f 0 0 0 rg {x0} {y0} {x1 - x0} {y1 - y0} re f "
            f"1 0 0 rg {x0} {y0} {(x1 - x0) / 4} {(y1 - y0) / 4} re f"
        )
        stream = StreamObject()
        stream._data = ops.encode()
        page[NameObject("/Contents")] = writer._add_object(stream)
        if crop:
            page.cropbox = RectangleObject(crop)
        if rotate:
            page[NameObject("/Rotate")] = NumberObject(rotate)
    if extra:
        extra(writer)
    writer.write(path)
    return path


def write_config(path, **conf):
    path.write_text(json.dumps({"config": conf}))
    return path


@pytest.fixture
def merge(runner, tmp_path):
    """merge(**config) runs `leaf-mix` on tmp_path/in into tmp_path/out.pdf."""

    def run(**conf):
        conf.setdefault("input_folder", str(tmp_path / "in"))
        conf.setdefault("output_file", str(tmp_path / "out.pdf"))
        conf.setdefault("layout", {"cols": 2, "rows": 2})
        return runner.invoke(lm.cmd_leafmix, ["-c", str(write_config(tmp_path / "c.json", **conf))])

    (tmp_path / "in").mkdir()
    return run


def placements(page):
    """The cm matrices with which source pages were drawn on an output page."""
    ops = ContentStream(page.get_contents(), page.pdf).operations
    return [[float(v) for v in operands] for operands, op in ops if op == b"cm"]


def apply(m, x, y):
    return m[0] * x + m[2] * y + m[4], m[1] * x + m[3] * y + m[5]


def outline(path):
    reader = PdfReader(path)
    return [(item.title, reader.get_destination_page_number(item)) for item in reader.outline]


# -- module level and command ---------------------------------------------------


def test_module_level():
    assert lm.__file__.endswith(".so")
    assert lm.HAS_PDF_LIBS is True
    assert json.dumps(lm.DEFAULT_CONFIG) == json.dumps({"config": {
        "input_folder": "./data_leafmix", "output_file": "./data_leafmix/merged_report.pdf",
        "layout": {"cols": 2, "rows": 2, "landscape": False}, "page_size": "A4", "margin": 20,
        "debug_grid": False}})
    assert lm.Leafmixer.__doc__ == "處理 PDF 合併與排版的應用類別"
    cmd = lm.cmd_leafmix
    assert cmd.name == "leaf-mix" and cmd.help == "Merge multiple PDF files into a single layout report."
    assert [(p.name, p.opts, p.help) for p in cmd.params] == [
        ("config", ["--config", "-c"], "Specify the JSON config file path"),
        ("generate_config", ["--generate-config"],
         "Generate a config_leafmix_template.json in the current directory"),
    ]


def test_missing_pdf_libs_stops_even_generate(runner, in_tmp, monkeypatch, caplog):
    monkeypatch.setattr(lm, "HAS_PDF_LIBS", False)
    with caplog.at_level(logging.ERROR):
        result = runner.invoke(lm.cmd_leafmix, ["--generate-config"])
    assert result.exit_code == 1
    assert [r.getMessage() for r in caplog.records] == [
        "Missing required packages for PDF processing.",
        "Please reinstall with the correct dependencies or run: pip install pypdf",
    ]
    assert not (in_tmp / "config_leafmix_template.json").exists()


@pytest.mark.parametrize(
    "conf, line",
    [
        ({"layout": {"cols": 0}}, "config.layout.cols must be a positive integer (got 0)"),
        ({"layout": {"rows": -1}}, "config.layout.rows must be a positive integer (got -1)"),
        ({"layout": {"cols": "2"}}, 'config.layout.cols must be a positive integer (got "2")'),
        ({"layout": {"rows": 1.5}}, "config.layout.rows must be a positive integer (got 1.5)"),
        ({"margin": 0}, "config.margin must be a positive number (got 0)"),
        ({"margin": "20"}, 'config.margin must be a positive number (got "20")'),
        ({"margin": 297.5}, "config.margin must be less than 297.5 points, half the A4 width (got 297.5)"),
        ({"layout": [2, 2]}, "config.layout must be an object (got [2, 2])"),
        ({"output_file": ""}, 'config.output_file must be a non-empty string (got "")'),
        ({"input_folder": None}, "config.input_folder must be a non-empty string (got null)"),
        ({"layout": {"cols": 10**30}},
         f"config.layout.cols must be at most 555, so that a cell is at least 1 point wide (got {10**30})"),
        ({"layout": {"rows": 556, "landscape": True}},
         "config.layout.rows must be at most 555, so that a cell is at least 1 point high (got 556)"),
        ({"input_folder": "in\0x"}, 'config.input_folder must be a path without NUL characters (got "in\\u0000x")'),
        ({"output_file": "o\0.pdf"}, 'config.output_file must be a path without NUL characters (got "o\\u0000.pdf")'),
        ({"layout": {"cols": 10**400}}, f"config.layout.cols must be a positive integer below 1e308 (got {'1' + '0' * 78}…)"),
        ({"layout": {"rows": 10**400}}, f"config.layout.rows must be a positive integer below 1e308 (got {'1' + '0' * 78}…)"),
        ({"margin": 10**400}, f"config.margin must be a positive number below 1e308 (got {'1' + '0' * 78}…)"),
    ],
)
def test_bad_settings_are_one_line(runner, tmp_path, conf, line):
    (tmp_path / "in").mkdir()
    make_pdf(tmp_path / "in" / "a.pdf")
    path = write_config(tmp_path / "c.json", **{"input_folder": str(tmp_path / "in"),
                                                 "output_file": str(tmp_path / "o.pdf"), **conf})
    result = runner.invoke(lm.cmd_leafmix, ["-c", str(path)])
    assert result.exit_code == 1
    assert result.stderr == f"Error: {path}: {line}\n"
    assert not (tmp_path / "o.pdf").exists()


@pytest.mark.parametrize("content", ['{"other": {}}', "{", '{"config": []}'])
def test_unusable_config_file_fails(runner, tmp_path, content):
    path = tmp_path / "c.json"
    path.write_text(content)
    result = runner.invoke(lm.cmd_leafmix, ["-c", str(path)])
    assert result.exit_code == 1
    assert str(path) in result.stderr


# -- constructor, file list, cell layout -------------------------------------------


def test_constructor_defaults_and_landscape(caplog):
    with caplog.at_level(logging.INFO):
        mixer = lm.Leafmixer({})
    assert (mixer.input_folder, mixer.output_file) == ("./data_leafmix", "./data_leafmix/merged_report.pdf")
    assert (mixer.cols, mixer.rows, mixer.is_landscape, mixer.margin, mixer.draw_grid) == (2, 1, False, 20, False)
    assert (mixer.page_width, mixer.page_height) == A4
    assert isinstance(mixer.writer, PdfWriter) and len(mixer.writer.pages) == 0
    assert caplog.messages == ["[INIT] Layout: 2x1, Landscape=False"]

    wide = lm.Leafmixer({"layout": {"landscape": True}, "page_size": "Letter"})
    assert (wide.page_width, wide.page_height) == (842, 595)
    assert lm.Leafmixer({"layout": {"cols": 2, "rows": 2}}).calculate_cell_layout() == (277.5, 401.0)
    assert wide.calculate_cell_layout() == (401.0, 555.0)
    wide.rows = 2
    assert wide.calculate_cell_layout() == (401.0, 277.5)


def test_file_list_order_and_filtering(tmp_path):
    for name in ["b.pdf", "A.pdf", "10.pdf", "2.pdf", "notes.txt", ".hidden.pdf"]:
        (tmp_path / name).write_bytes(b"%PDF-1.4")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "deep.pdf").write_bytes(b"%PDF-1.4")
    mixer = lm.Leafmixer({"input_folder": str(tmp_path), "output_file": str(tmp_path / "sub" / "o.pdf")})
    paths, names = mixer.get_file_list()
    assert names == ["10", "2", "A", "b"]
    assert paths == [str(tmp_path / n) for n in ["10.pdf", "2.pdf", "A.pdf", "b.pdf"]]
    # A user's file at the output path stays an input: the overwrite guard refuses it.
    mixer.output_file = str(tmp_path / "sub" / ".." / "A.pdf")
    assert mixer.get_file_list()[1] == ["10", "2", "A", "b"]


@pytest.mark.parametrize("folder, errors", [("empty", []), ("missing", ["Error: Input folder not found: "])])
def test_file_list_empty(tmp_path, caplog, folder, errors):
    (tmp_path / "empty").mkdir()
    with caplog.at_level(logging.ERROR):
        result = lm.Leafmixer({"input_folder": str(tmp_path / folder)}).get_file_list()
    assert result == ([], [])
    assert caplog.messages == [e + str(tmp_path / folder) for e in errors]


def test_worked_example_params(tmp_path):
    page = PdfReader(make_pdf(tmp_path / "a.pdf")).pages[0]
    params = lm.Leafmixer({"layout": {"rows": 2}})._get_layout_params(page, TEMPLATE_CELL)
    assert list(params) == ["scale", "tx", "ty", "rot", "x0", "y0", "src_w", "src_h"]
    assert params["scale"] == pytest.approx(277.5 / 595 * 0.95)
    assert params["tx"] == pytest.approx(26.9375)
    assert params["ty"] == pytest.approx(434.96875, abs=1e-3)
    assert (params["rot"], params["x0"], params["y0"], params["src_w"], params["src_h"]) == (0, 0.0, 0.0, 595.0, 842.0)


@pytest.mark.parametrize(
    "rotate, crop, expect",
    [
        (90, None, (0, 0, 842, 595)),
        (270, None, (0, 0, 842, 595)),
        (180, None, (0, 0, 595, 842)),
        (-90, None, (0, 0, 842, 595)),
        (0, (50, 100, 350, 500), (50, 100, 300, 400)),
        (0, (350, 500, 50, 100), (50, 100, 300, 400)),  # corners given the other way round
        (0, (10, 10, 10, 500), None),  # no area
        (90, (10, 10, 500, 10), None),
    ],
)
def test_params_rotation_and_crop_box(tmp_path, rotate, crop, expect):
    page = PdfReader(make_pdf(tmp_path / "a.pdf", [((600, 900) if crop else A4, rotate, crop)])).pages[0]
    params = lm.Leafmixer({})._get_layout_params(page, (0, 0, 100, 100))
    if expect is None:
        assert params is None
        return
    assert (params["x0"], params["y0"], params["src_w"], params["src_h"]) == expect
    assert params["rot"] == rotate




# -- placement: matrices read back and pages rendered ---------------------------------

# Where the red marker (the content's lower-left corner) shows once a viewer
# has applied /Rotate: (right half?, top half?).
MARKER_SHOWN_AT = {0: (False, False), 90: (False, True), 180: (True, True), 270: (True, False), -90: (True, False)}


def coloured_box(img, test, region=None):
    """Bounding box (left, top, right, bottom) of the pixels for which test(rgb)."""
    x_lo, y_lo, x_hi, y_hi = region or (0, 0, *img.size)
    px = img.load()
    hits = [(x, y) for y in range(y_lo, y_hi) for x in range(x_lo, x_hi) if test(px[x, y])]
    if not hits:
        return None
    xs, ys = [x for x, _ in hits], [y for _, y in hits]
    return min(xs), min(ys), max(xs) + 1, max(ys) + 1


def is_red(p):
    return p[0] > 200 and p[1] < 60 and p[2] < 60


def is_ink(p):
    return sum(p) < 600


def marker_side(box, marker):
    cx, cy = (marker[0] + marker[2]) / 2, (marker[1] + marker[3]) / 2
    return cx > (box[0] + box[2]) / 2, cy < (box[1] + box[3]) / 2


@pytest.mark.parametrize("rotate", [0, 90, 180, 270, -90])
@pytest.mark.parametrize("crop", [None, (60, 120, 460, 420)])
def test_rotated_page_lands_upright_in_its_cell(merge, tmp_path, render_pdf_page, rotate, crop):
    size = (500, 700) if crop else (400, 300)
    src = make_pdf(tmp_path / "in" / "a.pdf", [(size, rotate, crop)])
    result = merge(layout={"cols": 2, "rows": 2})
    assert result.exit_code == 0, result.stderr

    # The matrix maps the crop box exactly onto the centred box of the cell.
    reader = PdfReader(tmp_path / "out.pdf")
    (m,) = placements(reader.pages[0])
    x0, y0, x1, y1 = crop or (0, 0, *size)
    corners = [apply(m, x, y) for x in (x0, x1) for y in (y0, y1)]
    w0, h0 = x1 - x0, y1 - y0
    src_w, src_h = (h0, w0) if rotate % 180 == 90 else (w0, h0)
    scale = min(277.5 / src_w, 401.0 / src_h) * 0.95
    left, bottom = 20 + (277.5 - src_w * scale) / 2, 421 + (401 - src_h * scale) / 2
    xs, ys = [c[0] for c in corners], [c[1] for c in corners]
    assert (min(xs), min(ys)) == (pytest.approx(left), pytest.approx(bottom))
    assert (max(xs), max(ys)) == (pytest.approx(left + src_w * scale), pytest.approx(bottom + src_h * scale))

    # Rendered at 1 pixel per point: the page fills the centred box inside the
    # top-left cell (the ink includes the blue around the crop box, so none of
    # it shows), and the marker sits where a viewer shows it on the source
    # page itself.
    img = render_pdf_page(tmp_path / "out.pdf", 1, 72)
    ink = coloured_box(img, is_ink)
    expected = (left, 842 - bottom - src_h * scale, left + src_w * scale, 842 - bottom)
    assert ink == pytest.approx(expected, abs=1.5)
    assert 20 <= ink[0] and ink[2] <= 297.5 and 20 <= ink[1] and ink[3] <= 421
    marker = coloured_box(img, is_red)
    assert marker_side(ink, marker) == MARKER_SHOWN_AT[rotate]

    alone = render_pdf_page(src, 1, 72)
    black = coloured_box(alone, lambda p: sum(p) < 100)
    assert marker_side(black, coloured_box(alone, is_red)) == MARKER_SHOWN_AT[rotate]


def test_cell_order_and_five_files_on_two_pages(merge, tmp_path):
    for i in range(5):
        make_pdf(tmp_path / "in" / f"f{i}.pdf")
    result = merge()
    assert result.exit_code == 0
    assert result.stdout == f"Success: {tmp_path / 'out.pdf'}\n"
    reader = PdfReader(tmp_path / "out.pdf")
    assert len(reader.pages) == 2
    # Lower-left corner of each placed page: left to right, then top to bottom.
    first = [apply(m, 0, 0) for m in placements(reader.pages[0])]
    assert first == [pytest.approx(p, abs=0.01) for p in
                     [(26.94, 434.97), (304.44, 434.97), (26.94, 33.97), (304.44, 33.97)]]
    assert [apply(m, 0, 0) for m in placements(reader.pages[1])] == [pytest.approx((26.94, 434.97), abs=0.01)]
    assert outline(tmp_path / "out.pdf") == [("f0", 0), ("f1", 0), ("f2", 0), ("f3", 0), ("f4", 1)]


def test_files_continue_in_next_free_cell_past_a_broken_file(merge, tmp_path):
    make_pdf(tmp_path / "in" / "a.pdf", [(A4, 0, None)] * 3)
    (tmp_path / "in" / "b.pdf").write_text("not a pdf")
    make_pdf(tmp_path / "in" / "c.pdf")
    encrypted = make_pdf(tmp_path / "in" / "d.pdf",
                         extra=lambda w: w.encrypt("secret", algorithm="RC4-128"))
    make_pdf(tmp_path / "in" / "e.pdf", [(A4, 0, None)] * 2)
    result = merge()
    assert result.exit_code == 0
    failed = [line for line in result.stderr.splitlines() if "Failed " in line]
    assert len(failed) == 2
    assert "Failed b: " in failed[0] and "Failed d: " in failed[1]
    assert encrypted.exists()
    reader = PdfReader(tmp_path / "out.pdf")
    assert [len(placements(p)) for p in reader.pages] == [4, 2]
    assert outline(tmp_path / "out.pdf") == [("a", 0), ("c", 0), ("e", 1)]


@pytest.mark.parametrize("user, owner, placed", [("", "owner", True), ("secret", "secret", False)])
def test_aes_encrypted_files_open_with_the_empty_password(merge, tmp_path, user, owner, placed):
    make_pdf(tmp_path / "in" / "a.pdf",
             extra=lambda w: w.encrypt(user, owner, algorithm="AES-256"))
    result = merge()
    failed = [line for line in result.stderr.splitlines() if "Failed a: " in line]
    assert (result.exit_code, len(failed)) == ((0, 0) if placed else (1, 1))


def test_forms_using_the_page_resources_keep_their_own_page(merge, tmp_path, render_pdf_page):
    """Two pages whose shared form (drawings often do this) finds its image
    through the page's resources: each cell must show its own page's image."""
    writer = PdfWriter()
    form = StreamObject()
    form._data = b"q 300 0 0 300 100 200 cm /Im0 Do Q"
    form.update({NameObject("/Type"): NameObject("/XObject"), NameObject("/Subtype"): NameObject("/Form"),
                 NameObject("/BBox"): RectangleObject((0, 0, 500, 700))})
    form_ref = writer._add_object(form)
    for colour in (b"\xff\x00\x00", b"\x00\xff\x00"):
        image = StreamObject()
        image._data = colour
        image.update({NameObject(k): v for k, v in {
            "/Type": NameObject("/XObject"), "/Subtype": NameObject("/Image"), "/Width": NumberObject(1),
            "/Height": NumberObject(1), "/BitsPerComponent": NumberObject(8),
            "/ColorSpace": NameObject("/DeviceRGB")}.items()})
        page = writer.add_blank_page(500, 700)
        page[NameObject("/Resources")] = DictionaryObject({NameObject("/XObject"): DictionaryObject(
            {NameObject("/Fm0"): form_ref, NameObject("/Im0"): writer._add_object(image)})})
        content = StreamObject()
        content._data = b"/Fm0 Do"
        page[NameObject("/Contents")] = writer._add_object(content)
    writer.write(tmp_path / "in" / "drawing.pdf")
    assert merge(layout={"cols": 2, "rows": 1}).exit_code == 0
    img = render_pdf_page(tmp_path / "out.pdf", 1, 20)
    left, right = img.crop((0, 0, img.width // 2, img.height)), img.crop((img.width // 2, 0, img.width, img.height))
    assert coloured_box(left, is_red) and coloured_box(right, lambda p: p[1] > 200 and p[0] < 60)


def hand_pdf(path, pages, shared=None, more=()):
    """A PDF written by hand, as simple generators do: one page per (resources,
    content, extra page entries) of text, each a direct dictionary; `shared`
    puts one /Resources on the page tree for every page to inherit; `more`
    are further objects, numbered on from the last page's content."""
    objs = {1: "<< /Type /Catalog /Pages 2 0 R >>"}
    objs.update((3 + 2 * len(pages) + i, text) for i, text in enumerate(more))
    for i, (res, content, extra) in enumerate(pages):
        res = "" if res is None else f"/Resources {res}"
        objs[3 + 2 * i] = f"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] {res} /Contents {4 + 2 * i} 0 R {extra} >>"
        objs[4 + 2 * i] = f"<< /Length {len(content)} >>\nstream\n{content}\nendstream"
    kids = " ".join(f"{3 + 2 * i} 0 R" for i in range(len(pages)))
    objs[2] = f"<< /Type /Pages /Kids [{kids}] /Count {len(pages)} {f'/Resources {shared}' if shared else ''} >>"
    out, offsets = b"%PDF-1.4\n", []
    for n in sorted(objs):
        offsets.append(len(out))
        out += f"{n} 0 obj\n{objs[n]}\nendobj\n".encode()
    xref = "".join(f"{o:010d} 00000 n \n" for o in offsets)
    out += (f"xref\n0 {len(objs) + 1}\n0000000000 65535 f \n{xref}"
            f"trailer\n<< /Size {len(objs) + 1} /Root 1 0 R >>\nstartxref\n{len(out)}\n%%EOF\n").encode()
    path.write_bytes(out)


COLOURS = [(1, 0, 0), (0, 1, 0), (0, 0, 1), (1, 1, 0), (0, 1, 1)]
EQUAL_GS = "<< /ExtGState << /G0 << /Type /ExtGState /ca 1 >> >> >>"


@pytest.mark.parametrize("files, resources, shared", [
    pytest.param(5, "<< >>", None, id="empty"),  # hand-written and vector-only generators
    pytest.param(5, "<< /ProcSet [/PDF] >>", None, id="procset"),  # Ghostscript, no text or image
    pytest.param(5, EQUAL_GS, None, id="equal-inline"),
    pytest.param(1, None, "<< /ProcSet [/PDF] >>", id="one-file-inherited"),
    pytest.param(1, EQUAL_GS, None, id="one-file-equal-inline"),
])
def test_each_cell_shows_its_own_page(merge, tmp_path, render_pdf_page, files, resources, shared):
    gs = "/G0 gs " if resources == EQUAL_GS else ""
    pages = [(resources, f"{gs}{r} {g} {b} rg 0 0 595 842 re f", "") for r, g, b in COLOURS]
    if files == 1:
        hand_pdf(tmp_path / "in" / "all.pdf", pages, shared)
    for i, page in enumerate(pages if files > 1 else []):
        hand_pdf(tmp_path / "in" / f"f{i}.pdf", [page])
    assert merge().exit_code == 0
    centres = [(158.75, 220.5), (436.25, 220.5), (158.75, 621.5), (436.25, 621.5)]
    shown = []
    for number, cells in [(1, centres), (2, centres[:1])]:
        img = render_pdf_page(tmp_path / "out.pdf", number, 18)
        shown += [tuple(round(v / 255) for v in img.getpixel((x / 4, y / 4))) for x, y in cells]
    assert shown == COLOURS


@pytest.mark.parametrize("rotate", [0, 90, 180])
def test_inline_annotations_follow_their_page(merge, tmp_path, render_pdf_page, rotate):
    """A link and an ink mark written inline (as fpdf2 does) on page 1, over a
    black square with a red marker in its lower-left corner; the ink mark's
    appearance puts a blue marker in the opposite corner. The link leads to a
    spot on page 2."""
    link = ("<< /Type /Annot /Subtype /Link /Rect [100 600 200 700] /Border [0 0 0]"
            " /Dest [5 0 R /XYZ 50 400 null] >>")
    ink = ("<< /Type /Annot /Subtype /Ink /Rect [100 600 200 700]"
           " /InkList [[100 600 200 700]] /AP << /N 7 0 R >> >>")
    mark = b"0 0 1 rg 75 75 25 25 re f"
    hand_pdf(tmp_path / "in" / "a.pdf", [
        ("<< >>", "0 0 0 rg 100 600 100 100 re f 1 0 0 rg 100 600 25 25 re f",
         f"/Rotate {rotate} /Annots [{link} {ink} << /Type /Annot /Subtype /Text >>]"),
        ("<< >>", "0 0 1 rg 0 0 595 842 re f", f"/Rotate {rotate}"),
    ], more=[f"<< /Type /XObject /Subtype /Form /BBox [0 0 100 100] /Length {len(mark)} >>\n"
             f"stream\n{mark.decode()}\nendstream"])
    result = merge(layout={"cols": 2, "rows": 1})
    assert result.exit_code == 0
    # a note without the /Rect it needs cannot be placed: left out, with a warning
    assert "Left out 1 annotation(s) of a that could not be moved into their cells: " in result.stderr
    page = PdfReader(tmp_path / "out.pdf").pages[0]
    link_out, ink_out = (a.get_object() for a in page["/Annots"])
    img = render_pdf_page(tmp_path / "out.pdf", 1, 72)
    square = coloured_box(img, lambda p: sum(p) < 100 or is_red(p) or p[2] > 200 > p[0], (0, 0, 297, 842))
    x0, y0, x1, y1 = (float(v) for v in link_out["/Rect"])
    assert (x0, 842 - y1, x1, 842 - y0) == pytest.approx(square, abs=1.5)
    assert [float(v) for v in ink_out["/Rect"]] == [x0, y0, x1, y1]
    stroke = [float(v) for v in ink_out["/InkList"][0]]
    assert {round(v, 3) for v in stroke[::2]} == {round(x0, 3), round(x1, 3)}
    red = coloured_box(img, is_red)
    blue = coloured_box(img, lambda p: p[2] > 200 > p[0], (0, 0, 297, 842))
    assert marker_side(square, red) == MARKER_SHOWN_AT[rotate]
    assert marker_side(square, blue) == tuple(not side for side in MARKER_SHOWN_AT[rotate])
    # The link's target spot lies in the second cell of the same output page.
    target, kind, left, top, _ = link_out["/Dest"]
    assert (target.get_object().indirect_reference, kind) == (page.indirect_reference, "/XYZ")
    assert 297.5 < left < 575 and 20 < top < 822


def test_pypdf_warnings_are_one_line_naming_the_file(merge, tmp_path):
    path = make_pdf(tmp_path / "in" / "cut.pdf")
    path.write_bytes(path.read_bytes().replace(b"%%EOF", b"%%EO"))
    result = merge()
    assert result.exit_code == 0
    lines = [line for line in result.stderr.splitlines() if "EOF marker" in line]
    assert len(lines) == 1 and "WARNING" in lines[0] and "Leafmix: pypdf warnings for cut: " in lines[0]


def test_output_naming_an_input_is_refused(merge, tmp_path):
    target = "in/a.pdf"
    make_pdf(tmp_path / "in" / "a.pdf")
    before = (tmp_path / "in" / "a.pdf").read_bytes()
    result = merge(output_file=str(tmp_path / target))
    assert result.exit_code == 1
    clash = tmp_path / target
    assert result.stderr.splitlines()[-1] == (
        f"Error: {tmp_path / 'c.json'}: output_file would overwrite the input {clash}")
    assert (tmp_path / "in" / "a.pdf").read_bytes() == before
    assert "Skipping" not in result.stderr


@pytest.mark.parametrize("empty", [(A4, 0, (10, 10, 10, 500)), ((0, 0), 0, None)], ids=["crop-box", "media-box"])
def test_zero_area_page_keeps_its_cell_and_bookmark(merge, tmp_path, caplog, empty):
    make_pdf(tmp_path / "in" / "a.pdf", [empty, (A4, 0, None)])
    with caplog.at_level(logging.INFO):
        assert merge(debug_grid=True).exit_code == 0
    # said once, and not counted as placed
    assert [m for m in caplog.messages if "Left out" in m or "[STEP 2]" in m] == [
        "Left out page 1 of a: its page box has no width or height",
        "[STEP 2] Placed 1 pages of 1 files on 1 output pages (0 failed)"]
    page = PdfReader(tmp_path / "out.pdf").pages[0]
    # Only the second page was drawn, into the second cell; both cells are framed.
    assert [apply(m, 0, 0) for m in placements(page)] == [pytest.approx((304.44, 434.97), abs=0.01)]
    assert outline(tmp_path / "out.pdf") == [("a", 0)]
    frames = [op for op in ContentStream(page.get_contents(), None).operations if op[1] == b"re"]
    assert [[float(v) for v in ops] for ops, _ in frames][-1] == [297.5, 421.0, 277.5, 401.0]


def test_red_frame_page():
    mixer = lm.Leafmixer({"layout": {"rows": 2}})
    page = mixer._create_red_frame_page(*TEMPLATE_CELL)
    assert page["/Contents"].get_data() == b"q 1 0 0 RG 2 w 20.00 421.00 277.50 401.00 re S Q"
    assert page["/Resources"] == {}
    assert (page.mediabox.width, page.mediabox.height) == A4


def test_debug_lines(tmp_path, runner):
    from dorvex.cli import main

    make_pdf(tmp_path / "a.pdf")
    cfg = write_config(tmp_path / "c.json", input_folder=str(tmp_path), output_file=str(tmp_path / "o" / "o.pdf"),
                       layout={"cols": 2, "rows": 2})
    result = runner.invoke(main, ["-v", "leaf-mix", "-c", str(cfg)])
    assert result.exit_code == 0
    assert "Leafmix:     Pg0: a | Sc=0.44 | Loc=(26.9,435.0)\n" in result.stderr


# -- output -----------------------------------------------------------------------------


@pytest.mark.parametrize("output", ["deep/er/out.pdf", "bare.pdf"])
def test_output_folders_and_bare_names(merge, in_tmp, output):
    make_pdf(in_tmp / "in" / "a.pdf")
    result = merge(output_file=output)
    assert result.exit_code == 0
    assert len(PdfReader(in_tmp / output).pages) == 1
    assert [p.name for p in in_tmp.iterdir() if p.name.startswith(".~")] == []


def test_second_run_does_not_merge_its_own_output(merge, tmp_path):
    for name in "ab":
        make_pdf(tmp_path / "in" / f"{name}.pdf")
    out = tmp_path / "in" / "merged.pdf"
    for _ in range(2):
        result = merge(output_file=str(out))
        assert result.exit_code == 0
        assert outline(out) == [("a", 0), ("b", 0)]
        assert len(placements(PdfReader(out).pages[0])) == 2
    assert "Skipping the output file itself: " in result.stderr


@pytest.mark.parametrize("case", ["empty", "missing", "only-broken", "only-empty-pages"])
def test_nothing_to_merge_fails(merge, tmp_path, case):
    folder = tmp_path / "in"
    if case == "missing":
        folder = tmp_path / "nowhere"
    if case == "only-broken":
        (folder / "x.pdf").write_text("junk")
    if case == "only-empty-pages":
        make_pdf(folder / "x.pdf", [((0, 0), 0, None)] * 2)
    result = merge(input_folder=str(folder))
    assert result.exit_code == 1
    assert result.stdout == ""
    assert not (tmp_path / "out.pdf").exists()


@pytest.mark.parametrize("target, reason", [("a-folder", "[Errno 21] Is a directory"),
                                            ("a-file/out.pdf", "[Errno 20] Not a directory")])
def test_failed_save_fails_and_keeps_what_was_there(merge, tmp_path, target, reason):
    make_pdf(tmp_path / "in" / "a.pdf")
    (tmp_path / "a-folder").mkdir()
    (tmp_path / "a-file").write_text("keep me")
    result = merge(output_file=str(tmp_path / target))
    assert result.exit_code == 1
    # the output asked for is named, not the temporary written in its place
    assert result.stderr.splitlines()[-1].endswith(f"Save failed: {reason}: {str(tmp_path / target)!r}")
    assert (tmp_path / "a-file").read_text() == "keep me"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a-file", "a-folder", "c.json", "in"]
    assert list((tmp_path / "a-folder").iterdir()) == []


def test_readers_are_released_before_saving(tmp_path):
    for i in range(3):
        make_pdf(tmp_path / f"f{i}.pdf", [(A4, 0, None)] * 3)
    seen = []

    class Probe(lm.Leafmixer):
        def _save_file(self):
            gc.collect()
            seen.append(sum(isinstance(o, PdfReader) for o in gc.get_objects()))
            return lm.Leafmixer._save_file(self)

    mixer = Probe({"input_folder": str(tmp_path), "output_file": str(tmp_path / "o" / "m.pdf"),
                   "layout": {"cols": 2, "rows": 2}})
    assert mixer.run() is True
    assert seen == [0]
    assert len(PdfReader(tmp_path / "o" / "m.pdf").pages) == 3
