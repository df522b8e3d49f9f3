"""chartsite: the command, the pages and the index, with the real mmdc and
with a small fake one placed first on PATH for the failure paths."""

import json
import logging
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import dorvex.chartsite as cs

FLOWCHART = "flowchart LR\n  Start --> Check{Check}\n  Check -->|yes| Done\n"
BROKEN = 'pie\n  "a" : x\n'  # mmdc exits 0 with Mermaid's error picture
SEQUENCE = "sequenceDiagram\n  Alice->>Bob: Hello Bob\n  Bob-->>Alice: Hi Alice\n"

# Records its arguments, fails for inputs named *bad*, exits 0 without output
# for *empty*, hangs in a grandchild (as Chromium would) for *slow*, else
# writes a small SVG holding the source, later when it holds "%% late", and
# notes when it finished.
FAKE_MMDC = """#!/bin/sh
printf '%s\\n' "$@" >> "$FAKE_MMDC_LOG"
case "${2##*/}" in *bad*) echo "fake mmdc: cannot render" >&2; exit 3;; esac
case "${2##*/}" in *empty*) exit 0;; esac
case "${2##*/}" in *slow*) sleep 60 & echo $! > "$FAKE_MMDC_LOG.pid"; wait; exit 0;; esac
grep -q "%% late" "$2" && sleep 0.3
{ printf '<svg xmlns="http://www.w3.org/2000/svg" width="20" height="10"><desc>'
  cat "$2"; printf '</desc></svg>'; } > "$4"
echo "$2" >> "$FAKE_MMDC_LOG.done"
"""
ERR_MMDC = ("Mermaid CLI ('mmdc') is not installed or not in PATH.\n"
            "Please install it via: npm install -g @mermaid-js/mermaid-cli")
WARN_EMPTY = "\n[WARNING] No .md or .mmd files were found in the input folder.\n"


def md_item(page, title):
    return f'<li><a href="{page}"><span class="icon">📘</span> {title}</a></li>'


def chart_item(stem, title):
    return f'<li><a href="{stem}.html"><span class="icon">📊</span> {title}</a></li>'


def write_config(path, **settings):
    path.write_text(json.dumps({"config": settings}), encoding="utf-8")
    return str(path)


@pytest.fixture
def fake_mmdc(tmp_path, monkeypatch):
    """A fake mmdc first on PATH; returns a function listing the input paths it got."""
    script = tmp_path / "fakebin" / "mmdc"
    script.parent.mkdir()
    script.write_text(FAKE_MMDC)
    script.chmod(0o755)
    log = tmp_path / "mmdc-calls.txt"
    monkeypatch.setenv("FAKE_MMDC_LOG", str(log))
    monkeypatch.setenv("PATH", f"{script.parent}{os.pathsep}{os.environ['PATH']}")
    return lambda: log.read_text().splitlines()[1::4] if log.exists() else []


@pytest.fixture
def site(tmp_path, runner):
    """Input folder `in`, output folder `out`, and run(**settings) -> result."""
    src, out = tmp_path / "in", tmp_path / "out"
    src.mkdir()

    def run(**settings):
        conf = write_config(tmp_path / "site.json", input_folder=str(src),
                            output_folder=str(out), **settings)
        return runner.invoke(cs.cmd_chartsite, ["-c", conf])

    return src, out, run


def test_module_level():
    assert [n for n in vars(cs) if not n.startswith("__")] == [
        "os", "subprocess", "sys", "shutil", "click", "markdown", "HAS_MD", "fileMg",
        "app_logging", "log", "PAGE_TEMPLATE", "INDEX_TEMPLATE", "DEFAULT_CONFIG",
        "MermaidConverter", "cmd_chartsite"]
    assert list(cs.DEFAULT_CONFIG["config"]) == [
        "input_folder", "output_folder", "index_title", "doc_titles", "chart_titles"]
    assert cs.cmd_chartsite.callback.__doc__ == "Command entry point for Chartsite Generator"
    page = cs.PAGE_TEMPLATE.format(title="T1", body_content="B1")
    assert page.startswith('\n<!DOCTYPE html>\n<html>\n<head>\n    <meta charset="UTF-8">\n'
                           "    <title>T1</title>\n    <style>\n        /* Base Notion Style */\n")
    assert "        \n        /* Blockquote (引言) */\n" in page
    assert page.endswith('    <div class="content">\n        B1\n    </div>\n    <footer>\n'
                         '        <a href="index.html" class="back-btn">← Back to Index</a>\n'
                         "    </footer>\n</body>\n</html>\n")
    index = cs.INDEX_TEMPLATE.format(index_title="I", md_section="M", chart_section="C")
    assert index.endswith("<body>\n    <h2>📁 I</h2>\n    M\n    C\n</body>\n</html>\n")


