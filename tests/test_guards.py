"""Guards every command shares: templates that are kept, configurations too
deeply nested to load, special files in listings, outputs that name inputs.
They hold with our toolkit and with one that keeps only the letter of its
documented contract; and the examples run with the documented names alone."""

import importlib
import json
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest
import toolkits

from corvalib import fileMg

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# (module, command, template file)
COMMANDS = [
    ("platebook", "cmd_platebook", "config_platebook_template.json"),
    ("leafmix", "cmd_leafmix", "config_leafmix_template.json"),
    ("notepress", "cmd_notepress", "config_notepress_template.json"),
    ("chartsite", "cmd_chartsite", "config_chartsite_template.json"),
    ("tallyrun", "cmd_tallyrun", "config_tallyrun_template.json"),
    ("spendfile", "cmd_spendfile", "config_expense_template.json"),
    ("cardhall", "cmd_cardhall", "config_cardhall_template.yaml"),
]
IDS = [c[0] for c in COMMANDS]

# (module, the line a written template starts with, the lines without --config)
PLEASE = "Error: Please provide a JSON file path using --config or -c."
WORDING = {
    "platebook": ("Success! Template file created at: ",
                  [PLEASE, "Hint: Run 'dor-vex platebook --help' to see the template."]),
    "leafmix": ("Success! Template file created at: ",
                [PLEASE, "Hint: Run 'dorvex leaf-mix --generate-config' to get a template."]),
    "notepress": ("Success! Template file created at: ",
                  [PLEASE, "Hint: Run 'python -m dorvex notepress --generate-config' to get a "
                           "template."]),
    "chartsite": ("Success! Template file created at: ",
                  [PLEASE, "Hint: Run 'dor-vex chartsite --generate-config' to get a template."]),
    "tallyrun": ("Template created: ", ["Error: Please provide a JSON config file using -c."]),
    "spendfile": ("Success! Template file created at: ",
                  [PLEASE, "Hint: Run 'dor-vex spend-file --help' to see the template."]),
    "cardhall": ("Success! Template file created at: ",
                 ["Error: Please provide a YAML file path using --config or -c.",
                  "Hint: Run 'dorvex card-hall --generate-config' to get a template."]),
}


def command(name, attr):
    return getattr(importlib.import_module(f"dorvex.{name}"), attr)


@pytest.fixture(params=["ours", "naive"])
def toolkit(request, monkeypatch):
    """Runs the test with our toolkit and again with a naive one."""
    if request.param == "naive":
        for name, _, _ in COMMANDS:
            importlib.import_module(f"dorvex.{name}")
        toolkits.install(toolkits.naive(), monkeypatch.setitem, monkeypatch.setattr)
    return request.param


@pytest.mark.parametrize("extra", [[], ["-c", "other.json"]])
@pytest.mark.parametrize("name, attr, template", COMMANDS, ids=IDS)
def test_generate_config(runner, in_tmp, name, attr, template, extra):
    (in_tmp / "other.json").write_text("not json")  # --config is not even read
    module = importlib.import_module(f"dorvex.{name}")
    result = runner.invoke(getattr(module, attr), ["--generate-config", *extra])
    assert result.exit_code == 0
    written = in_tmp / template
    shown = template if template.endswith(".yaml") else written
    assert result.stdout == f"{WORDING[name][0]}{shown}\n"
    if template.endswith(".yaml"):
        assert written.read_bytes() == module.DEFAULT_YAML_CONTENT.encode()
    elif hasattr(module, "DEFAULT_CONFIG"):
        assert json.loads(written.read_text(encoding="utf-8")) == module.DEFAULT_CONFIG


@pytest.mark.parametrize("name, attr, template", COMMANDS, ids=IDS)
def test_missing_config(runner, name, attr, template):
    result = runner.invoke(command(name, attr), [])
    assert result.exit_code == 1
    assert result.stdout.splitlines() == WORDING[name][1]


