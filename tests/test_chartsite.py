"""chartsite: the command, the pages and the index, with the real mmdc and
with a small fake one placed first on PATH for the failure paths."""

import glob
import json
import logging
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

import dorvex.chartsite as cs

FLOWCHART = "flowchart LR\n  Start --> Check{Check}\n  Check -->|yes| Done\n"
BROKEN = 'pie\n  "a" : x\n'  # mmdc exits 0 with Mermaid's error picture
SEQUENCE = "sequenceDiagram\n  Alice->>Bob: Hello Bob\n  Bob-->>Alice: Hi Alice\n"
BAD = FLOWCHART + "%% bad\n"  # the stand-in fails on it

# A stand-in mmdc: records each call (its arguments, and the blocks of a
# Markdown input), draws an SVG holding the svg id and the text, and reacts
# to markers in the text: "%% bad" fails with status 3, "%% empty" exits 0
# without writing, "%% slow" starts a "browser" in a session of its own that
# leaves a folder in its TMPDIR, and hangs. A Markdown input is drawn block
# by block as mmdc does, stopping at the first failure.
FAKE_MMDC = """#!{python}
import json, os, re, subprocess, sys, time
args, log = sys.argv[1:], os.environ["FAKE_MMDC_LOG"]
opts = dict(zip(args[::2], args[1::2]))
src = opts.get("-i", "")
text = open(src).read() if src else ""
blocks = re.findall(r"^```mermaid\\n(.*?)```$", text, re.S | re.M) if src.endswith(".md") else []
with open(log, "a") as f:
    f.write(json.dumps({{"args": args, "texts": blocks or [text]}}) + "\\n")
if args == ["--version"]:
    sys.exit(print(os.environ.get("FAKE_MMDC_VERSION", "fake 1")))


def draw(text, out):
    if "%% bad" in text:
        sys.exit(print("fake mmdc: cannot render", file=sys.stderr) or 3)
    if "%% slow" in text:
        os.makedirs(os.path.join(os.environ["TMPDIR"], "org.chromium.Chromium.x"))
        browser = subprocess.Popen(["sleep", "60"], start_new_session=True)
        with open(log + ".pid", "w") as f:
            f.write(f"{{os.getpid()}} {{browser.pid}}")
        time.sleep(60)
    if "%% empty" not in text:
        svg_id = opts.get("-I", "my-svg")
        with open(out, "w") as f:
            f.write(f'<svg id="{{svg_id}}" xmlns="http://www.w3.org/2000/svg"><style>#{{svg_id}}'
                    f'{{{{}}}}</style><desc>{{text}}</desc></svg>')
        return True


if blocks:
    for n, block in enumerate(blocks, 1):
        if draw(block, out := opts["-o"][:-3] + f"-{{n}}.svg"):
            print(f" \\u2705 ./{{os.path.basename(out)}}", flush=True)
else:
    draw(text, opts["-o"])
""".format(python=sys.executable)
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


@pytest.fixture(autouse=True)
def cache_home(tmp_path, monkeypatch):
    """Each test starts with an empty render cache of its own."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    monkeypatch.delenv("DORVEX_NO_CACHE", raising=False)
    return tmp_path / "cache" / "dorvex" / "chartsite"


@pytest.fixture
def short_tmp():
    """A TMPDIR short enough for Chromium's socket path, which tmp_path may not be."""
    path = Path(tempfile.mkdtemp(prefix="cs-", dir="/tmp"))
    yield path
    shutil.rmtree(path, ignore_errors=True)


class Calls:
    """The stand-in's calls, each {"args": [...], "texts": [diagram, ...]}."""

    def __init__(self, log):
        self.log = log

    def renders(self):
        if not self.log.exists():
            return []
        calls = [json.loads(line) for line in self.log.read_text().splitlines()]
        return [c for c in calls if c["args"] != ["--version"]]

    def lone_inputs(self):
        return [c["args"][1] for c in self.renders() if not c["args"][1].endswith(".md")]

    def texts(self):
        return [t for c in self.renders() for t in c["texts"]]