def test_missing_markdown(runner, in_tmp, monkeypatch, caplog):
    monkeypatch.setattr(cs, "HAS_MD", False)
    with caplog.at_level(logging.ERROR):
        result = runner.invoke(cs.cmd_chartsite, ["--generate-config"])
    assert result.exit_code == 1
    assert caplog.messages == [
        "Missing Python package 'markdown'. Please run: pip install markdown"]
    assert not (in_tmp / "config_chartsite_template.json").exists()


@pytest.mark.parametrize("content, reason", [
    ('{"other": {}}', 'missing required key "config"'),
    ('{"config": []}', "config must be an object"),
    ('{"config": {"input_folder": 5}}', "config.input_folder must be a non-empty string (got 5)"),
    ('{"config": {"index_title": null}}', "config.index_title must be a string (got null)"),
    ('{"config": {"chart_titles": {"a.mmd": 1}}}',
     "config.chart_titles must be an object of strings"),
])
def test_unusable_config_ends_with_status_1(runner, in_tmp, caplog, content, reason):
    (in_tmp / "c.json").write_text(content)
    with caplog.at_level(logging.ERROR):
        result = runner.invoke(cs.cmd_chartsite, ["-c", "c.json"])
    assert result.exit_code == 1
    assert result.stdout == ""
    assert reason in result.stderr + caplog.text
    assert not (in_tmp / "data_chartsite").exists()


@pytest.mark.parametrize("case", ["no mmdc", "no input folder"])
def test_run_errors_create_nothing(site, fake_mmdc, monkeypatch, tmp_path, case):
    src, out, run = site
    if case == "no mmdc":
        (src / "a.mmd").write_text(FLOWCHART)
        monkeypatch.setenv("PATH", str(src))
        expected = ERR_MMDC
    else:
        src.rmdir()
        expected = f"Input folder not found: {src}"
    result = run()
    assert result.exit_code == 1
    assert result.stdout == f"\n[ERROR] {expected}\n"
    assert not out.exists()


def test_defaults_and_empty_folder(runner, in_tmp, fake_mmdc):
    conf = write_config(in_tmp / "c.json")
    (in_tmp / "data_chartsite").mkdir()
    (in_tmp / "data_chartsite" / "notes.txt").write_text("not a page")
    result = runner.invoke(cs.cmd_chartsite, ["-c", conf])
    assert (result.exit_code, result.stdout) == (0, WARN_EMPTY)
    assert os.listdir(in_tmp / "data_chartsite" / "html_out") == []

    (in_tmp / "data_chartsite" / "ab.mmd").write_text(FLOWCHART)
    result = runner.invoke(cs.cmd_chartsite, ["-c", conf])
    assert result.exit_code == 0
    assert result.stdout == ("\n[DONE] Successfully generated documentation in: "
                             "./data_chartsite/html_out/index.html\n")
    index = (in_tmp / "data_chartsite" / "html_out" / "index.html").read_text(encoding="utf-8")
    # No Markdown pages: the section's line keeps only its indentation.
    assert "📁 Project Documentation</h2>\n    \n    <h3>Flow Charts</h3><ul>" in index
    assert chart_item("ab", "ab") in index