@pytest.mark.parametrize("name, attr, template", COMMANDS, ids=IDS)
def test_template_kept_unless_identical(runner, in_tmp, toolkit, name, attr, template):
    cmd = command(name, attr)
    assert runner.invoke(cmd, ["--generate-config"]).exit_code == 0
    written = (in_tmp / template).read_bytes()
    assert runner.invoke(cmd, ["--generate-config"]).exit_code == 0  # same content

    (in_tmp / template).write_bytes(b"edited by hand\n")
    result = runner.invoke(cmd, ["--generate-config"])
    assert result.exit_code == 1
    assert result.stderr.strip() == (
        f"Error: {in_tmp / template} already exists; rename or remove it to write a new template"
    )
    assert (in_tmp / template).read_bytes() == b"edited by hand\n"
    assert written  # the first run really wrote the template


@pytest.mark.parametrize("name, attr, template", COMMANDS, ids=IDS)
def test_deeply_nested_configuration_is_one_line(runner, tmp_path, toolkit, name, attr, template):
    depth = 100_000
    if template.endswith(".yaml"):
        text = "cards: " + "[" * depth + "]" * depth + "\n"
    else:
        text = '{"config": ' + "[" * depth + "]" * depth + "}"
    path = tmp_path / ("deep" + os.path.splitext(template)[1])
    path.write_text(text)
    result = runner.invoke(command(name, attr), ["-c", str(path)])
    assert result.exit_code == 1
    assert "Traceback" not in result.output
    assert "nested too deeply to load" in result.output


@pytest.mark.parametrize("name, attr, template", COMMANDS, ids=IDS)
def test_number_beyond_the_integer_limit_is_one_line(runner, tmp_path, toolkit, name, attr,
                                                     template):
    digits = "1" + "0" * 4400
    text = f"document1_title: {digits}\n" if template.endswith(".yaml") else (
        '{"config": {"a": %s}, "main_page": {"t": 1}, "groups": [{"name": "A"}]}' % digits)
    path = tmp_path / ("big" + os.path.splitext(template)[1])
    path.write_text(text)
    result = runner.invoke(command(name, attr), ["-c", str(path)])
    assert result.exit_code == 1
    assert "Traceback" not in result.output and "4300" in result.output


@pytest.mark.parametrize("name, attr, template", COMMANDS, ids=IDS)
def test_special_file_as_configuration_does_not_block(runner, tmp_path, toolkit, name, attr,
                                                        template):
    import socket

    fifo = tmp_path / ("fifo" + os.path.splitext(template)[1])
    os.mkfifo(fifo)
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(str(tmp_path / ("sock" + os.path.splitext(template)[1])))
    try:
        for special in (fifo, tmp_path / ("sock" + os.path.splitext(template)[1])):
            result = runner.invoke(command(name, attr), ["-c", str(special)])
            assert result.exit_code == 1
            assert result.stderr.splitlines()[-1] == f"Error: {special}: not a regular file"
    finally:
        sock.close()


def test_listing_yields_regular_files_only(tmp_path, caplog):
    (tmp_path / "a.md").write_text("a")
    os.mkfifo(tmp_path / "fifo.md")
    os.symlink("loop.md", tmp_path / "loop.md")
    os.symlink("gone.md", tmp_path / "broken.md")
    os.symlink("a.md", tmp_path / "link.md")
    for recursive in (False, True):
        caplog.clear()
        paths, names = fileMg.find_files_with_extensions(str(tmp_path), [".md"], recursive)
        assert names == ["a", "link"]
        warned = [r.getMessage() for r in caplog.records if r.levelname == "WARNING"]
        assert len(warned) == 2 and all("broken or looping link" in w for w in warned)