@pytest.fixture
def fake_mmdc(tmp_path, monkeypatch):
    """The stand-in mmdc first on PATH."""
    script = tmp_path / "fakebin" / "mmdc"
    script.parent.mkdir()
    script.write_text(FAKE_MMDC)
    script.chmod(0o755)
    log = tmp_path / "mmdc-calls.txt"
    monkeypatch.setenv("FAKE_MMDC_LOG", str(log))
    monkeypatch.setenv("PATH", f"{script.parent}{os.pathsep}{os.environ['PATH']}")
    return Calls(log)


@pytest.fixture
def site(tmp_path, runner):
    """Input folder `in`, output folder `out`, and run(**settings) -> result."""
    src, out = tmp_path / "in", tmp_path / "out"
    src.mkdir()

    def run(**settings):
        conf = write_config(tmp_path / "site.json",
                            **{"input_folder": str(src), "output_folder": str(out), **settings})
        return runner.invoke(cs.cmd_chartsite, ["-c", conf])

    return src, out, run


def test_module_level():
    assert [n for n in vars(cs) if not n.startswith("__") and n != "markdown"] == [
        "os", "subprocess", "sys", "shutil", "click", "HAS_MD", "fileMg",
        "app_logging", "log", "PAGE_TEMPLATE", "INDEX_TEMPLATE", "DEFAULT_CONFIG",
        "MermaidConverter", "cmd_chartsite"]
    # Markdown is bound at its first use
    assert cs.HAS_MD is True and cs.markdown.__name__ == "markdown"
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
    ('{"config": {"output_folder": "o\\u0000ut"}}',
     'config.output_folder must be a path without NUL characters (got "o\\u0000ut")'),
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


@pytest.mark.parametrize("case", ["no mmdc", "no input folder", "unprintable input folder"])
def test_run_errors_create_nothing(site, fake_mmdc, monkeypatch, tmp_path, case):
    src, out, run = site
    settings = {}
    if case == "no mmdc":
        (src / "a.mmd").write_text(FLOWCHART)
        monkeypatch.setenv("PATH", str(src))
        expected = ERR_MMDC
    elif case == "no input folder":
        src.rmdir()
        expected = f"Input folder not found: {src}"
    else:  # the value shown on one line, cut
        settings["input_folder"] = "gone\n" * 1000
        expected = "Input folder not found: " + ("gone\\n" * 20)[:79] + "…"
    result = run(**settings)
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
    assert sorted(fake_mmdc.texts()) == [FLOWCHART, SEQUENCE]


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
    (src / "bad.mmd").write_text(BAD)
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
    (src / "empty.mmd").write_text(FLOWCHART + "%% empty\n")
    (src / "good.mmd").write_text(FLOWCHART)
    result = run()
    assert result.exit_code == 0
    assert "Failed to convert empty.mmd: mmdc exited with status 0 but wrote no SVG" in caplog.messages
    assert sorted(os.listdir(out)) == ["good.html", "good.svg", "index.html"]


@pytest.mark.parametrize("blocked, status, said", [
    ("a.html", 0, "Failed to process a.md: [Errno 21] Is a directory: '{out}/a.html'"),
    ("d.svg", 1, "\n[ERROR] [Errno 21] Is a directory: '{out}/d.svg'\n"),
    ("index.html", 1, "\n[ERROR] [Errno 21] Is a directory: '{out}/index.html'\n"),
])
def test_failed_write_names_the_output_not_its_temporary(site, fake_mmdc, caplog, blocked, status,
                                                         said):
    src, out, run = site
    (src / "a.md").write_text("# A\n")
    (src / "d.mmd").write_text(FLOWCHART)
    (out / blocked).mkdir(parents=True)
    with caplog.at_level(logging.ERROR):
        result = run()
    assert result.exit_code == status
    assert said.format(out=out) in [result.stdout, *caplog.messages]
    assert ".~" not in result.output + caplog.text
    assert not list(out.glob(".~*"))


def test_file_names_are_never_run_as_commands(site, fake_mmdc, tmp_path, monkeypatch):
    src, out, run = site
    names = ["x; touch PWNED1 #.mmd", "$(touch PWNED2).mmd", "a&b <i>'q'\" 100%.mmd",
             "`touch PWNED3`.md"]
    for name in names:
        (src / name).write_text(FLOWCHART)
    monkeypatch.chdir(tmp_path)
    assert run().exit_code == 0
    assert not list(tmp_path.rglob("PWNED*"))
    assert fake_mmdc.texts() == [FLOWCHART] * 3
    index = (out / "index.html").read_text()
    # The link reaches the file; the name shows as text, not as markup.
    assert chart_item("a%26b%20%3Ci%3E%27q%27%22%20100%25",
                      "a&amp;b &lt;i&gt;&#x27;q&#x27;&quot; 100%") in index
    assert (out / "a&b <i>'q'\" 100%.html").exists()


