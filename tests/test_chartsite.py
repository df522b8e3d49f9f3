"""chartsite: the command, the pages and the index, with the real mmdc and
with a small fake one placed first on PATH for the failure paths."""

import json
import logging
import os
import stat
import subprocess
import sys

import pytest

import dorvex.chartsite as cs

FLOWCHART = "flowchart LR\n  Start --> Check{Check}\n  Check -->|yes| Done\n"
SEQUENCE = "sequenceDiagram\n  Alice->>Bob: Hello Bob\n  Bob-->>Alice: Hi Alice\n"

# Records its arguments one per line, fails for inputs named *bad*, exits 0
# without output for *empty*, else writes a small SVG holding the source.
FAKE_MMDC = """#!/bin/sh
printf '%s\\n' "$@" >> "$FAKE_MMDC_LOG"
case "$2" in *bad*) echo "fake mmdc: cannot render" >&2; exit 3;; esac
case "$2" in *empty*) exit 0;; esac
{ printf '<svg xmlns="http://www.w3.org/2000/svg" width="20" height="10"><desc>'
  cat "$2"; printf '</desc></svg>'; } > "$4"
"""


def md_item(page, title):
    return f'<li><a href="{page}"><span class="icon">📘</span> {title}</a></li>'


def chart_item(stem, title):
    return f'<li><a href="{stem}.html"><span class="icon">📊</span> {title}</a></li>'


def write_config(path, **settings):
    path.write_text(json.dumps({"config": settings}), encoding="utf-8")
    return str(path)


@pytest.fixture
def fake_mmdc(tmp_path, monkeypatch):
    """A fake mmdc first on PATH; returns the list of argument vectors it got."""
    bin_dir = tmp_path / "fakebin"
    bin_dir.mkdir()
    script = bin_dir / "mmdc"
    script.write_text(FAKE_MMDC)
    script.chmod(script.stat().st_mode | stat.S_IXUSR)
    log = tmp_path / "mmdc-calls.txt"
    monkeypatch.setenv("FAKE_MMDC_LOG", str(log))
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")

    def calls():
        if not log.exists():
            return []
        args = log.read_text().splitlines()
        return [args[i : i + 4] for i in range(0, len(args), 4)]

    return calls


@pytest.fixture
def site(tmp_path):
    """An input folder `in`, an output folder `out` and a configuration."""
    src = tmp_path / "in"
    src.mkdir()
    out = tmp_path / "out"

    def run(runner, **settings):
        conf = write_config(tmp_path / "site.json", input_folder=str(src), output_folder=str(out),
                            **settings)
        return runner.invoke(cs.cmd_chartsite, ["-c", conf])

    return src, out, run


# --- module level and command ---------------------------------------------


def test_module_attributes_in_order():
    names = [n for n in vars(cs) if not n.startswith("__")]
    assert names == ["os", "subprocess", "sys", "shutil", "click", "markdown", "HAS_MD", "fileMg",
                     "app_logging", "log", "PAGE_TEMPLATE", "INDEX_TEMPLATE", "DEFAULT_CONFIG",
                     "MermaidConverter", "cmd_chartsite"]
    assert cs.__file__.endswith(".so")
    assert list(cs.DEFAULT_CONFIG["config"]) == ["input_folder", "output_folder", "index_title",
                                                 "doc_titles", "chart_titles"]
    assert cs.cmd_chartsite.name == "chartsite"
    assert cs.cmd_chartsite.callback.__doc__ == "Command entry point for Chartsite Generator"