@pytest.mark.parametrize("spelling", ["./sub/../c.json", "hard.json", "soft.json"])
def test_output_spelled_otherwise_is_refused(runner, in_tmp, spelling):
    (in_tmp / "sub").mkdir()
    _pdf(in_tmp / "in" / "a.pdf")
    _config(in_tmp / "c.json", {"input_folder": "in", "output_file": spelling})
    os.link(in_tmp / "c.json", in_tmp / "hard.json")
    os.symlink("c.json", in_tmp / "soft.json")
    before = (in_tmp / "c.json").read_bytes()
    result = runner.invoke(command("leafmix", "cmd_leafmix"), ["-c", "c.json"])
    assert result.exit_code == 1
    assert result.stderr.splitlines()[-1] == "Error: c.json: output_file would overwrite the input c.json"
    assert (in_tmp / "c.json").read_bytes() == before


def _pdf(path):
    from pypdf import PdfWriter

    writer = PdfWriter()
    writer.add_blank_page(100, 100)
    path.parent.mkdir(parents=True, exist_ok=True)
    writer.write(path)


def _workbook(path):
    from openpyxl import Workbook

    book = Workbook()
    book.active["A1"], book.active["B1"] = "Trip", 12.5
    path.parent.mkdir(parents=True, exist_ok=True)
    book.save(path)


def _image(path):
    from PIL import Image

    path.parent.mkdir(parents=True, exist_ok=True)
    Image.new("RGB", (4, 3)).save(path)


def _config(path, config):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps({"config": config}))


# (module, command, key, the output it would write: there the configuration
# lies, and what else the run needs)
OVERWRITES = [
    ("leafmix", "cmd_leafmix", "output_file", "out.pdf",
     lambda t, victim: (_pdf(t / "in" / "a.pdf"),
                        _config(victim, {"input_folder": str(t / "in"), "output_file": str(victim)}))),
    ("notepress", "cmd_notepress", "output_path", "Page.html",
     lambda t, victim: ((t / "Page.md").write_text("# A\n"),
                        _config(victim, {"input_path": str(t), "output_path": str(t)}))),
    ("tallyrun", "cmd_tallyrun", "output_dir", "out/result.xlsx",
     lambda t, victim: _config(victim, {"system_data_path": str(t / "s.csv"),
                                        "customer_data_path": str(t / "c.xlsx"),
                                        "output_dir": str(t / "out")})),
    ("platebook", "cmd_platebook", "output_file", "report.json",
     lambda t, victim: victim.write_text(json.dumps({
         "config": {"image_folder": str(t), "output_file": victim.name}, "main_page": {"t": 1},
         "groups": [{"name": "A", "pattern": "a"}]}))),
    ("cardhall", "cmd_cardhall", "folder_path", "index.html",
     lambda t, victim: victim.write_text(f"folder_path: '{t}'\n")),
]


@pytest.mark.parametrize("name, attr, key, output, prepare", OVERWRITES,
                         ids=[o[0] for o in OVERWRITES])
def test_output_never_replaces_the_configuration(runner, tmp_path, toolkit, name, attr, key, output,
                                                 prepare):
    victim = tmp_path / output
    prepare(tmp_path, victim)
    before = victim.read_bytes()
    result = runner.invoke(command(name, attr), ["-c", str(victim)])
    assert result.exit_code == 1
    assert result.stderr.splitlines()[-1] == (
        f"Error: {victim}: {key} would overwrite the input {victim}")
    assert victim.read_bytes() == before


# (command, label of its progress line, inputs and configuration)
def _platebook_input(t):
    _image(t / "in" / "a.png")
    (t / "c.json").write_text(json.dumps({"config": {"image_folder": str(t / "in")}, "main_page": {"t": 1},
                                          "groups": [{"name": "A", "pattern": "a"}]}))