def test_pages_links_and_sections(site, fake_mmdc):
    src, out, run = site
    (src / "guide.md").write_text("# Guide\n\nText with `code`.\n", encoding="utf-8")
    for name in ["NOTES.MD", "notes.final.md"]:
        (src / name).write_text("text", encoding="utf-8")
    (src / "sub.md").mkdir()
    (src / "ab.mmd").write_text(FLOWCHART)
    (src / "seq.MMD").write_text(SEQUENCE)
    (src / "skip.txt").write_text("x")
    result = run(index_title="Docs <v2>", chart_titles={"ab.mmd": "A to B"},
                 doc_titles={"guide.md": "The <b>Guide</b>", "NOTES.md": "no"})
    assert result.exit_code == 0
    assert result.stdout == f"\n[DONE] Successfully generated documentation in: {out}/index.html\n"

    listing = os.listdir(src)  # the processing order
    titles = {"guide.md": "The <b>Guide</b>", "ab.mmd": "A to B"}
    stem = lambda n: os.path.splitext(n)[0]  # noqa: E731
    md_items = "".join(md_item(stem(n) + ".html", titles.get(n, stem(n)))
                       for n in listing if n.lower().endswith(".md") and n != "sub.md")
    chart_items = "".join(chart_item(stem(n), titles.get(n, stem(n)))
                          for n in listing if n.lower().endswith(".mmd"))
    assert (out / "index.html").read_text(encoding="utf-8") == cs.INDEX_TEMPLATE.format(
        index_title="Docs <v2>", md_section=f"<h3>Documentation</h3><ul>{md_items}</ul>",
        chart_section=f"<h3>Flow Charts</h3><ul>{chart_items}</ul>")
    assert sorted(os.listdir(out)) == ["NOTES.html", "ab.html", "ab.svg", "guide.html",
                                       "index.html", "notes.final.html", "seq.html", "seq.svg"]
    guide = (out / "guide.html").read_text(encoding="utf-8")
    assert "<title>The <b>Guide</b></title>" in guide
    assert "<h1>Guide</h1>\n<p>Text with <code>code</code>.</p>" in guide
    ab = (out / "ab.html").read_text(encoding="utf-8")
    assert ab == cs.PAGE_TEMPLATE.format(title="A to B", body_content=(out / "ab.svg").read_text())
    diagrams = [str(src / n) for n in listing if n.lower().endswith(".mmd")]
    assert sorted(fake_mmdc()) == sorted(diagrams)


def test_same_base_name_keeps_both_pages(site, fake_mmdc, caplog):
    src, out, run = site
    (src / "plan.md").write_text("# Plan\n")
    (src / "plan.mmd").write_text(FLOWCHART)
    (src / "index.md").write_text("# Start here\n")
    with caplog.at_level(logging.WARNING):
        assert run().exit_code == 0
    assert "<h1>Plan</h1>" in (out / "plan.html").read_text()
    assert "<desc>flowchart LR" in (out / "plan.mmd.html").read_text()
    assert "<h1>Start here</h1>" in (out / "index.md.html").read_text()
    assert sorted(os.listdir(out)) == ["index.html", "index.md.html", "plan.html", "plan.mmd.html",
                                       "plan.mmd.svg"]
    index = (out / "index.html").read_text()
    assert md_item("plan.html", "plan") in index and chart_item("plan.mmd", "plan") in index
    assert md_item("index.md.html", "index") in index
    assert "plan.mmd becomes plan.mmd.html" in caplog.text
    assert ("index.html is already a page of this site; index.md becomes index.md.html"
            in caplog.text)


def test_failed_files_are_skipped_and_earlier_svg_kept(site, fake_mmdc, caplog):
    src, out, run = site
    (src / "bad.mmd").write_text(FLOWCHART)
    (src / "folder.md").mkdir()
    out.mkdir()
    (out / "bad.svg").write_text("<svg>earlier</svg>")
    with caplog.at_level(logging.ERROR):
        result = run()
    # files were there and all failed: no empty-folder warning
    assert (result.exit_code, result.stdout) == (
        1, "\n[ERROR] No page was written: all 2 files failed.\n")
    assert caplog.messages[0].startswith("Failed to process folder.md: [Errno 21] is a folder")
    assert caplog.messages[1] == (
        f"Failed to convert bad.mmd: Command '['mmdc', '-i', '{src / 'bad.mmd'}', '-o', "
        f"'{out / 'bad.svg'}']' returned non-zero exit status 3.")
    assert os.listdir(out) == ["bad.svg"]
    assert (out / "bad.svg").read_text() == "<svg>earlier</svg>"

    (src / "good.mmd").write_text(FLOWCHART)
    result = run()
    assert result.stdout.startswith("\n[DONE] ")
    assert sorted(os.listdir(out)) == ["bad.svg", "good.html", "good.svg", "index.html"]


def test_zero_exit_without_svg_is_a_failed_diagram(site, fake_mmdc, caplog):
    src, out, run = site
    (src / "empty.mmd").write_text(FLOWCHART)
    (src / "good.mmd").write_text(FLOWCHART)
    result = run()
    assert result.exit_code == 0
    assert "Failed to convert empty.mmd: mmdc exited with status 0 but wrote no SVG" in caplog.messages
    assert sorted(os.listdir(out)) == ["good.html", "good.svg", "index.html"]