def test_templates_fill_with_their_fields_only():
    page = cs.PAGE_TEMPLATE.format(title="T1", body_content="B1")
    assert page.startswith("\n<!DOCTYPE html>\n<html>\n<head>\n    <meta charset=\"UTF-8\">\n"
                           "    <title>T1</title>\n    <style>\n        /* Base Notion Style */\n")
    assert '        <div class="title-text">T1</div>\n' in page
    assert "    <div class=\"content\">\n        B1\n    </div>\n" in page
    assert page.endswith('        <a href="index.html" class="back-btn">← Back to Index</a>\n'
                         "    </footer>\n</body>\n</html>\n")
    assert "        .content th {{ background: #f7f6f3; font-weight: 500; }}\n" in cs.PAGE_TEMPLATE
    assert "        \n        /* Blockquote (引言) */\n" in page
    assert "        }\n        /* 覆寫 pre 裡面的 code" in page
    index = cs.INDEX_TEMPLATE.format(index_title="I", md_section="M", chart_section="C")
    assert index.endswith("<body>\n    <h2>📁 I</h2>\n    M\n    C\n</body>\n</html>\n")
    assert "    <title>I</title>\n" in index
    assert ("sans-serif;\n               max-width: 800px; margin: 0 auto; padding: 40px 20px; "
            "line-height: 1.6; color: #37352f; }\n") in index


@pytest.mark.parametrize("extra", [[], ["-c", "other.json"]])
def test_generate_config(runner, in_tmp, extra):
    (in_tmp / "other.json").write_text("not json")
    result = runner.invoke(cs.cmd_chartsite, ["--generate-config", *extra])
    assert result.exit_code == 0
    path = in_tmp / "config_chartsite_template.json"
    assert result.stdout == f"Success! Template file created at: {path}\n"
    assert json.loads(path.read_text(encoding="utf-8")) == cs.DEFAULT_CONFIG


def test_missing_config(runner):
    result = runner.invoke(cs.cmd_chartsite, [])
    assert result.exit_code == 1
    assert result.stdout == (
        "Error: Please provide a JSON file path using --config or -c.\n"
        "Hint: Run 'dor-vex chartsite --generate-config' to get a template.\n")


def test_missing_markdown_stops_even_generate(runner, in_tmp, monkeypatch, caplog):
    monkeypatch.setattr(cs, "HAS_MD", False)
    with caplog.at_level(logging.ERROR):
        result = runner.invoke(cs.cmd_chartsite, ["--generate-config"])
    assert result.exit_code == 1
    assert [r.getMessage() for r in caplog.records] == [
        "Missing Python package 'markdown'. Please run: pip install markdown"]
    assert not (in_tmp / "config_chartsite_template.json").exists()


@pytest.mark.parametrize(
    "content, reason",
    [
        ('{"other": {}}', 'missing required key "config"'),
        ('{"config": ', "not valid JSON"),
        ('{"config": []}', "config must be an object"),
        ('{"config": {"input_folder": 5}}', "config.input_folder must be a non-empty string (got 5)"),
        ('{"config": {"output_folder": ""}}', 'config.output_folder must be a non-empty string (got "")'),
        ('{"config": {"index_title": null}}', "config.index_title must be a string (got null)"),
        ('{"config": {"doc_titles": ["a"]}}', 'config.doc_titles must be an object of strings'),
        ('{"config": {"chart_titles": {"a.mmd": 1}}}', "config.chart_titles must be an object of strings"),
    ],
)
def test_unusable_config_ends_with_status_1(runner, tmp_path, caplog, content, reason):
    path = tmp_path / "c.json"
    path.write_text(content)
    with caplog.at_level(logging.ERROR):
        result = runner.invoke(cs.cmd_chartsite, ["-c", str(path)])
    assert result.exit_code == 1
    assert result.stdout == ""
    assert reason in result.stderr + caplog.text
    assert not (tmp_path / "data_chartsite").exists()


def test_mmdc_missing_from_path(runner, site, monkeypatch, tmp_path, caplog):
    src, out, run = site
    (src / "a.mmd").write_text(FLOWCHART)
    empty_bin = tmp_path / "nobin"
    empty_bin.mkdir()
    monkeypatch.setenv("PATH", str(empty_bin))
    with caplog.at_level(logging.ERROR):
        result = run(runner)
    assert result.exit_code == 1
    message = ("Mermaid CLI ('mmdc') is not installed or not in PATH.\n"
               "Please install it via: npm install -g @mermaid-js/mermaid-cli")
    assert result.stdout == f"\n[ERROR] {message}\n"
    assert caplog.messages == [message]
    assert not out.exists()


def test_input_folder_missing(runner, site, fake_mmdc, tmp_path):
    src, out, run = site
    src.rmdir()
    result = run(runner)
    assert result.exit_code == 1
    assert result.stdout == f"\n[ERROR] Input folder not found: {src}\n"
    assert not out.exists()


