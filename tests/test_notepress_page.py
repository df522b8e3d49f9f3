"""notepress pages: the template and watermark text, and what a reader sees in
headless Chromium."""

import io
import string

import pytest
from PIL import Image

import dorvex.notepress as np

SVG_HEAD = "background-image: url(\"data:image/svg+xml;utf8,<svg xmlns='http://www.w3.org/2000/svg' width='250' height='150' viewBox='0 0 250 150'><text x='50%' y='50%' text-anchor='middle' fill='rgba(150, 150, 150, 0.1)' font-size='24' font-family='Arial' transform='rotate(-30, 150, 100)'>"  # noqa: E501
SVG_TAIL = '</text></svg>");'


def watermark_block(text):
    i28, i32 = " " * 28, " " * 32
    lines = [i28 + "/* 💡 Watermark Layer */", i28 + "body::after {", i32 + 'content: "";']
    lines += [i32 + d for d in ("position: fixed;", "top: 0;", "left: 0;", "width: 100%;",
                                "height: 100%;")]
    lines += [i32 + SVG_HEAD + text + SVG_TAIL]
    lines += [i32 + d for d in ("background-repeat: repeat;", "pointer-events: none;",
                                "z-index: 1000;")]
    return "\n" + "\n".join(lines) + "\n" + i28 + "}"


@pytest.fixture(autouse=True)
def debug_off(monkeypatch):
    """Another test may have run `python -m dorvex notepress` in this process,
    which sets DORVEX_DEBUG for good."""
    monkeypatch.delenv("DORVEX_DEBUG", raising=False)


def convert(tmp_path, files, **settings):
    src = tmp_path / "in"
    for rel, content in files.items():
        path = src / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        (path.write_bytes if isinstance(content, bytes) else path.write_text)(content)
    config = {"input_path": str(src), "output_path": str(tmp_path / "out"), **settings}
    assert np.NotepressConverter(config).run()[0]
    return tmp_path / "out"


def style_of(html):
    return html[html.index("<style>"):html.index("</style>")]


# --- template text ------------------------------------------------------------


def test_page_template_frame_and_fields():
    t = np.PAGE_TEMPLATE
    assert t.startswith(
        '\n<!DOCTYPE html>\n<html>\n<head>\n    <meta charset="UTF-8">\n'
        "    <title>{title}</title>\n    <style>\n"
        "        /* Notion 準用字體家族 (包含 Mono 字體) */\n        body {{\n"
        '            font-family: -apple-system, BlinkMacSystemFont, "Segoe UI", Helvetica, '
        'Arial, sans-serif, "Apple Color Emoji", "Segoe UI Emoji";\n')
    assert t.endswith("        img {{ max-width: 100%; height: auto; margin: 10px 0; "
                      "border-radius: 4px; }}\n    </style>\n</head>\n<body>\n    <article>\n"
                      "        {content}\n    </article>\n</body>\n</html>\n")
    fields = [f for _, f, _, _ in string.Formatter().parse(t) if f is not None]
    assert fields == ["title", "watermark_css", "content"]
    assert [line.strip() for line in t.splitlines() if line.startswith("        /*")] == [
        "/* Notion 準用字體家族 (包含 Mono 字體) */",
        "/* 💡 Watermark Layer */",
        "/* ⭐ 關鍵修改：Notion Style 的行內程式碼 `abc` */",
        "/* 程式碼區塊 (Fenced Code Blocks) 的樣式優化 */",
        "/* 確保程式碼區塊內的文字顏色不繼承紅字 */",
        "/* 🐙 GitHub 風格標題設定 */",
    ]
    for piece in [
        "        }}\n\n        /* 程式碼區塊",
        "        }}\n        \n        /* 確保程式碼區塊",
        "        }}\n\n        /* 🐙 GitHub",
        "            color: #1F2328; /* GitHub 專用的深灰色，比純黑更柔和 */\n        }}\n        \n",
        "        h3 {{\n            font-size: 1.25em;\n        }}\n        \n"
        "        ul, ol {{ padding-left: 40px; margin: 0.8em 0; }}\n"
        "        li {{ margin: 0.3em 0; }}\n        \n"
        "        hr {{ border: 0; border-top: 1px solid #edeef0; margin: 2em 0; }}\n        \n"
        "        a {{ color: #2eaadc; text-decoration: none; }}\n"
        "        a:hover {{ text-decoration: underline; }}\n\n        img {{",
    ]:
        assert piece in t


def test_inert_block():
    lines = np.PAGE_TEMPLATE.splitlines()
    start = lines.index("        # body::after {{")
    block = lines[start:start + 13]
    assert lines[start - 1] == "        {watermark_css}"
    assert lines[start + 13] == "        /* ⭐ 關鍵修改：Notion Style 的行內程式碼 `abc` */"
    assert all(line.startswith("        #") for line in block)
    assert block[7] == "        #     /* 使用 SVG 建立透明文字浮水印，可自行修改 'CONFIDENTIAL' 字樣 */"
    assert block[8] == "        #     " + SVG_HEAD + "CONFIDENTIAL" + SVG_TAIL
    assert block[12] == "        # }}"