def test_file_names_are_never_run_as_commands(site, fake_mmdc, tmp_path, monkeypatch):
    src, out, run = site
    names = ["x; touch PWNED1 #.mmd", "$(touch PWNED2).mmd", "a&b <i>'q'\" 100%.mmd",
             "`touch PWNED3`.md"]
    for name in names:
        (src / name).write_text(FLOWCHART)
    monkeypatch.chdir(tmp_path)
    assert run().exit_code == 0
    assert not list(tmp_path.rglob("PWNED*"))
    assert sorted(fake_mmdc()) == sorted(str(src / n) for n in names[:3])
    index = (out / "index.html").read_text()
    # The link reaches the file; the name shows as text, not as markup.
    assert chart_item("a%26b%20%3Ci%3E%27q%27%22%20100%25",
                      "a&amp;b &lt;i&gt;&#x27;q&#x27;&quot; 100%") in index
    assert (out / "a&b <i>'q'\" 100%.html").exists()


def test_slow_diagram_is_killed_with_its_children(site, fake_mmdc, tmp_path, monkeypatch, caplog):
    src, out, run = site
    (src / "slow.mmd").write_text(FLOWCHART)
    (src / "ok.mmd").write_text(FLOWCHART)
    monkeypatch.setenv("DORVEX_MMDC_TIMEOUT", "0.5")
    with caplog.at_level(logging.ERROR):
        assert run().exit_code == 0
    assert caplog.messages == [
        f"Failed to convert slow.mmd: Command '['mmdc', '-i', '{src / 'slow.mmd'}', '-o', "
        f"'{out / 'slow.svg'}']' timed out after 0.5 seconds"]
    assert sorted(os.listdir(out)) == ["index.html", "ok.html", "ok.svg"]
    pid = (tmp_path / "mmdc-calls.txt.pid").read_text().strip()
    status = Path(f"/proc/{pid}/status")  # gone, or a zombie not yet reaped
    assert not status.exists() or "State:\tZ" in status.read_text()


def test_concurrent_renders_match_one_at_a_time(site, fake_mmdc, tmp_path, monkeypatch, caplog):
    src, out, run = site
    for name in ["a.mmd", "b.mmd", "c-bad.mmd", "d.mmd", "e.md"]:
        (src / name).write_text(FLOWCHART)
    drawn = [str(src / n) for n in os.listdir(src) if n.endswith(".mmd") and "bad" not in n]
    Path(drawn[0]).write_text(FLOWCHART + "%% late\n")  # the first to start ends last
    runs = []
    for jobs in ["1", "4"]:
        monkeypatch.setenv("DORVEX_JOBS", jobs)
        shutil.rmtree(out, ignore_errors=True)
        caplog.clear()
        with caplog.at_level(logging.INFO):
            result = run()
        pages = {p.name: p.read_bytes() for p in out.iterdir()}
        runs.append((result.exit_code, result.stdout, caplog.messages, pages))
    assert runs[0] == runs[1]
    assert len(runs[0][3]) == 8  # index, e.html and three diagrams with their SVGs
    done = (tmp_path / "mmdc-calls.txt.done").read_text().split()
    # one at a time in listing order; four at once, the late one ends last
    assert done[:3] == drawn and done[-1] == drawn[0] and sorted(done[3:]) == sorted(drawn)


@pytest.mark.parametrize("name, value, what", [
    ("DORVEX_MMDC_TIMEOUT", "soon", "a positive number of seconds"),
    ("DORVEX_MMDC_TIMEOUT", "0", "a positive number of seconds"),
    ("DORVEX_JOBS", "0", "a positive whole number"),
    ("DORVEX_JOBS", "2.5", "a positive whole number"),
])
def test_bad_environment_setting_is_one_line(site, fake_mmdc, monkeypatch, name, value, what):
    src, out, run = site
    monkeypatch.setenv(name, value)
    result = run()
    assert result.exit_code == 1
    assert result.stderr == f"Error: {name} must be {what} (got '{value}')\n"
    assert not out.exists()


def test_special_files_and_option_like_folder(runner, in_tmp, fake_mmdc, caplog):
    src = in_tmp / "-o x"
    src.mkdir()
    os.mkfifo(src / "pipe.md")  # reading either FIFO would block for ever
    os.mkfifo(src / "pipe.mmd")
    os.symlink("loop.mmd", src / "loop.mmd")
    (src / "a.mmd").write_text(FLOWCHART)
    conf = write_config(in_tmp / "c.json", input_folder="-o x", output_folder="-i y")
    with caplog.at_level(logging.WARNING):
        result = runner.invoke(cs.cmd_chartsite, ["-c", conf])
    assert result.exit_code == 0
    assert sorted(os.listdir(in_tmp / "-i y")) == ["a.html", "a.svg", "index.html"]
    assert fake_mmdc() == [str(src / "a.mmd")]
    assert caplog.messages == [f"Skipping -o x{os.sep}loop.mmd: broken or looping link "
                               "(Too many levels of symbolic links)"]


