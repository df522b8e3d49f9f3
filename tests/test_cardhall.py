"""card-hall: the YAML template, the page and card texts, the card-key rules,
link resolution, the output folder and the command's statuses."""

import re

import pytest
import yaml

import dorvex.cardhall as ch

TEMPLATE_LINES = [
    "folder_path: ./",
    None,  # base_url: the project's documentation address, checked below
    'document_title: "[Project Name] Documentation"',
    'document_description: "Welcome to the [Project Name] documentation. Please select a document below to explore the details."',
    'download_link: "package.zip"',
    "show_download_link: true",
    "",
    'document1_title: "[template_doc]"',
    'document1_file: "template_doc.html"',
    "document1_description: \"[Brief description of the document's purpose and contents.]\"",
    'document1_icon: "\U0001f4c4"',
    "",
    'document2_title: "[template_flow_chart]"',
    'document2_file: "template_flow_chart.html"',
    "document2_description: \"[Brief description of the document's purpose and contents.]\"",
    'document2_icon: "\U0001f500"',
    "",
    'document3_title: "[log text file]"',
    'document3_file: "log.txt"',
    'document3_description: "Brief description of the log text purpose and contents."',
    'document3_icon: "\U0001f4df"  ',
    "",
    'document4_title: "log zip file"',
    'document4_file: "log.zip"',
    'document4_description: "Brief description of the log zip file purpose and contents."',
    'document4_icon: "\U0001f4e6"  ',
    "",
    'document5_title: "download from R2"',
    'document5_file: "download/hello.txt"',
    'document5_description: "Brief description of the document3 purpose and contents."',
    'document5_icon: "\U0001f4e6"  ',
]

CARD_LINES = [
    " " * 12 + "<!-- Document Card -->",
    " " * 12 + '<a href="{file_url}" class="card">',
    " " * 16 + '<span class="file-tag">@{file}</span>',
    " " * 16 + '<div class="card-content">',
    " " * 20 + "<h2>{icon} {title}</h2>",
    " " * 20 + "<p>{description}</p>",
    " " * 16 + "</div>",
    " " * 12 + "</a>",
]

STYLE = {
    "body": "font-family: 'Segoe UI', Roboto, Helvetica, Arial, sans-serif; background-color: #f8f9fa; color: #333333; margin: 0; padding: 0; line-height: 1.6",
    ".container": "max-width: 900px; margin: 0 auto; padding: 40px",
    "header": "display: flex; justify-content: space-between; align-items: flex-start; margin-bottom: 20px",
    "header h1": "font-size: 2.5rem; color: #212529; margin: 0 0 10px 0",
    "header p": "color: #6c757d; margin: 0; font-size: 1.1rem",
    ".home-btn": "text-decoration: none; color: #333333; font-weight: 600; border: 1px solid #dee2e6; padding: 8px 16px; border-radius: 6px; background-color: #ffffff; transition: all 0.2s ease; box-shadow: 0 2px 4px rgba(0,0,0,0.02); white-space: nowrap",
    ".home-btn:hover": "border-color: #007bff; color: #007bff; transform: translateY(-2px); box-shadow: 0 4px 8px rgba(0, 123, 255, 0.1)",
    ".card-container": "display: flex; flex-direction: column; gap: 10px",
    ".card": "display: flow-root; text-decoration: none; background-color: #ffffff; border: 1px solid #dee2e6; border-radius: 12px; padding: 10px 25px; min-height: 50px; color: inherit; position: relative; transition: transform 0.2s ease, border-color 0.2s ease, box-shadow 0.2s ease",
    ".card:hover": "transform: translateY(-4px); border-color: #007bff; box-shadow: 0 6px 16px rgba(0, 123, 255, 0.12)",
    ".card-content h2": "margin-top: 0; margin-bottom: 8px; color: #007bff; font-size: 1.25rem; overflow-wrap: break-word",
    ".card-content p": "margin: -0.68em 0; color: #6c757d; padding-left: 32px; overflow-wrap: break-word",
    ".file-tag": "float: right; margin: 14px -1px 0 12px; max-width: 100%; box-sizing: border-box; overflow-wrap: break-word; background-color: #e9ecef; padding: 4px 12px; border-radius: 20px; font-size: 0.85rem; color: #6c757d; font-family: 'Consolas', 'Courier New', monospace",
    "@media (max-width: 600px)": ".file-tag {{ float: none; display: inline-block; margin: 4px 0 6px 0; }}",
    ".download-section": "text-align: center; margin-top: 20px",
    ".download-btn": "display: inline-block; margin-top: 15px; padding: 10px 20px; background-color: #28a745; color: white; text-decoration: none; border-radius: 8px; font-weight: bold; box-shadow: 0 4px 6px rgba(0,0,0,0.1); transition: background-color 0.2s ease, transform 0.2s ease",
    ".download-btn:hover": "background-color: #218838; transform: translateY(-2px); box-shadow: 0 6px 12px rgba(0,0,0,0.15)",
    "footer": "margin-top: 60px; padding-top: 20px; border-top: 1px solid #dee2e6; text-align: center; color: #6c757d; font-size: 0.9rem",
}

