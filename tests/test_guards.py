"""Guards every command shares: templates that are kept, configurations too
deeply nested to load, special files in listings, outputs that name inputs."""

import importlib
import json
import os

import pytest

from corvalib import fileMg

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


def command(name, attr):
    return getattr(importlib.import_module(f"dorvex.{name}"), attr)


@pytest.mark.parametrize("name, attr, template", COMMANDS, ids=IDS)
def test_template_kept_unless_identical(runner, in_tmp, name, attr, template):
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
def test_deeply_nested_configuration_is_one_line(runner, tmp_path, name, attr, template):
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
def test_fifo_as_configuration_does_not_block(runner, tmp_path, name, attr, template):
    fifo = tmp_path / ("fifo" + os.path.splitext(template)[1])
    os.mkfifo(fifo)
    result = runner.invoke(command(name, attr), ["-c", str(fifo)])
    assert result.exit_code == 1
    assert "not a regular file" in result.output


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


def test_open_regular_refuses_special_files(tmp_path):
    os.mkfifo(tmp_path / "fifo")
    with pytest.raises(OSError, match="not a regular file"):
        fileMg.open_regular(tmp_path / "fifo")
    with pytest.raises(IsADirectoryError):
        fileMg.open_regular(tmp_path)
    (tmp_path / "f").write_text("ok")
    with fileMg.open_regular(tmp_path / "f", encoding="utf-8") as f:
        assert f.read() == "ok"


def test_find_overwrite(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "in.pdf").write_text("x")
    os.link(tmp_path / "in.pdf", tmp_path / "hard.pdf")
    os.symlink("in.pdf", tmp_path / "soft.pdf")
    inputs = [str(tmp_path / "in.pdf"), str(tmp_path / "new.json")]
    for output in ["in.pdf", "./sub/../in.pdf", "hard.pdf", "soft.pdf"]:
        assert fileMg.find_overwrite(output, inputs) == inputs[0]
    assert fileMg.find_overwrite("new.json", inputs) == inputs[1]  # neither exists yet
    assert fileMg.find_overwrite("out.pdf", inputs) is None