def test_empty_input_folder_warns(runner, site, fake_mmdc):
    src, out, run = site
    (src / "notes.txt").write_text("not a page")
    result = run(runner)
    assert result.exit_code == 0
    assert result.stdout == "\n[WARNING] No .md or .mmd files were found in the input folder.\n"
    assert out.is_dir() and os.listdir(out) == []
    assert fake_mmdc() == []


def test_default_folders_and_message(runner, in_tmp, fake_mmdc):
    (in_tmp / "data_chartsite").mkdir()
    (in_tmp / "data_chartsite" / "ab.mmd").write_text(FLOWCHART)
    result = runner.invoke(cs.cmd_chartsite, ["-c", write_config(in_tmp / "c.json")])
    assert result.exit_code == 0
    assert result.stdout == ("\n[DONE] Successfully generated documentation in: "
                             "./data_chartsite/html_out/index.html\n")
    index = (in_tmp / "data_chartsite" / "html_out" / "index.html").read_text(encoding="utf-8")
    assert "<title>Project Documentation</title>" in index
    # Without "chart_titles" the diagram is titled by its name.
    assert chart_item("ab", "ab") in index


def test_constructor_reads_config_and_logs_the_mapping(monkeypatch):
    seen = []

    class Recorder:
        def debug(self, msg):
            seen.append(msg)

    monkeypatch.setattr(cs, "log", Recorder())
    conf = {"input_folder": "x", "doc_titles": {"a.md": "A"}, "other": 1}
    conv = cs.MermaidConverter(conf=conf)
    assert seen == [conf] and seen[0] is conf
    assert (conv.conf, conv.input_folder, conv.output_folder, conv.index_title, conv.doc_titles,
            conv.chart_titles) == (conf, "x", "./data_chartsite/html_out", "Project Documentation",
                                   {"a.md": "A"}, {})


# --- pages and index with the fake renderer -------------------------------


def test_pages_links_and_sections(runner, site, fake_mmdc):
    src, out, run = site
    (src / "guide.md").write_text("# Guide\n\nText with `code`.\n", encoding="utf-8")
    (src / "NOTES.MD").write_text("upper", encoding="utf-8")
    (src / "notes.final.md").write_text("dots", encoding="utf-8")
    (src / "sub.md").mkdir()
    (src / "ab.mmd").write_text(FLOWCHART)
    (src / "seq.MMD").write_text(SEQUENCE)
    (src / "skip.txt").write_text("x")
    result = run(runner, index_title="Docs <v2>",
                 doc_titles={"guide.md": "The <b>Guide</b>", "NOTES.md": "wrong case"},
                 chart_titles={"ab.mmd": "A to B"})
    assert result.exit_code == 0
    assert result.stdout == f"\n[DONE] Successfully generated documentation in: {out}/index.html\n"

    listing = os.listdir(src)
    md_order = [n for n in listing if n.lower().endswith(".md") and n != "sub.md"]
    titles = {"guide.md": "The <b>Guide</b>"}
    md_items = "".join(md_item(os.path.splitext(n)[0] + ".html", titles.get(n, os.path.splitext(n)[0]))
                       for n in md_order)
    chart_titles = {"ab.mmd": "A to B"}
    chart_items = "".join(chart_item(os.path.splitext(n)[0], chart_titles.get(n, os.path.splitext(n)[0]))
                          for n in listing if n.lower().endswith(".mmd"))
    index = (out / "index.html").read_text(encoding="utf-8")
    assert index == cs.INDEX_TEMPLATE.format(
        index_title="Docs <v2>",
        md_section=f"<h3>Documentation</h3><ul>{md_items}</ul>",
        chart_section=f"<h3>Flow Charts</h3><ul>{chart_items}</ul>")
    assert sorted(os.listdir(out)) == ["NOTES.html", "ab.html", "ab.svg", "guide.html", "index.html",
                                       "notes.final.html", "seq.html", "seq.svg"]

    guide = (out / "guide.html").read_text(encoding="utf-8")
    assert "<title>The <b>Guide</b></title>" in guide
    assert "<h1>Guide</h1>\n<p>Text with <code>code</code>.</p>" in guide
    assert "<title>NOTES</title>" in (out / "NOTES.html").read_text(encoding="utf-8")
    ab = (out / "ab.html").read_text(encoding="utf-8")
    assert ab == cs.PAGE_TEMPLATE.format(title="A to B", body_content=(out / "ab.svg").read_text())
    assert "<title>seq</title>" in (out / "seq.html").read_text(encoding="utf-8")
    assert [c[:3] for c in fake_mmdc()] == [
        ["-i", str(src / n), "-o"] for n in listing if n.lower().endswith(".mmd")]