DOWNLOAD = (
    '        <div class="download-section">\n            <a href="{}" class="download-btn" '
    "download>\U0001f4e5 Download Offline Package (.zip)</a>\n        </div>"
)


def write_page(tmp_path, config):
    """Runs the generator with folder_path in tmp_path; returns (pair, page text)."""
    config = {"folder_path": str(tmp_path / "site"), **config}
    pair = ch.CardhallGenerator(config).run()
    out = tmp_path / "site" / "index.html"
    return pair, out.read_text(encoding="utf-8") if out.exists() else None


def cards_of(page):
    """(href, file tag, heading, description) of every card, in page order."""
    return re.findall(
        r'<a href="(.*?)" class="card">\n\s*<span class="file-tag">@(.*?)</span>\n'
        r"\s*<div class=\"card-content\">\n\s*<h2>(.*?)</h2>\n\s*<p>(.*?)</p>",
        page,
    )


def run_cli(runner, tmp_path, text):
    path = tmp_path / "cards.yaml"
    path.write_text(text, encoding="utf-8")
    return runner.invoke(ch.cmd_cardhall, ["-c", str(path)]), path


# --- module level and texts -------------------------------------------------


def test_module_level():
    assert ch.__file__.endswith(".so")
    assert ch.CardhallGenerator.__doc__ is None
    assert ch.log.name == "Cardhall"
    assert ch.CardhallGenerator({"a": 1}).config == {"a": 1}
    assert ch.cmd_cardhall.name == "card-hall"
    assert ch.cmd_cardhall.help == "Generate an HTML index page from a YAML configuration file."
    assert [(p.opts, p.help) for p in ch.cmd_cardhall.params] == [
        (["--config", "-c"], "Specify the YAML config file path"),
        (["--generate-config"], "Generate config_cardhall_template.yaml"),
    ]


def test_yaml_template_exact():
    lines = ch.DEFAULT_YAML_CONTENT.split("\n")
    assert lines[-1] == "" and len(lines) == 32
    for want, got in zip(TEMPLATE_LINES, lines):
        if want is not None:
            assert got == want
    assert re.fullmatch(r'base_url: "https://[^"]*dorvex[^"]*"', lines[1])
    loaded = yaml.safe_load(ch.DEFAULT_YAML_CONTENT)
    assert loaded["show_download_link"] is True and loaded["document3_icon"] == "\U0001f4df"


def test_card_template_exact():
    assert ch.CARD_TEMPLATE == "".join(line + "\n" for line in CARD_LINES)


