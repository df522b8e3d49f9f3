"""notepress: the command, pre-processing, page naming and image embedding."""

import base64
import io
import json
import logging
import os
import subprocess
import sys

import pytest
from PIL import Image

import dorvex.notepress as np


def make_png(width, height, fmt="PNG"):
    buf = io.BytesIO()
    Image.new("RGB", (width, height), "red").save(buf, fmt)
    return buf.getvalue()


def convert(tmp_path, files, **settings):
    """Writes `files` ({relative path: text or bytes}) under in/, converts them
    into out/ and returns (result pair, out folder)."""
    src = tmp_path / "in"
    for rel, content in files.items():
        path = src / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_text(content, encoding="utf-8")
    config = {"input_path": str(src), "output_path": str(tmp_path / "out"), **settings}
    return np.NotepressConverter(config).run(), tmp_path / "out"


def messages(caplog, level=logging.DEBUG):
    return [r.getMessage() for r in caplog.records if r.levelno >= level]


@pytest.fixture(autouse=True)
def debug_off(monkeypatch):
    """Another test may have run `python -m dorvex notepress` in this process,
    which sets DORVEX_DEBUG for good."""
    monkeypatch.delenv("DORVEX_DEBUG", raising=False)


@pytest.fixture
def debug_on(monkeypatch, caplog):
    monkeypatch.setenv("DORVEX_DEBUG", "1")
    caplog.set_level(logging.DEBUG, logger="Dorvex")


# --- module level and command ---------------------------------------------


def test_module_attributes_in_order():
    names = [n for n in vars(np) if not n.startswith("__") and n != "markdown"]
    assert names == [
        "os", "sys", "base64", "re", "urllib", "click", "Path", "HAS_MD",
        "fileMg", "app_logging", "log", "DEFAULT_CONFIG", "PAGE_TEMPLATE",
        "NotepressConverter", "cmd_notepress",
    ]
    # Markdown is bound at its first use
    assert np.HAS_MD is True and np.markdown.__name__ == "markdown"
    assert np.__file__.endswith(".so")
    assert hasattr(np.urllib, "parse")
    assert np.cmd_notepress.name == "notepress"
    assert "Command entry point for Notepress Generator" in np.cmd_notepress.callback.__doc__


def test_constructor_reads_defaults_and_ignores_unknown():
    conv = np.NotepressConverter({"watermark_text": "X", "other": 1})
    assert (conv.input_path, conv.output_path, conv.embed_images, conv.watermark_enable,
            conv.watermark_text) == ("./", "./", True, False, "X")


def test_missing_markdown_stops_even_generate(runner, in_tmp, monkeypatch, caplog):
    monkeypatch.setattr(np, "HAS_MD", False)
    result = runner.invoke(np.cmd_notepress, ["--generate-config"])
    assert result.exit_code == 1
    assert messages(caplog) == ["Missing Python package 'markdown'. Please run: pip install markdown"]
    assert not (in_tmp / "config_notepress_template.json").exists()


def test_nonexistent_config_is_a_usage_error(runner, tmp_path):
    result = runner.invoke(np.cmd_notepress, ["-c", str(tmp_path / "nope.json")])
    assert result.exit_code == 2
    assert "does not exist" in result.stderr


@pytest.mark.parametrize(
    "content, why",
    [('{"other": {}}', 'missing required key "config"'), ("{not json", "not valid JSON")],
)
def test_unloadable_config_exits_1(runner, tmp_path, caplog, content, why):
    path = tmp_path / "c.json"
    path.write_text(content)
    result = runner.invoke(np.cmd_notepress, ["-c", str(path)])
    assert result.exit_code == 1
    assert result.stdout == ""
    assert any(why in m for m in messages(caplog))


@pytest.mark.parametrize(
    "config, line",
    [
        ([1], "config must be an object (got [1])"),
        ({"input_path": 5}, "config.input_path must be a string (got 5)"),
        ({"watermark_text": None}, "config.watermark_text must be a string (got null)"),
        ({"embed_images": "false"}, 'config.embed_images must be true or false (got "false")'),
        ({"input_path": "a\0b"}, 'config.input_path must be a path without NUL characters '
                                  '(got "a\\u0000b")'),
    ],
)
def test_wrong_setting_type_is_one_line(runner, tmp_path, config, line):
    path = tmp_path / "c.json"
    path.write_text(json.dumps({"config": config}))
    result = runner.invoke(np.cmd_notepress, ["-c", str(path)])
    assert result.exit_code == 1
    assert result.stderr == f"Error: {path}: {line}\n"