def test_only_diagrams_leaves_markdown_line_empty(runner, site, fake_mmdc):
    src, out, run = site
    (src / "ab.mmd").write_text(FLOWCHART)
    result = run(runner)
    assert result.exit_code == 0
    index = (out / "index.html").read_text(encoding="utf-8")
    assert "<body>\n    <h2>📁 Project Documentation</h2>\n    \n    <h3>Flow Charts</h3><ul>" in index
    assert "Documentation</h3>" not in index


def test_markdown_and_diagram_with_one_base_name_keep_both_pages(runner, site, fake_mmdc, caplog):
    src, out, run = site
    (src / "plan.md").write_text("# Plan\n")
    (src / "plan.mmd").write_text(FLOWCHART)
    with caplog.at_level(logging.WARNING):
        result = run(runner)
    assert result.exit_code == 0
    assert "<h1>Plan</h1>" in (out / "plan.html").read_text()
    assert "<desc>flowchart LR" in (out / "plan.mmd.html").read_text()
    assert (out / "plan.mmd.svg").exists() and not (out / "plan.svg").exists()
    index = (out / "index.html").read_text()
    assert md_item("plan.html", "plan") in index
    assert chart_item("plan.mmd", "plan") in index
    assert "plan.mmd becomes plan.mmd.html" in caplog.text


def test_failed_diagram_is_skipped_and_earlier_svg_kept(runner, site, fake_mmdc, caplog):
    src, out, run = site
    (src / "good.mmd").write_text(FLOWCHART)
    (src / "bad.mmd").write_text(FLOWCHART)
    out.mkdir()
    (out / "bad.svg").write_text("<svg>earlier</svg>")
    with caplog.at_level(logging.ERROR):
        result = run(runner)
    assert result.exit_code == 0
    assert result.stdout.endswith(f"[DONE] Successfully generated documentation in: {out}/index.html\n")
    assert caplog.messages == [
        f"Failed to convert bad.mmd: Command '['mmdc', '-i', '{src / 'bad.mmd'}', '-o', "
        f"'{out / 'bad.svg'}']' returned non-zero exit status 3."]
    assert (out / "bad.svg").read_text() == "<svg>earlier</svg>"
    assert sorted(os.listdir(out)) == ["bad.svg", "good.html", "good.svg", "index.html"]
    assert "bad.html" not in (out / "index.html").read_text()


def test_all_files_failing_warns_without_index(runner, site, fake_mmdc, caplog):
    src, out, run = site
    (src / "bad.mmd").write_text(FLOWCHART)
    (src / "folder.md").mkdir()
    with caplog.at_level(logging.ERROR):
        result = run(runner)
    assert result.exit_code == 0
    assert result.stdout == "\n[WARNING] No .md or .mmd files were found in the input folder.\n"
    assert caplog.messages[0].startswith("Failed to process folder.md: [Errno 21] Is a directory")
    assert caplog.messages[1].startswith("Failed to convert bad.mmd: ")
    assert os.listdir(out) == []


def test_zero_exit_without_svg_ends_the_run(runner, site, fake_mmdc):
    src, out, run = site
    (src / "empty.mmd").write_text(FLOWCHART)
    result = run(runner)
    assert result.exit_code == 1
    assert result.stdout == (f"\n[ERROR] mmdc exited with status 0 but wrote no SVG for "
                             f"{src / 'empty.mmd'}\n")
    assert os.listdir(out) == []