def test_index_template_structure():
    lines = ch.INDEX_TEMPLATE.split("\n")
    end = lines.index("    </style>")
    assert lines[:6] == [
        "<!DOCTYPE html>", '<html lang="en">', "<head>", '    <meta charset="UTF-8">',
        "    <title>{document_title}</title>", "    <style>",
    ]
    tail = lines[end:]
    assert tail[:13] == [
        "    </style>", "</head>", "<body>", '    <div class="container">', "        <header>",
        "            <div>", "                <h1>{document_title}</h1>",
        "                <p>{document_description}</p>", "            </div>",
        tail[9], "        </header>", " " * 8, '        <div class="card-container">',
    ]
    assert re.fullmatch(r' {12}<a href="https://[^"]*dorvex[^"]*" class="home-btn">\U0001f3e0 Home</a>', tail[9])
    assert tail[13:19] == ["{cards_html}        </div>", " " * 8, "{download_section}", " " * 8, "        <footer>", tail[18]]
    assert re.fullmatch(r" {12}\S.*dorvex.*", tail[18])
    assert tail[19:] == ["        </footer>", "    </div>", "</body>", "</html>", ""]


def test_index_template_style_rules():
    style = "\n".join(ch.INDEX_TEMPLATE.split("\n")[6:ch.INDEX_TEMPLATE.split("\n").index("    </style>")])
    comments = re.findall(r"^ {8}(/\*.*\*/)$", style, re.M)
    assert comments == [f"/* {c} */" for c in
                        ["Global Styles", "Header", "Home Button", "Card Layout",
                         "Narrow windows: the file tag on a line of its own above the title",
                         "Download Button", "Footer"]]
    rules = re.findall(r"^ {8}(\S[^\n{]*?) \{\{\n((?: {12}.*\n)*) {8}\}\}$", style, re.M)
    assert [sel for sel, _ in rules] == list(STYLE)
    for selector, body in rules:
        decls = [re.sub(r"\s*/\*.*\*/", "", d.strip()).rstrip(";") for d in body.strip("\n").split("\n")]
        assert "; ".join(decls) == STYLE[selector], selector
    # Only the doubled braces of the rules and the placeholders remain.
    filled = ch.INDEX_TEMPLATE.format(document_title="T", document_description="D", cards_html="", download_section="")
    assert "{{" not in filled and "body {\n" in filled and filled.count("<title>T</title>") == 1


# --- command ----------------------------------------------------------------


def test_template_builds_its_page(runner, in_tmp):
    assert runner.invoke(ch.cmd_cardhall, ["--generate-config"]).exit_code == 0
    result = runner.invoke(ch.cmd_cardhall, ["-c", "config_cardhall_template.yaml"])
    assert result.exit_code == 0
    assert result.stdout == "Done: Successfully generated HTML index at: ./index.html\n"
    page = (in_tmp / "index.html").read_text(encoding="utf-8")
    assert [c[1] for c in cards_of(page)] == [
        "template_doc.html", "template_flow_chart.html", "log.txt", "log.zip", "download/hello.txt"]
    assert cards_of(page)[0][0] == yaml.safe_load(ch.DEFAULT_YAML_CONTENT)["base_url"].rstrip("/") + "/template_doc.html"


@pytest.mark.parametrize("text", ["a: [1\n", "- 1\n", "\xff"])
def test_unloadable_yaml_is_status_1(runner, tmp_path, text):
    path = tmp_path / "cards.yaml"
    path.write_bytes(text.encode("latin-1"))
    result = runner.invoke(ch.cmd_cardhall, ["-c", str(path)])
    assert result.exit_code == 1
    assert result.stdout == ""
    assert result.stderr.startswith(f"Error: {path}: ") and result.stderr.count("\n") == 1


def test_empty_mapping(runner, in_tmp):
    result, _ = run_cli(runner, in_tmp, "")
    assert result.exit_code == 0
    assert result.stdout == "Done: Successfully generated HTML index at: ./data_cardhall/index.html\n"
    page = (in_tmp / "data_cardhall" / "index.html").read_text(encoding="utf-8")
    assert "<title>Documentation</title>" in page and "<h1>Documentation</h1>" in page
    assert '        <div class="card-container">\n        </div>\n' in page
    assert "\n" + DOWNLOAD.format("package.zip") + "\n" in page
    assert "<p></p>" in page