def test_no_markdown_files_is_an_error(runner, tmp_path):
    (tmp_path / "in").mkdir()
    path = tmp_path / "c.json"
    path.write_text(json.dumps({"config": {"input_path": str(tmp_path / "in")}}))
    result = runner.invoke(np.cmd_notepress, ["-c", str(path)])
    assert result.exit_code == 1
    assert result.stderr.endswith(f"Error: No Markdown files found in: {tmp_path / 'in'}\n")
    assert result.stdout == ""


@pytest.mark.parametrize("case", ["undecodable note", "output_path a file"])
def test_every_note_failing_ends_with_status_1(runner, tmp_path, caplog, case):
    (tmp_path / "in").mkdir()
    if case == "undecodable note":
        (tmp_path / "in" / "note.md").write_bytes(b"# Title \xff\n")
    else:
        (tmp_path / "in" / "note.md").write_text("# Title\n")
        (tmp_path / "out").write_text("a file, not a folder")
    path = tmp_path / "c.json"
    path.write_text(json.dumps({"config": {"input_path": str(tmp_path / "in"),
                                           "output_path": str(tmp_path / "out")}}))
    result = runner.invoke(np.cmd_notepress, ["-c", str(path)])
    assert result.exit_code == 1
    assert result.stderr.endswith("Error: No page was written: all 1 Markdown files failed.\n")
    failed = messages(caplog, logging.ERROR)
    assert len(failed) == 1 and failed[0].startswith(f"Failed to process {tmp_path / 'in' / 'note.md'}: ")


def test_python_m_sets_debug_and_logging(tmp_path):
    (tmp_path / "Note.md").write_text("# Note\n", encoding="utf-8")
    (tmp_path / "c.json").write_text(json.dumps({"config": {"output_path": "out"}}))
    env = {k: v for k, v in os.environ.items() if k != "DORVEX_DEBUG"}
    proc = subprocess.run([sys.executable, "-m", "dorvex", "notepress", "-c", "c.json"],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "Done: Successfully converted 1 Markdown files.\n"
    assert "DEBUG   Dorvex.Notepress: Debug mode is ON. Found 1 file(s)." in proc.stderr
    assert (tmp_path / "out" / "Note_debug.md").read_text() == "# Note\n\n[TOC]\n\n\n"
    assert (tmp_path / "out" / "Note.html").is_file()


def test_rebound_log_sees_the_run(tmp_path, monkeypatch):
    seen = []

    class Recorder:
        def __getattr__(self, level):
            return lambda msg: seen.append((level, msg))

    monkeypatch.setattr(np, "log", Recorder())
    monkeypatch.delenv("DORVEX_DEBUG", raising=False)
    result, out = convert(tmp_path, {"A.md": "# A\n"})
    assert result == (True, "Successfully converted 1 Markdown files.")
    src = tmp_path / "in"
    assert seen == [
        ("info", f"Starting Notepress process. Input path: {src}"),
        ("info", f"Processing: {src / 'A.md'}"),
        ("info", f"Saved HTML to: {out / 'A.html'}"),
    ]


# --- pre-processing ---------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        # property lines go anywhere and in any case; the gaps collapse
        ("Created: 2024-01-01\nTags: a, b\nStatus: Done\n# Intro\nbody\n",
         "\n\n# Intro\n\n[TOC]\n\n\nbody\n"),
        ("x\nCREATED by: me\nstatusbar: on\nVersion.2: y\nAssignee:z\nlanguage: en\ny\n",
         "x\n\ny\n"),
        (" Status: kept\nState: kept\nStatus without colon\n",
         " Status: kept\nState: kept\nStatus without colon\n"),
        ("a\n\n\n\n\nb", "a\n\nb"),
        # the author line takes the marker before any heading
        ("# Title\n**Author:** Ann\ntext", "# Title\n**Author:** Ann\n\n[TOC]\n\n\ntext"),
        ("**author:** ann\n## Sub\n", "[TOC]\n\n**author:** ann\n## Sub\n"),
        ("intro\n# Intro\n# Second\n", "intro\n# Intro\n\n[TOC]\n\n\n# Second\n"),
        ("#\n\nNext line\nmore", "#\n\nNext line\n\n[TOC]\n\n\nmore"),
        ("## Only level two\n", "[TOC]\n\n## Only level two\n"),
        ("Written in C#.\n", "[TOC]\n\nWritten in C#.\n"),
        ("No marker here.\n", "No marker here.\n"),
    ],
)
def test_preprocessing(tmp_path, debug_on, text, expected):
    result, out = convert(tmp_path, {"Page.md": text})
    assert result[0]
    assert (out / "Page_debug.md").read_text(encoding="utf-8") == expected