def test_file_names_are_never_run_as_commands(runner, site, fake_mmdc, tmp_path):
    src, out, run = site
    names = ["x; touch PWNED1 #.mmd", "$(touch PWNED2).mmd", "a&b <i>'q'\" 100%.mmd", "`touch PWNED3`.md"]
    for name in names:
        (src / name).write_text(FLOWCHART)
    os.chdir(tmp_path)
    result = run(runner)
    assert result.exit_code == 0
    assert not list(tmp_path.rglob("PWNED*"))
    assert sorted(c[1] for c in fake_mmdc()) == sorted(str(src / n) for n in names[:3])
    index = (out / "index.html").read_text()
    # The href reaches the file; the name shows as text, not markup.
    assert chart_item("a%26b%20%3Ci%3E%27q%27%22%20100%25", "a&amp;b &lt;i&gt;&#x27;q&#x27;&quot; 100%") in index
    assert chart_item("x%3B%20touch%20PWNED1%20%23", "x; touch PWNED1 #") in index
    assert (out / "a&b <i>'q'\" 100%.html").exists()


def test_python_m_dorvex_chartsite(site, fake_mmdc, tmp_path):
    src, out, _ = site
    (src / "ab.mmd").write_text(FLOWCHART)
    conf = write_config(tmp_path / "c.json", input_folder=str(src), output_folder=str(out))
    proc = subprocess.run([sys.executable, "-m", "dorvex", "chartsite", "-c", conf],
                          capture_output=True, text=True, check=False)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.endswith(f"\n[DONE] Successfully generated documentation in: {out}/index.html\n")


# --- the real mmdc and a browser ------------------------------------------


@pytest.fixture(scope="module")
def real_site(tmp_path_factory):
    """One site rendered by the real mmdc: a flowchart, a sequence diagram, a
    diagram whose name holds shell characters, and a Markdown page."""
    root = tmp_path_factory.mktemp("real")
    src, out = root / "in", root / "out"
    src.mkdir()
    (src / "flow.mmd").write_text(FLOWCHART)
    (src / "seq.mmd").write_text(SEQUENCE)
    (src / "it's $(touch PWNED) & #1.mmd").write_text("flowchart TD\n  X --> Y\n")
    (src / "guide.md").write_text("# Guide\n\n| a | b |\n|---|---|\n| 1 | 2 |\n")
    conf = write_config(root / "site.json", input_folder=str(src), output_folder=str(out),
                        chart_titles={"flow.mmd": "Check flow"})
    proc = subprocess.run([sys.executable, "-m", "dorvex", "chartsite", "-c", conf], cwd=root,
                          capture_output=True, text=True, check=False)
    assert proc.returncode == 0, proc.stderr
    return root, out, proc


def test_real_mmdc_pages_hold_inline_svg(real_site):
    root, out, proc = real_site
    assert proc.stdout.endswith(f"\n[DONE] Successfully generated documentation in: {out}/index.html\n")
    assert not list(root.rglob("PWNED"))
    flow = (out / "flow.html").read_text(encoding="utf-8")
    assert flow == cs.PAGE_TEMPLATE.format(title="Check flow",
                                           body_content=(out / "flow.svg").read_text(encoding="utf-8"))
    assert 'aria-roledescription="flowchart' in flow and ">Check<" in flow
    seq = (out / "seq.html").read_text(encoding="utf-8")
    assert 'aria-roledescription="sequence"' in seq and "Hello Bob" in seq
    assert not [n for n in os.listdir(out) if n.startswith(".")]


def test_browser_follows_every_index_link(real_site, page):
    _, out, _ = real_site
    page.goto((out / "index.html").as_uri())
    links = page.locator("a")
    hrefs = [links.nth(i).get_attribute("href") for i in range(links.count())]
    assert len(hrefs) == 4
    for i, href in enumerate(hrefs):
        page.goto((out / "index.html").as_uri())
        page.locator("a").nth(i).click()
        page.wait_for_load_state()
        assert page.url.endswith(href)
        if href == "guide.html":
            assert page.locator(".content table td").first.inner_text() == "1"
            continue
        box = page.locator(".content svg").first.bounding_box()
        assert box and box["width"] > 0 and box["height"] > 0, href
        page.locator("footer a.back-btn").click()
        page.wait_for_load_state()
        assert page.url.endswith("/index.html")