@pytest.mark.parametrize(
    "show, line",
    [(True, DOWNLOAD.format("dl/all.zip")), (False, ""), ("", ""), (0, ""), ("no", DOWNLOAD.format("dl/all.zip"))],
)
def test_download_section(tmp_path, show, line):
    (ok, _), page = write_page(tmp_path, {"show_download_link": show, "download_link": "dl/all.zip",
                                          "base_url": "https://x.example/"})
    assert ok
    assert "        \n" + line + "\n        \n        <footer>" in page


@pytest.mark.parametrize(
    "config, expected",
    [
        ({"document10_title": "ten", "document2_title": "two", "document1_title": "one"},
         ["one", "two", "ten"]),
        ({"document03_title": "three"}, ["three"]),
        ({"document1_title": "first", "document01_title": "second"}, ["second"]),
        ({"doc1_title": "x", "document_x_title": "y", "document1_name": "z", "Document1_title": "w"}, []),
        ({"document2_files": "b.pdf", "document2_file": "a.pdf"}, ["Document 2"]),
        ({"document7_description": "only text", "document5_icon": "*"}, ["Document 5", "Document 7"]),
    ],
)
def test_card_keys(tmp_path, config, expected):
    (ok, _), page = write_page(tmp_path, config)
    assert ok
    assert [c[2].split(" ", 1)[1] for c in cards_of(page)] == expected


def test_card_defaults_and_raw_markup(tmp_path):
    (ok, _), page = write_page(tmp_path, {
        "base_url": "https://x.example/docs",
        "document3_description": "see <b>bold</b> & more",
        "document4_title": 2024, "document4_file": "a.pdf", "document4_icon": None,
    })
    assert ok
    assert cards_of(page) == [
        ("#", "#", "\U0001f4c4 Document 3", "see <b>bold</b> & more"),
        ("https://x.example/docs/a.pdf", "a.pdf", "None 2024", ""),
    ]


@pytest.mark.parametrize(
    "base, file, url",
    [
        ("/docs/", "/guide.html", "/docs/guide.html"),
        ("/docs", "guide.html", "/docs/guide.html"),
        ("/docs///", "//guide.html", "/docs/guide.html"),
        ("/docs/", "https://other.example/a", "https://other.example/a"),
        ("/docs/", "http://other.example/a", "http://other.example/a"),
        ("/docs/", "HTTPS://other.example/a", "/docs/HTTPS://other.example/a"),
        ("/docs/", "#", "#"),
        ("", "/guide.html", "/guide.html"),
        (None, "guide.html", "guide.html"),
        ("", 42, "42"),
    ],
)
def test_link_resolution(tmp_path, base, file, url):
    config = {"document1_file": file}
    if base is not None:
        config["base_url"] = base
    (ok, _), page = write_page(tmp_path, config)
    assert ok
    assert cards_of(page)[0][:2] == (url, str(file))


@pytest.mark.parametrize("folder", ["", "a/b/c"])
def test_folder_path(in_tmp, folder):
    ok, msg = ch.CardhallGenerator({"folder_path": folder}).run()
    out = (in_tmp / folder / "index.html") if folder else (in_tmp / "index.html")
    assert (ok, msg) == (True, f"Successfully generated HTML index at: {'a/b/c/index.html' if folder else 'index.html'}")
    assert out.read_text(encoding="utf-8").startswith("<!DOCTYPE html>")


@pytest.mark.parametrize("sub, reason", [("", "Not a directory"), ("sub", "cannot create folder_path")])
def test_unwritable_folder(runner, tmp_path, sub, reason):
    blocker = tmp_path / "blocker"
    blocker.write_text("a file where the folder should be")
    folder = str(blocker / sub) if sub else str(blocker)
    ok, msg = ch.CardhallGenerator({"folder_path": folder}).run()
    assert ok is False and msg.startswith("Failed to generate index file: ") and reason in msg
    result, _ = run_cli(runner, tmp_path, f"folder_path: '{folder}'\n")
    assert result.exit_code == 1
    assert result.stdout == ""
    assert result.stderr == f"Error: {msg}\n"
    assert blocker.read_text() == "a file where the folder should be"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["blocker", "cards.yaml"]