@pytest.mark.parametrize("value, written", [("1", True), ("true", False), ("01", False), (None, False)])
def test_debug_copy_only_for_exactly_1(tmp_path, monkeypatch, value, written):
    if value is None:
        monkeypatch.delenv("DORVEX_DEBUG", raising=False)
    else:
        monkeypatch.setenv("DORVEX_DEBUG", value)
    result, out = convert(tmp_path, {"Page.md": "# A\n"})
    assert result == (True, "Successfully converted 1 Markdown files.")
    assert (out / "Page_debug.md").exists() == written
    assert (out / "Page.html").is_file()


def test_debug_copies_are_not_converted_again(tmp_path, debug_on):
    settings = {"input_path": str(tmp_path), "output_path": str(tmp_path)}
    (tmp_path / "Page.md").write_text("# A\n")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "Other_debug.md").write_text("# B\n")
    for _ in range(2):
        assert np.NotepressConverter(settings).run() == (
            True, "Successfully converted 2 Markdown files.")
    assert sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*")) == [
        ".notepress-debug.json", "Other_debug.html", "Other_debug_debug.md", "Page.html",
        "Page.md", "Page_debug.md", "sub", "sub/Other_debug.md"]


@pytest.mark.parametrize("owner", ["note", "configuration", "edited copy"])
def test_debug_copy_never_replaces_a_file_not_ours(runner, tmp_path, debug_on, owner):
    """The output folder is the input folder, where plan_debug.md is a note
    of the user's, the configuration file, or a copy of ours edited since."""
    settings = json.dumps({"config": {"input_path": str(tmp_path), "output_path": str(tmp_path)}})
    (tmp_path / "plan.md").write_text("# Plan\n")
    theirs = tmp_path / "plan_debug.md"
    config = theirs if owner == "configuration" else tmp_path / "c.json"
    config.write_text(settings)
    if owner == "edited copy":
        assert runner.invoke(np.cmd_notepress, ["-c", str(config)]).exit_code == 0
    text = {"note": "IMPORTANT\n", "configuration": settings, "edited copy": "# Plan, edited\n"}[owner]
    theirs.write_text(text)
    for _ in range(2):  # the second run finds the copy the first one wrote
        result = runner.invoke(np.cmd_notepress, ["-c", str(config)])
        assert result.exit_code == 0, result.output
        assert theirs.read_text() == text
        assert (tmp_path / "plan_debug (2).md").read_text() == "# Plan\n\n[TOC]\n\n\n"
    assert sorted(p.name for p in tmp_path.iterdir() if p.suffix in (".md", ".html")) == [
        "plan.html", "plan.md", "plan_debug (2).md", "plan_debug.html", "plan_debug.md",
        "plan_debug_debug.md"]


def test_markdown_features_render(tmp_path):
    text = "# T\n\n| a | b |\n|---|---|\n| 1 | 2 |\n\n```python\nx = 1\n```\n\none\ntwo\n"
    _, out = convert(tmp_path, {"T.md": text})
    html = (out / "T.html").read_text(encoding="utf-8")
    assert "<title>T</title>" in html
    assert '<div class="toc">' in html
    assert "<td>1</td>" in html
    assert '<code class="language-python">x = 1' in html
    assert "one<br />\ntwo" in html


# --- output naming ----------------------------------------------------------