def gone(pid):
    """True once `pid` has ended (a zombie not yet reaped counts as ended)."""
    status = Path(f"/proc/{pid}/status")
    return not status.exists() or "State:\tZ" in status.read_text()


def test_slow_diagram_is_killed_with_its_children(site, fake_mmdc, tmp_path, short_tmp, monkeypatch,
                                                 caplog):
    src, out, run = site
    (src / "slow.mmd").write_text(FLOWCHART + "%% slow\n")
    (src / "ok.mmd").write_text(FLOWCHART)
    monkeypatch.setenv("DORVEX_MMDC_TIMEOUT", "0.5")
    monkeypatch.setenv("DORVEX_JOBS", "1")  # a batch first, then slow.mmd alone
    monkeypatch.setattr(tempfile, "tempdir", str(short_tmp))
    with caplog.at_level(logging.ERROR):
        assert run().exit_code == 0
    assert caplog.messages == [
        f"Failed to convert slow.mmd: Command '['mmdc', '-i', '{src / 'slow.mmd'}', '-o', "
        f"'{out / 'slow.svg'}']' timed out after 0.5 seconds"]
    assert sorted(os.listdir(out)) == ["index.html", "ok.html", "ok.svg"]
    # mmdc, and its browser in a session of its own, ended; nothing left in TMPDIR
    assert all(gone(pid) for pid in (tmp_path / "mmdc-calls.txt.pid").read_text().split())
    assert os.listdir(short_tmp) == []


def test_concurrent_renders_match_one_at_a_time(site, fake_mmdc, monkeypatch, caplog):
    src, out, run = site
    for name in ["a.mmd", "b.mmd", "d.mmd", "e.md"]:
        (src / name).write_text(FLOWCHART)
    (src / "c.mmd").write_text(BAD)
    runs = []
    for jobs in ["1", "4"]:
        monkeypatch.setenv("DORVEX_JOBS", jobs)
        monkeypatch.setenv("DORVEX_NO_CACHE", "1")
        shutil.rmtree(out, ignore_errors=True)
        caplog.clear()
        with caplog.at_level(logging.INFO):
            result = run()
        pages = {p.name: p.read_bytes() for p in out.iterdir()}
        runs.append((result.exit_code, result.stdout, caplog.messages, pages))
    assert runs[0] == runs[1]
    assert len(runs[0][3]) == 8  # index, e.html and three diagrams with their SVGs


def flows(src, count, bad=()):
    """`count` diagrams in `src`; the i-th of the folder listing is labelled
    N<i> and fails at the stand-in when i is in `bad`. Returns the texts."""
    for i in range(count):
        (src / f"d{i}.mmd").write_text("")
    texts = []
    for i, name in enumerate(n for n in os.listdir(src) if n.startswith("d")):
        texts.append(f"flowchart LR\n  N{i} --> B\n" + ("%% bad\n" if i in bad else ""))
        (src / name).write_text(texts[-1])
    return texts


def calls_by_position(calls, texts):
    """Each render call: the listing positions of a batch, or of a lone run."""
    pos = {t: i for i, t in enumerate(texts)}
    return [[pos[t] for t in c["texts"]] if c["args"][1].endswith(".md") else pos[c["texts"][0]]
            for c in calls.renders()]