@pytest.mark.parametrize(
    "text, line",
    [
        ("1: one\n", "keys must be text (got 1)"),
        ("document1_title: a\n2024-01-02: z\n", "keys must be text (got datetime.date(2024, 1, 2))"),
        ("base_url: 5\ndocument1_file: a.html\n", "base_url must be text (got 5)"),
        ("base_url: /d/\ndocument01_file: 5\n", "document01_file must be text (got 5)"),
        ("base_url: /d/\ndocument2_files: [a]\n", 'document2_files must be text (got ["a"])'),
        ("folder_path:\n", "folder_path must be a folder path (got null)"),
        # what YAML makes of an empty value, of yes/no and of a list is never a title
        ("document_title:\n", "document_title must be text (got null)"),
        ("document3_icon: yes\n", "document3_icon must be text (got true)"),
        ("download_link: {a: 1}\n", 'download_link must be text (got {"a": 1})'),
        ("base_url:\n", "base_url must be text (got null)"),
        ("show_download_link: 'false'\n", 'show_download_link must be true or false (got "false")'),
        ("show_download_link: 0\n", "show_download_link must be true or false (got 0)"),
        ("show_download_link: .nan\n", "show_download_link must be true or false (got NaN)"),
        ("show_download_link: 2024-01-02\n",
         "show_download_link must be true or false (got datetime.date(2024, 1, 2))"),
        ("show_download_link: !!binary aGk=\n", "show_download_link must be true or false (got b'hi')"),
        ("show_download_link: !!set {a}\n", "show_download_link must be true or false (got {'a'})"),
        ('folder_path: "a\\0b"\n', 'folder_path must be a folder path (got "a\\u0000b")'),
    ],
)
def test_bad_values_are_one_line(runner, tmp_path, text, line):
    result, path = run_cli(runner, tmp_path, text)
    assert result.exit_code == 1
    assert result.stderr == f"Error: {path}: {line}\n"
    assert not (tmp_path / "index.html").exists()


def alias_bomb(levels):
    lines = ['a0: &a0 ["lol", "lol", "lol", "lol", "lol", "lol", "lol", "lol", "lol"]']
    lines += [f"a{i}: &a{i} [{', '.join([f'*a{i - 1}'] * 9)}]" for i in range(1, levels)]
    return "\n".join(lines) + f"\ndocument1_description: *a{levels - 1}\n"


@pytest.mark.parametrize(
    "text",
    [alias_bomb(9), "s: &s " + "x" * 100_000 + "\n" + "".join(
        f"document{n}_description: *s\n" for n in range(60))],
)
def test_alias_expansion_is_refused(runner, tmp_path, text):
    result, path = run_cli(runner, tmp_path, f"folder_path: '{tmp_path}'\n" + text)
    assert result.exit_code == 1
    assert result.stderr.startswith(f"Error: {path}: YAML aliases expand the values to more than ")
    assert not (tmp_path / "index.html").exists()


def test_control_characters_are_dropped(tmp_path):
    (ok, _), page = write_page(tmp_path, {"document_title": "A\x00B\x1b\x85C",
                                          "document1_title": "t\tu\r\nv\x7f"})
    assert ok
    page = (tmp_path / "site" / "index.html").read_bytes().decode()
    assert "<h1>ABC</h1>" in page and "t\tu\r\nv</h2>" in page
    assert not re.search("[\x00-\x08\x0b\x0c\x0e-\x1f\x7f-\x9f]", page)


def test_bad_value_from_python_is_a_type_error():
    with pytest.raises(TypeError, match=r"^document1_file must be text \(got 5\)$"):
        ch.CardhallGenerator({"base_url": "/d", "document1_file": 5}).run()