PROGRESS = [
    ("platebook", "Opening images", _platebook_input),
    ("platebook", "Placing images", _platebook_input),
    ("leaf-mix", "Merging PDFs",
     lambda t: (_pdf(t / "in" / "a.pdf"),
                _config(t / "c.json", {"input_folder": str(t / "in"),
                                       "output_file": str(t / "out.pdf")}))),
    ("notepress", "Converting notes",
     lambda t: ((t / "in").mkdir(), (t / "in" / "a.md").write_text("# A\n"),
                _config(t / "c.json", {"input_path": str(t / "in"), "output_path": str(t / "out")}))),
    ("chartsite", "Rendering diagrams",
     lambda t: ((t / "in").mkdir(), (t / "in" / "a.mmd").write_text("flowchart LR\n  A --> B\n"),
                _config(t / "c.json", {"input_folder": str(t / "in"),
                                       "output_folder": str(t / "out")}))),
    ("spend-file", "Processing workbooks",
     lambda t: (_workbook(t / "in" / "trip.xlsx"),
                (t / "c.json").write_text(json.dumps({
                    "config": {"path": str(t / "in"), "dry_run": True},
                    "excel_in": {"name_cell": "A1", "amount_cell": "B1"}})))),
]


def _stderr_of(name, config, terminal):
    import pty
    import subprocess
    import sys

    cmd = [sys.executable, "-m", "dorvex", name, "-c", str(config)]
    if not terminal:
        return subprocess.run(cmd, capture_output=True, text=True, check=True).stderr
    master, slave = pty.openpty()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=slave)
    os.close(slave)
    chunks = []
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the child closed the terminal
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(master)
    assert proc.wait() == 0
    return b"".join(chunks).decode()


@pytest.mark.parametrize("name, label, prepare", PROGRESS, ids=[p[0] for p in PROGRESS])
def test_progress_line_only_on_a_terminal(tmp_path, name, label, prepare):
    prepare(tmp_path)
    assert label not in _stderr_of(name, tmp_path / "c.json", terminal=False)
    shown = _stderr_of(name, tmp_path / "c.json", terminal=True)
    assert label in shown and "1/1" in shown


@pytest.mark.timeout(120)
@pytest.mark.parametrize("name, label, prepare", PROGRESS, ids=[p[0] for p in PROGRESS])
def test_fifo_among_the_inputs_is_passed_over(runner, tmp_path, toolkit, name, label, prepare):
    from dorvex.cli import main

    prepare(tmp_path)
    listed = {"platebook": "b.png", "leaf-mix": "b.pdf", "notepress": "b.md",
              "chartsite": "b.mmd", "spend-file": "b.xlsx"}[name]
    os.mkfifo(tmp_path / "in" / listed)
    result = runner.invoke(main, [name, "-c", str(tmp_path / "c.json")])
    assert result.exit_code == 0, result.output
    assert "Traceback" not in result.output


@pytest.mark.parametrize("demo", ["platebook", "leafmix", "notepress", "chartsite", "tallyrun",
                                  "spendfile", "cardhall"])