@pytest.mark.parametrize("jobs, bad, calls", [
    (1, (), [[0, 1, 2, 3]]),  # one batch, one browser
    (2, (), [[0, 1], [2, 3]]),  # DORVEX_JOBS batches at once
    (1, (1,), [[0, 1, 2, 3], 1, [2, 3]]),  # drawn alone, then the batch goes on
    (1, (3,), [[0, 1, 2, 3], 3]),
    (1, (1, 2), [[0, 1, 2, 3], 1, [2, 3], 2, 3]),  # a batch of one is a lone run
], ids=["one batch", "two jobs", "failing in the middle", "failing last", "two failing"])
def test_batches_lose_no_diagram(site, fake_mmdc, monkeypatch, caplog, jobs, bad, calls):
    src, out, run = site
    monkeypatch.setenv("DORVEX_JOBS", str(jobs))
    texts = flows(src, 4, bad)
    with caplog.at_level(logging.ERROR):
        assert run().exit_code == 0
    # runs started together may end in either order
    assert sorted(calls_by_position(fake_mmdc, texts), key=str) == sorted(calls, key=str)
    names = os.listdir(src)
    assert caplog.messages == [
        f"Failed to convert {names[i]}: Command '['mmdc', '-i', '{src / names[i]}', '-o', "
        f"'{out / names[i].replace('.mmd', '.svg')}']' returned non-zero exit status 3."
        for i in bad]
    for i, name in enumerate(names):
        page = out / name.replace(".mmd", ".html")
        assert page.exists() != (i in bad)
        assert i in bad or f"<desc>{texts[i]}</desc>" in page.read_text()


def _damage(cache):
    for entry in cache.iterdir():
        entry.write_bytes(entry.read_bytes()[:40])


def _age(cache):
    for entry in cache.iterdir():
        os.utime(entry, (time.time() - 31 * 86400,) * 2)


# What changes before the second run, and the render calls it then makes.
# Failures are never kept, so the failing diagram 3 is drawn again each time.
@pytest.mark.parametrize("change, calls", [
    (None, [3]),
    (lambda src, cache, mp: (src / os.listdir(src)[0]).write_text("flowchart TD\n  X --> Y\n"),
     [[0, 3], 3]),
    (lambda src, cache, mp: mp.setenv("DORVEX_NO_CACHE", "1"), [[0, 1, 2, 3], 3]),
    (lambda src, cache, mp: mp.setenv("FAKE_MMDC_VERSION", "fake 2"), [[0, 1, 2, 3], 3]),
    (lambda src, cache, mp: _damage(cache), [[0, 1, 2, 3], 3]),
    (lambda src, cache, mp: _age(cache), [[0, 1, 2, 3], 3]),
], ids=["unchanged", "one changed", "cache off", "new renderer", "damaged entries",
        "unused for 31 days"])
def test_cache_spares_unchanged_renders(site, fake_mmdc, cache_home, monkeypatch, change, calls):
    src, out, run = site
    monkeypatch.setenv("DORVEX_JOBS", "1")
    texts = flows(src, 4, bad=(3,))
    assert run().exit_code == 0
    first = {p.name: p.read_bytes() for p in out.iterdir()}
    assert len(os.listdir(cache_home)) == 3  # the failure is not kept
    if change:
        change(src, cache_home, monkeypatch)
    fake_mmdc.log.unlink()
    assert run().exit_code == 0
    texts[0] = (src / os.listdir(src)[0]).read_text()
    assert calls_by_position(fake_mmdc, texts) == calls
    if not change:
        assert {p.name: p.read_bytes() for p in out.iterdir()} == first
    for entry in cache_home.iterdir():
        assert entry.read_bytes().endswith(b"</svg>")


def test_blocks_of_a_page_keep_their_own_ids(site, fake_mmdc, monkeypatch):
    src, out, run = site
    monkeypatch.setenv("DORVEX_JOBS", "1")
    (src / "page.md").write_text(f"# Page\n\n```mermaid\n{FLOWCHART}```\n\n"
                                 f"```mermaid\n{SEQUENCE}```\n")
    (src / "a.mmd").write_text(SEQUENCE)
    (src / "b.mmd").write_text(FLOWCHART)
    assert run().exit_code == 0
    # one batch for the blocks, drawn with a stand-in id, one for the diagrams
    assert [len(c["texts"]) for c in fake_mmdc.renders()] == [2, 2]
    page = (out / "page.html").read_text()
    for n, text in [(1, FLOWCHART), (2, SEQUENCE)]:
        svg_id = f"mermaid-block-{n}"
        assert (f'<svg id="{svg_id}" xmlns="http://www.w3.org/2000/svg"><style>#{svg_id}{{}}'
                f"</style><desc>{text}</desc></svg>") in page
    assert "dorvex-svg" not in page
    assert '<svg id="my-svg"' in (out / "a.svg").read_text()


