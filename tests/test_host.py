import json
import subprocess
import sys

import pytest

from dorvex import cli

HEAVY = ("pandas", "pypdf", "fpdf", "PIL", "markdown", "openpyxl", "yaml")


def run_python(code, cwd=None):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=cwd)


def test_help_lists_every_command_without_importing_them():
    code = (
        "import sys\n"
        "from dorvex.cli import main\n"
        "try:\n    main(['--help'])\nexcept SystemExit as e:\n    assert e.code == 0\n"
        f"print('LOADED', sorted(m for m in {HEAVY!r} if m in sys.modules))\n"
        "print('MODULES', sorted(m for m in sys.modules if m.startswith('dorvex.')))\n"
    )
    out = run_python(code).stdout
    assert "LOADED []" in out
    assert "MODULES ['dorvex.cli']" in out
    for name in cli.COMMANDS:
        assert name in out


def test_version_and_verbose(runner):
    result = runner.invoke(cli.main, ["--version"])
    assert result.exit_code == 0 and "dor-vex, version 0.1.0" in result.output


def test_command_runs_through_host(runner, in_tmp):
    result = runner.invoke(cli.main, ["platebook", "--generate-config"])
    assert result.exit_code == 0, result.output
    assert json.loads((in_tmp / "config_platebook_template.json").read_text())["groups"]


def test_unbuilt_command_is_a_clear_error(runner, monkeypatch):
    monkeypatch.setitem(cli.COMMANDS, "ghost", ("dorvex.ghost", "cmd_ghost", "Nothing."))
    result = runner.invoke(cli.main, ["ghost"])
    assert result.exit_code == 1
    assert "Error: the command 'ghost' is not built into this installation" in result.output


@pytest.mark.parametrize("argv", [["--help"], ["platebook", "--help"]])
def test_python_m_dorvex(argv):
    result = subprocess.run([sys.executable, "-m", "dorvex", *argv], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert "Usage: python -m dorvex" in result.stdout


def test_python_m_dorvex_notepress_sets_debug(monkeypatch):
    """The notepress main-program set-up switches on DORVEX_DEBUG and debug logging."""
    import logging
    import os

    from dorvex import __main__ as entry

    monkeypatch.delenv("DORVEX_DEBUG", raising=False)
    monkeypatch.setattr(entry, "load_command", lambda name: cli.main)
    with pytest.raises(SystemExit):
        entry.run(["notepress", "--help"])
    assert os.environ["DORVEX_DEBUG"] == "1"
    assert logging.getLogger("Dorvex").level == logging.DEBUG


def test_load_yaml(tmp_path, capsys):
    from dorvex.config import load_yaml

    good = tmp_path / "a.yaml"
    good.write_text("b: 1\na: x\n", encoding="utf-8")
    assert list(load_yaml(str(good)).items()) == [("b", 1), ("a", "x")]
    for content in ["- 1\n- 2\n", "a: [1\n", "!!python/object:os.system {}\n"]:
        good.write_text(content, encoding="utf-8")
        assert load_yaml(str(good)) is None
        assert capsys.readouterr().err.startswith(f"Error: {good}: ")
    assert load_yaml(str(tmp_path / "missing.yaml")) is None


def test_shell_completion_lists_the_commands():
    import os

    env = dict(os.environ, _DOR_VEX_COMPLETE="bash_complete", COMP_WORDS="dor-vex ", COMP_CWORD="1")
    dor_vex = os.path.join(os.path.dirname(sys.executable), "dor-vex")
    out = subprocess.run([dor_vex], env=env, capture_output=True, text=True, check=True).stdout
    assert out.split() == [f"plain,{name}" for name in cli.COMMANDS]