@pytest.mark.parametrize(
    "body, settings, name",
    [
        ("**Version:** [2.1](http://x/y)", {}, "Design Notes_2.1.html"),
        ("**Version:** 3.0 beta", {}, "Design Notes_3.0.html"),
        ("**Version:**", {}, "Design Notes.html"),
        ("**Version:** 2.1", {"watermark_enable": True}, "Design Notes_2.1_CONFIDENTIAL.html"),
        ("", {"watermark_enable": True, "watermark_text": "Top Secret!"},
         "Design Notes_Top_Secret.html"),
        ("", {"watermark_enable": True, "watermark_text": "!!!"}, "Design Notes.html"),
        ("", {"watermark_enable": False, "watermark_text": "Top Secret!"}, "Design Notes.html"),
        # the version text cannot leave the output folder or name a bad file
        ("**Version:** ../../../evil", {}, "Design Notes_______evil.html"),
        ("**Version:** [..\\x:y*z?]", {}, "Design Notes___x_y_z_.html"),
    ],
)
def test_output_name(tmp_path, body, settings, name):
    result, out = convert(tmp_path, {"Design Notes.md": f"# D\n{body}\n"}, **settings)
    assert result == (True, "Successfully converted 1 Markdown files.")
    assert sorted(os.listdir(out)) == [name]
    assert sorted(os.listdir(tmp_path)) == ["in", "out"]


def test_same_page_name_takes_the_next_free_name(tmp_path, caplog):
    result, out = convert(tmp_path, {"a/Page.md": "# First\n", "b/Page.md": "# Second\n",
                                     "c/Page (2).md": "# Third\n"})
    assert result == (True, "Successfully converted 3 Markdown files.")
    assert sorted(os.listdir(out)) == ["Page (2) (2).html", "Page (2).html", "Page.html"]
    assert "First" in page_html(out) and "Second" in page_html(out, "Page (2)")
    src = tmp_path / "in"
    assert messages(caplog, logging.WARNING) == [
        f"Page name clash: {src / 'b/Page.md'} and {src / 'a/Page.md'} both make Page.html; "
        "writing Page (2).html",
        f"Page name clash: {src / 'c/Page (2).md'} and {src / 'b/Page.md'} both make "
        "Page (2).html; writing Page (2) (2).html"]


def test_page_is_written_atomically(tmp_path, caplog):
    (tmp_path / "out" / "Page.html").mkdir(parents=True)
    (tmp_path / "out" / "Page.html" / "keep").write_text("x")
    (tmp_path / "out" / "Old.html").write_text("old page")
    result, out = convert(tmp_path, {"Page.md": "# P\n", "Old.md": "# New\n"})
    assert result == (True, "Successfully converted 1 Markdown files.")
    # the error names the page, not the hidden temporary it was written to first
    assert messages(caplog, logging.ERROR) == [
        f"Failed to process {tmp_path / 'in' / 'Page.md'}: [Errno 21] Is a directory: "
        f"'{out / 'Page.html'}'"]
    assert "<h1" in (out / "Old.html").read_text()
    assert sorted(os.listdir(out)) == ["Old.html", "Page.html"]  # no temporary left behind
    assert os.listdir(out / "Page.html") == ["keep"]


# --- images -----------------------------------------------------------------

PNG = make_png(3, 2)


def page_html(out, name="Page"):
    return (out / f"{name}.html").read_text(encoding="utf-8")


@pytest.mark.parametrize(
    "files, src, mime",
    [
        ({"My Notes/pic one.png": PNG}, "My%20Notes/pic%20one.png", "image/png"),
        ({"Bild/Ärger.png": PNG}, "Bild/%C3%84rger.png", "image/png"),
        ({"photo.JPEG": make_png(2, 2, "JPEG")}, "photo.JPEG", "image/jpeg"),
        ({"a.webp": make_png(2, 2, "WEBP")}, "a.webp", "image/png"),
        ({"d.svg": b"<svg/>"}, "d.svg", "image/svg+xml"),
        ({"g.GIF": b"GIF89a"}, "g.GIF", "image/gif"),
    ],
)
def test_local_images_are_embedded(tmp_path, debug_on, caplog, files, src, mime):
    files = {**files, "Page.md": f"# P\n![x]({src})\n"}
    _, out = convert(tmp_path, files)
    data = next(v for k, v in files.items() if k != "Page.md")
    uri = f"data:{mime};base64,{base64.b64encode(data).decode()}"
    assert f'<img alt="x" src="{uri}" />' in page_html(out)
    path = os.path.join(str(tmp_path / "in"), next(k for k in files if k != "Page.md"))
    assert f"Embedded Base64 image: {path}" in messages(caplog)