def test_interrupted_run_leaves_no_renderer(tmp_path, short_tmp, fake_mmdc):
    src = tmp_path / "in"
    src.mkdir()
    (src / "slow.mmd").write_text(FLOWCHART + "%% slow\n")
    conf = write_config(tmp_path / "c.json", input_folder=str(src), output_folder=str(tmp_path))
    env = dict(os.environ, TMPDIR=str(short_tmp))
    proc = subprocess.Popen([sys.executable, "-m", "dorvex", "chartsite", "-c", conf], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    pids = tmp_path / "mmdc-calls.txt.pid"
    wait_until(pids.exists)
    proc.send_signal(signal.SIGINT)  # Ctrl-C
    proc.wait(timeout=60)
    assert all(gone(pid) for pid in pids.read_text().split())
    assert os.listdir(short_tmp) == []


def wait_until(condition, limit=60):
    """Polls `condition` for at most `limit` seconds; fails the test when it
    never held (a bound on a hang, not a timing)."""
    deadline = time.monotonic() + limit
    while not condition():
        assert time.monotonic() < deadline, f"{condition} never held"
        time.sleep(0.05)


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
    assert fake_mmdc.lone_inputs() == [str(src / "a.mmd")]
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


def test_real_batch_svg_is_a_lone_render(tmp_path, site, monkeypatch):
    src, out, run = site
    real = shutil.which("mmdc")
    counted = tmp_path / "bin" / "mmdc"  # the real mmdc, its calls counted
    counted.parent.mkdir()
    counted.write_text(f'#!/bin/sh\necho "$1" >> {tmp_path / "calls"}\nexec {real} "$@"\n')
    counted.chmod(0o755)
    monkeypatch.setenv("PATH", f"{counted.parent}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.setenv("DORVEX_JOBS", "1")
    # too long for Chromium's socket path: the renderers' folders go elsewhere
    (tmp_path / ("t" * 70)).mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path / ("t" * 70)))
    (src / "flow.mmd").write_text(FLOWCHART)
    (src / "seq.mmd").write_text(SEQUENCE)
    (src / "guide.md").write_text(f"```mermaid\n{FLOWCHART}```\n\n```mermaid\n{SEQUENCE}```\n")
    assert run().exit_code == 0
    # the version, then one batch for the two blocks and one for the diagrams
    assert (tmp_path / "calls").read_text().split() == ["--version", "-i", "-i"]
    for name, text, svg_id, drawn in [
        ("flow", FLOWCHART, None, (out / "flow.svg").read_text()),
        ("seq", SEQUENCE, "mermaid-block-2", (out / "guide.html").read_text()),
    ]:
        (tmp_path / f"{name}.mmd").write_text(text)
        lone = [real, "-i", str(tmp_path / f"{name}.mmd"), "-o", str(tmp_path / f"{name}.svg")]
        subprocess.run(lone + (["-I", svg_id] if svg_id else []), check=True,
                       stdout=subprocess.DEVNULL)
        assert (tmp_path / f"{name}.svg").read_text() in drawn


def test_killed_run_leaves_no_browser(tmp_path, short_tmp, site):
    src, out, _ = site
    for i in range(8):
        (src / f"d{i}.mmd").write_text(f"flowchart LR\n  N{i} --> B\n")
    conf = write_config(tmp_path / "site.json", input_folder=str(src), output_folder=str(out))
    marker = f"TMPDIR={short_tmp}/".encode()

    def marked():
        """Live processes started for this run (their TMPDIR says so)."""
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                env = Path(f"/proc/{pid}/environ").read_bytes()
            except OSError:
                continue
            if marker in env and not gone(pid):
                found.append(pid)
        return found

    env = dict(os.environ, TMPDIR=str(short_tmp), DORVEX_JOBS="1")
    proc = subprocess.Popen([sys.executable, "-m", "dorvex", "chartsite", "-c", conf], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # killed while its browser draws
    batch = str(short_tmp / "chartsite-*" / "batch1" / "batch-{}.svg")
    wait_until(lambda: glob.glob(batch.format(1)))
    proc.kill()
    proc.wait()
    wait_until(lambda: not marked())
    # stopped, not left to finish the batch
    assert not glob.glob(batch.format(8))