def test_examples_run_with_only_the_documented_toolkit(tmp_path, demo):
    host = tmp_path / "bin" / "dor-vex"
    host.parent.mkdir()
    host.write_text(f"#!{sys.executable}\nimport sys\nsys.path.insert(0, {os.path.join(ROOT, 'tests')!r})\n"
                    "import toolkits\ntoolkits.install(toolkits.reduced())\n"
                    "from dorvex.cli import main\nmain()\n")
    host.chmod(0o755)
    env = dict(os.environ, PATH=f"{host.parent}{os.pathsep}{os.environ['PATH']}")
    result = subprocess.run(["bash", os.path.join(ROOT, "examples", demo, "demo.sh"),
                             str(tmp_path / "out")], env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Traceback" not in result.stderr and "Error" not in result.stderr


# (command, configuration with misspelled keys, the warnings it gets)
UNKNOWN_KEYS = [
    ("spend-file", {"config": {"path": ".", "amount_cel": "B1", "_note": "a comment"},
                    "excel_in": {"name_cell": "A1"}, "exel_in": {}},
     ["unknown key config.amount_cel", "unknown key exel_in (did you mean excel_in?)"]),
    ("card-hall", {"folder_path": ".", "document1_titel": "A", "document2_files": "b.pdf",
                   "show_downlaod_link": False, "// note": "a comment"},
     ["unknown key document1_titel (did you mean document1_title?)",
      "unknown key show_downlaod_link (did you mean show_download_link?)"]),
    ("platebook", {"config": {"image_foler": "."}, "main_page": {"user_title_10": "A", "user_titel_1": "B"},
                   "groups": [{"name": "G", "pattern": "g"}, {"name": "H", "cols_per_rows": 2}], "// note": 1},
     ["unknown key config.image_foler (did you mean image_folder?)",
      "unknown key main_page.user_titel_1 (did you mean user_title_1?)",
      "unknown key groups[1].cols_per_rows (did you mean cols_per_row?)"]),
    ("tally-run", {"config": {"output_dri": "out", "_note": "a comment",
                              "system_data": {"qty_cel": "L2", "//": "a comment"}}},
     ["unknown key config.output_dri (did you mean output_dir?)",
      "unknown key config.system_data.qty_cel (did you mean qty_cell?)"]),
    ("leaf-mix", {"config": {"input_folder": "in", "layout": {"colums": 3, "rows": 1}, "margn": 5,
                             "_note": "a comment"}},
     ["unknown key config.layout.colums (did you mean cols?)",
      "unknown key config.margn (did you mean margin?)"]),
    ("notepress", {"config": {"input_pth": "notes", "output_path": "out", "// note": "x"}},
     ["unknown key config.input_pth (did you mean input_path?)"]),
    ("chartsite", {"config": {"output_foler": "out", "_note": "a comment",
                              "doc_titles": {"any.md": "A"}, "chart_titles": {"x.mmd": "X"}}},
     ["unknown key config.output_foler (did you mean output_folder?)"]),
]


@pytest.mark.parametrize("name, content, warnings", UNKNOWN_KEYS, ids=[u[0] for u in UNKNOWN_KEYS])
def test_unknown_keys_are_warned_about(runner, in_tmp, name, content, warnings):
    from dorvex.cli import main

    (in_tmp / "c.json").write_text(json.dumps(content))
    result = runner.invoke(main, [name, "-c", "c.json"])
    shown = [line for line in result.stderr.splitlines() if line.startswith("Warning: ")]
    assert shown == [f"Warning: c.json: {w}" for w in warnings]


# A writer made slow where each family writes: the run is stopped there by a
# signal, as `kill`, `timeout` or a closed terminal would stop it.
SLOW_WRITERS = {
    "pdf": "import pypdf\n_w = pypdf.PdfWriter.write\n"
           "def write(self, stream):\n    _w(self, stream)\n    slow()\npypdf.PdfWriter.write = write\n",
    "xlsx": "from corvalib import excelTools\n_w = excelTools._write_sheet\n"
            "def write(*a):\n    _w(*a)\n    slow()\nexcelTools._write_sheet = write\n",
    "html": "import builtins\n_open = builtins.open\n"
            "def open_(f, mode='r', *a, **k):\n    fh = _open(f, mode, *a, **k)\n"
            "    if 'w' in mode and (isinstance(f, int) or os.path.basename(str(f)).startswith('.~')):\n"
            "        slow()\n"
            "    return fh\nbuiltins.open = open_\n",
}


def _stop_while_writing(tmp_path, name, family, config, signum):
    marker = tmp_path / "writing"
    code = ("import os, sys, time\n"
            f"def slow():\n    open({str(marker)!r}, 'w').close()\n    time.sleep(60)\n"
            + SLOW_WRITERS[family]
            + f"from dorvex.cli import main\nmain([{name!r}, '-c', {str(config)!r}])\n")
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    proc = subprocess.Popen([sys.executable, "-c", code], cwd=tmp_path,
                            env=dict(os.environ, TMPDIR=str(scratch)),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for _ in range(600):
        if marker.exists() or proc.poll() is not None:
            break
        time.sleep(0.1)
    assert marker.exists(), proc.communicate()
    proc.send_signal(signum)
    out, err = proc.communicate(timeout=60)
    assert "Traceback" not in err
    return proc.returncode, scratch


@pytest.mark.parametrize("family, name, prepare, output, signum", [
    ("pdf", "leaf-mix", next(p for n, _, p in PROGRESS if n == "leaf-mix"), "out.pdf",
     signal.SIGTERM),
    ("xlsx", "tally-run", lambda t: (
        subprocess.run([sys.executable, os.path.join(ROOT, "examples", "tallyrun", "make_samples.py"),
                        str(t / "data_tallyrun"), "40"], check=True),
        shutil.copy(os.path.join(ROOT, "examples", "tallyrun", "match.json"), t / "c.json")),
     "out/result.xlsx", signal.SIGTERM),
    ("html", "notepress", next(p for n, _, p in PROGRESS if n == "notepress"), "out/a.html",
     signal.SIGHUP),
], ids=["pdf", "xlsx", "html"])
def test_signal_while_writing_leaves_no_temporary(tmp_path, family, name, prepare, output, signum):
    prepare(tmp_path)
    target = tmp_path / output
    target.parent.mkdir(exist_ok=True)
    target.write_bytes(b"an earlier result")
    status, scratch = _stop_while_writing(tmp_path, name, family, tmp_path / "c.json", signum)
    assert status == 128 + signum
    assert target.read_bytes() == b"an earlier result"
    leftovers = [p for p in tmp_path.rglob(".~*")] + list(scratch.iterdir())
    assert leftovers == []


def _host(*args):
    return [os.path.join(os.path.dirname(sys.executable), "dor-vex"), *args]


@pytest.mark.parametrize("where", ["read-only folder", "removed folder"])
@pytest.mark.parametrize("name", ["platebook", "leaf-mix", "notepress", "chartsite", "tally-run",
                                  "spend-file", "card-hall"])
def test_template_that_cannot_be_written_is_one_line(tmp_path, name, where):
    folder = tmp_path / "here"
    folder.mkdir()
    if where == "read-only folder":
        os.chmod(tmp_path, 0o755)
        os.chmod(folder, 0o555)
        argv = _host(name, "--generate-config")
        if os.geteuid() == 0:  # root ignores permission bits; an ordinary user does not
            argv = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", *argv]
        proc = subprocess.run(argv, cwd=folder, capture_output=True, text=True)
    else:
        proc = subprocess.run(["sh", "-c", 'cd "$1" && rmdir "$1" && shift && exec "$@"', "sh",
                               str(folder), *_host(name, "--generate-config")],
                              capture_output=True, text=True)
    assert proc.returncode == 1
    assert len(proc.stderr.splitlines()) == 1 and proc.stderr.startswith("Error: ")
    assert ("Permission denied" if where == "read-only folder" else "No such file") in proc.stderr
    assert ".~" not in proc.stderr  # the template is named, not a hidden temporary


# (command, a library that writing its template must not load)
TEMPLATE_SKIPS = [("tally-run", "pandas"), ("spend-file", "openpyxl"), ("leaf-mix", "pypdf"),
                  ("card-hall", "yaml"), ("notepress", "markdown"), ("chartsite", "markdown")]


@pytest.mark.parametrize("name, library", TEMPLATE_SKIPS, ids=[t[0] for t in TEMPLATE_SKIPS])
def test_template_does_not_load_the_work_libraries(in_tmp, name, library):
    code = (f"import sys; from dorvex.cli import main\n"
            f"try:\n    main([{name!r}, '--generate-config'])\nexcept SystemExit:\n    pass\n"
            f"print({library!r} in sys.modules)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.splitlines()[-1] == "False"