def test_non_text_base_url_unused_is_fine(tmp_path):
    (ok, _), page = write_page(tmp_path, {"base_url": 5, "document1_file": "https://a.example/"})
    assert ok and cards_of(page)[0][0] == "https://a.example/"


# --- in the browser ---------------------------------------------------------


def test_page_in_browser(tmp_path, page):
    (ok, _), _ = write_page(tmp_path, {
        "document_title": "Lab <i>results</i>",
        "base_url": "https://files.example/week1/",
        "document2_title": "Report", "document2_file": "report.pdf", "document2_description": "PDF",
        "document1_title": "Home page", "document1_file": "https://other.example/x",
        "document9_title": "Nothing yet",
    })
    assert ok
    page.goto((tmp_path / "site" / "index.html").as_uri())
    assert page.locator("h1").inner_text() == "Lab results"
    assert page.locator("h1 i").count() == 1
    cards = page.locator("a.card")
    assert cards.count() == 3
    assert [cards.nth(i).get_attribute("href") for i in range(3)] == [
        "https://other.example/x", "https://files.example/week1/report.pdf", "#"]
    assert [cards.nth(i).locator("h2").inner_text() for i in range(3)] == [
        "\U0001f4c4 Home page", "\U0001f4c4 Report", "\U0001f4c4 Nothing yet"]
    for i in range(3):
        card = cards.nth(i).bounding_box()
        tag = cards.nth(i).locator(".file-tag")
        box = tag.bounding_box()
        assert tag.evaluate("e => getComputedStyle(e).float") == "right"
        assert card["x"] < box["x"] and box["x"] + box["width"] < card["x"] + card["width"]
        assert card["y"] < box["y"] and box["y"] + box["height"] < card["y"] + card["height"]
        # top-right corner
        assert box["x"] > card["x"] + card["width"] / 2
    assert page.locator("a.download-btn").get_attribute("href") == "package.zip"
    assert page.locator("a.home-btn").get_attribute("href").startswith("https://")


# Every line box of a card's texts, and the file tag's box.
CARD_BOXES = """card => {
    const lines = el => { const r = document.createRange(); r.selectNodeContents(el);
                          return [...r.getClientRects()].map(b => [b.left, b.top, b.right, b.bottom]); };
    const t = card.querySelector('.file-tag').getBoundingClientRect();
    const c = card.getBoundingClientRect();
    return {text: [...lines(card.querySelector('h2')), ...lines(card.querySelector('p'))],
            tag: [t.left, t.top, t.right, t.bottom], card: [c.left, c.top, c.right, c.bottom]};
}"""


@pytest.mark.parametrize("width", [1280, 400, 360])
def test_cards_readable_at_any_width(tmp_path, page, width):
    long = "A description long enough to wrap onto several lines of the card, " * 4
    (ok, _), _ = write_page(tmp_path, {
        "document1_title": "One line", "document1_file": "a.pdf", "document1_description": "Short.",
        "document2_title": "A heading that is long enough to wrap on a narrow window",
        "document2_file": "results/2024/very-long-folder-name/report-final.pdf",
        "document2_description": long})
    assert ok
    page.set_viewport_size({"width": width, "height": 800})
    page.goto((tmp_path / "site" / "index.html").as_uri())
    for card in page.locator("a.card").element_handles():
        boxes = card.evaluate(CARD_BOXES)
        text = sorted(boxes["text"], key=lambda b: b[1])
        for above, below in zip(text, text[1:]):
            if below[1] - above[1] > 1:  # another line: below the one above, not across it
                assert below[1] >= above[3] - 1
        for line in text:
            tag = boxes["tag"]
            assert line[2] <= tag[0] or line[0] >= tag[2] or line[3] <= tag[1] or line[1] >= tag[3]
            assert boxes["card"][0] <= line[0] and line[2] <= boxes["card"][2]