def test_page_never_replaces_the_configuration(site, fake_mmdc, tmp_path, runner):
    src, out, _ = site
    out.mkdir()
    (src / "site.md").write_text("# Site\n")
    conf = write_config(out / "site.html", input_folder=str(src), output_folder=str(out))
    before = (out / "site.html").read_bytes()
    result = runner.invoke(cs.cmd_chartsite, ["-c", conf])
    assert result.exit_code == 1
    assert result.stderr.endswith(
        f"\nError: {conf}: output_folder would overwrite the input {conf}\n")
    assert (out / "site.html").read_bytes() == before


# --- the real mmdc and a browser ------------------------------------------


@pytest.fixture(scope="module")
def real_site(tmp_path_factory):
    """One site rendered by the real mmdc through `python -m dorvex chartsite`."""
    root = tmp_path_factory.mktemp("real")
    src, out = root / "in", root / "out"
    src.mkdir()
    (src / "flow.mmd").write_text(FLOWCHART)
    (src / "seq.mmd").write_text(SEQUENCE)
    (src / "it's $(touch PWNED) & #1.mmd").write_text("flowchart TD\n  X --> Y\n")
    (src / "broken.mmd").write_text(BROKEN)
    (src / "guide.md").write_text("# Guide\n\n| a | b |\n|---|---|\n| 1 | 2 |\n\n"
                                  f"```mermaid\n{FLOWCHART}```\n\n```mermaid\n{BROKEN}```\n")
    conf = write_config(root / "site.json", input_folder=str(src), output_folder=str(out),
                        chart_titles={"flow.mmd": "Check flow"})
    proc = subprocess.run([sys.executable, "-m", "dorvex", "chartsite", "-c", conf], cwd=root,
                          capture_output=True, text=True, check=False)
    assert proc.returncode == 0, proc.stderr
    return root, out, proc


def test_real_mmdc_pages_hold_inline_svg(real_site):
    root, out, proc = real_site
    assert proc.stdout.endswith(
        f"\n[DONE] Successfully generated documentation in: {out}/index.html\n")
    assert not list(root.rglob("PWNED"))
    flow = (out / "flow.html").read_text(encoding="utf-8")
    svg = (out / "flow.svg").read_text(encoding="utf-8")
    assert flow == cs.PAGE_TEMPLATE.format(title="Check flow", body_content=svg)
    assert 'aria-roledescription="flowchart' in flow and ">Check<" in flow
    seq = (out / "seq.html").read_text(encoding="utf-8")
    assert 'aria-roledescription="sequence"' in seq and "Hello Bob" in seq
    assert not [n for n in os.listdir(out) if n.startswith(".")]
    picture = "mmdc drew Mermaid's error picture: Syntax error in text; mermaid version"
    assert f"Failed to convert broken.mmd: {picture}" in proc.stderr
    assert f"Mermaid block 2 of guide.md stays as code: {picture}" in proc.stderr
    assert not (out / "broken.html").exists()


def test_browser_follows_every_index_link(real_site, page):
    _, out, _ = real_site
    page.goto((out / "index.html").as_uri())
    hrefs = [a.get_attribute("href") for a in page.locator("a").all()]
    assert len(hrefs) == 4
    for i, href in enumerate(hrefs):
        page.goto((out / "index.html").as_uri())
        page.locator("a").nth(i).click()
        page.wait_for_load_state()
        assert page.url.endswith(href)
        if href == "guide.html":
            assert page.locator(".content table td").first.inner_text() == "1"
            # the first block drawn in place, the failing one left as code
            box = page.locator(".content > svg#mermaid-block-1").bounding_box()
            assert box and box["width"] > 0 and box["height"] > 0
            assert page.locator("text=Check").count() == 1
            assert page.locator("pre code.language-mermaid").inner_text() == BROKEN
            continue
        box = page.locator(".content svg").first.bounding_box()
        assert box and box["width"] > 0 and box["height"] > 0, href
        page.locator("footer a.back-btn").click()
        page.wait_for_load_state()
        assert page.url.endswith("/index.html")