@pytest.mark.parametrize(
    "tag",
    [
        "<img src='pic.png'>",
        '<img src="http://example.com/pic.png">',
        '<img src="https://example.com/pic.png">',
        '<img src="data:image/png;base64,AAAA">',
    ],
)
def test_remote_data_and_single_quoted_sources_untouched(tmp_path, caplog, tag):
    _, out = convert(tmp_path, {"Page.md": f"# P\n\n{tag}\n", "pic.png": PNG})
    assert tag in page_html(out)
    assert not messages(caplog, logging.WARNING)


def test_embedding_off_keeps_references_and_watermark(tmp_path):
    _, out = convert(tmp_path, {"Page.md": "# P\n![x](pic.png)\n", "pic.png": PNG},
                     embed_images=0, watermark_enable=True)
    html = page_html(out, "Page_CONFIDENTIAL")
    assert 'src="pic.png"' in html
    assert "body::after {\n" in html and ">CONFIDENTIAL</text>" in html


def test_missing_and_unreadable_images_warn(tmp_path, caplog):
    (tmp_path / "in" / "dir.png").mkdir(parents=True)
    os.mkfifo(tmp_path / "in" / "fifo.png")  # opening it to read would block for ever
    _, out = convert(tmp_path, {"Page.md": "# P\n![a](gone.png)\n![b](dir.png)\n![c](fifo.png)\n"})
    html = page_html(out)
    assert 'src="gone.png"' in html and 'src="dir.png"' in html and 'src="fifo.png"' in html
    src = tmp_path / "in"
    warned = messages(caplog, logging.WARNING)
    assert warned[0] == f"Image not found during conversion: {src / 'gone.png'}"
    for i, name in ((1, "dir.png"), (3, "fifo.png")):
        assert warned[i].startswith(f"Failed to encode image {src / name}: ")
        assert warned[i + 1] == f"Image not found during conversion: {src / name}"
    assert "not a regular file" in warned[3]
    assert len(warned) == 5


@pytest.mark.parametrize("target", ["secret.txt", "notes.md", "id_rsa", "../outside.key"])
def test_only_image_files_are_embedded(tmp_path, caplog, target):
    (tmp_path / "outside.key").write_text("PRIVATE KEY")
    files = {"Page.md": f'# P\n\n<img src="{target}">\n', "secret.txt": "PRIVATE",
             "notes.md": "PRIVATE", "id_rsa": "PRIVATE"}
    _, out = convert(tmp_path, files)
    html = page_html(out)
    assert f'<img src="{target}">' in html and ";base64," not in html
    assert messages(caplog, logging.WARNING) == [
        "Not an image file, left as a reference: " + os.path.join(str(tmp_path / "in"), target)]


@pytest.mark.parametrize(
    "make, src, why",
    [
        # a link out of the folder, to a file a page must not carry
        (lambda d: os.symlink(d.parent / "secret" / "key.txt", d / "p.png"), "p.png", "outside"),
        (lambda d: (d / "x.png").write_text("PRIVATE KEY"), "x.png", "not an image"),
        # a real image, but outside the folder that is converted
        (lambda d: (d.parent / "secret" / "fake.png").write_bytes(PNG), "../secret/fake.png",
         "outside"),
    ],
)
def test_embeds_only_images_inside_the_input_folder(tmp_path, caplog, make, src, why):
    (tmp_path / "secret").mkdir()
    (tmp_path / "secret" / "key.txt").write_text("PRIVATE KEY")
    (tmp_path / "in").mkdir()
    make(tmp_path / "in")
    _, out = convert(tmp_path, {"Page.md": f'# P\n\n<img src="{src}">\n'})
    assert f'<img src="{src}">' in page_html(out) and ";base64," not in page_html(out)
    prefix = ("Image outside the input folder, left as a reference: " if why == "outside"
              else "Not an image file, left as a reference: ")
    assert messages(caplog, logging.WARNING) == [prefix + os.path.join(str(tmp_path / "in"), src)]


def test_encode_image_base64(tmp_path):
    conv = np.NotepressConverter({})
    (tmp_path / "x.Jpg").write_bytes(b"\xff\xd8\xff")
    assert conv._encode_image_base64(str(tmp_path / "x.Jpg")) == "data:image/jpeg;base64,/9j/"
    assert conv._encode_image_base64(img_path=str(tmp_path / "none.png")) is None