@pytest.mark.parametrize(
    "text, shown",
    [
        ("CONFIDENTIAL", "CONFIDENTIAL"),
        ("機密 — 社外秘", "機密 — 社外秘"),
        # markup, quotes and URI or CSS specials would break the layer (or the page)
        ('R&D <b>"x"</b> #1 100% a\\b', "R&amp;D &lt;b&gt;&quot;x&quot;&lt;/b&gt; %231 100%25 a%5Cb"),
    ],
)
def test_watermark_block_text(tmp_path, text, shown):
    out = convert(tmp_path, {"Page.md": "# P\n"}, watermark_enable=True, watermark_text=text)
    html = next(out.iterdir()).read_text(encoding="utf-8")
    expected = "        /* 💡 Watermark Layer */\n        " + watermark_block(shown) + "\n        # body::after {\n"
    assert expected in html
    assert style_of(html).count("/* 💡 Watermark Layer */") == 2


def test_watermark_off_leaves_indentation_line(tmp_path):
    out = convert(tmp_path, {"Page.md": "# P\n"}, watermark_text="Ignored")
    html = (out / "Page.html").read_text(encoding="utf-8")
    assert "        /* 💡 Watermark Layer */\n        \n        # body::after {\n" in html
    assert style_of(html).count("/* 💡 Watermark Layer */") == 1
    assert "Ignored" not in html


# --- in the browser -----------------------------------------------------------


def png_bytes(width, height):
    buf = io.BytesIO()
    Image.new("RGB", (width, height), (30, 120, 200)).save(buf, "PNG")
    return buf.getvalue()


def long_note():
    filler = "\n\n".join(f"Paragraph {i} of filler text." for i in range(40))
    parts = ["Created: 2024-01-01", "**Author:** Ann", "", "# Overview", filler]
    for title in ("Set-up", "Results", "Open points"):
        parts += [f"## {title}", filler]
    return "\n".join(parts) + "\n"


def test_toc_links_jump_to_headings_under_the_watermark(tmp_path, page):
    out = convert(tmp_path, {"Notes.md": long_note()}, watermark_enable=True)
    page.goto((out / "Notes_CONFIDENTIAL.html").as_uri())
    links = page.locator(".toc a")
    assert links.count() == 4
    for i in range(4):
        target = links.nth(i).get_attribute("href")
        page.evaluate("window.scrollTo(0, 0)")
        links.nth(i).click()  # the watermark layer above the page must let clicks through
        page.wait_for_function("h => location.hash === h", arg=target)
        top = page.evaluate(
            "id => document.getElementById(id).getBoundingClientRect().top", target[1:])
        assert abs(top) < 2, (target, top)


def test_embedded_images_load(tmp_path, page):
    note = "# Pics\n\n![one](My%20Pictures/blue%20one.png)\n\n<img src=\"two.png\" alt=\"two\">\n"
    out = convert(tmp_path, {"Pics.md": note, "My Pictures/blue one.png": png_bytes(40, 20),
                             "two.png": png_bytes(7, 9)})
    page.goto((out / "Pics.html").as_uri())
    page.wait_for_load_state("load")
    images = page.evaluate(
        "[...document.images].map(i => [i.alt, i.src.slice(0, 22), i.complete, i.naturalWidth])")
    assert images == [["one", "data:image/png;base64,", True, 40],
                      ["two", "data:image/png;base64,", True, 7]]


WATERMARK_LAYER = """async () => {
    const bg = getComputedStyle(document.body, '::after').backgroundImage;
    if (bg === 'none') return [bg, 0];
    const img = new Image();
    img.src = bg.slice(5, -2).replace(/\\\\"/g, '"');
    try { await img.decode(); } catch (e) { return [bg.slice(0, 29), -1]; }
    return [bg.slice(0, 29), img.naturalWidth];
}"""


@pytest.mark.parametrize(
    "settings, expected",
    [
        ({"watermark_enable": True}, ['url("data:image/svg+xml;utf8,', 250]),
        ({"watermark_enable": True, "watermark_text": 'R&D <b>"x"</b> #1'},
         ['url("data:image/svg+xml;utf8,', 250]),
        ({"watermark_enable": False}, ["none", 0]),
    ],
)
def test_watermark_layer_only_when_enabled(tmp_path, page, settings, expected):
    out = convert(tmp_path, {"W.md": "# W\n\n`code` text\n"}, **settings)
    page.goto(next(out.iterdir()).as_uri())
    assert page.evaluate(WATERMARK_LAYER) == expected
    # the inert block is dropped by the style sheet parser without taking a neighbour along
    selectors = page.evaluate("[...document.styleSheets[0].cssRules].map(r => r.selectorText)")
    assert selectors == ["body"] + (["body::after"] if expected[1] else []) + [
        "code:not(pre > code)", "pre", "pre > code", "h1, h2, h3, h4, h5, h6", "h1", "h2", "h3",
        "ul, ol", "li", "hr", "a", "a:hover", "img"]
