"""The platebook command level: module attributes, template, help and flow."""

import json
import logging

import pytest

import dorvex.platebook as pb


def test_is_compiled_extension():
    assert pb.__file__.endswith(".so")
    assert issubclass(pb.LabReport, pb.FPDF)


def test_help_text_exact():
    head = pb.HELP_TEXT[:441]
    assert head.startswith("\nGenerate a PDF report")
    assert head.endswith("\b\n[Default config.json Template]:\n")
    assert "* main_page           : (Dict)" in head
    assert pb.HELP_TEXT[441:] == json.dumps(pb.DEFAULT_CONFIG, indent=4, ensure_ascii=False) + "\n"


def test_help_output_keeps_template_unwrapped(runner):
    result = runner.invoke(pb.cmd_platebook, ["--help"])
    assert result.exit_code == 0
    assert "  * groups              : (List) Define layout and matching patterns for image groups.\n" in result.output
    assert '      "cols_per_row": 2\n' in result.output


def test_missing_pdf_libs_stops_even_generate(runner, monkeypatch, caplog):
    monkeypatch.setattr(pb, "HAS_PDF_LIBS", False)
    with caplog.at_level(logging.ERROR):
        result = runner.invoke(pb.cmd_platebook, ["--generate-config"])
    assert result.exit_code == 1
    assert [r.getMessage() for r in caplog.records] == [
        "Missing required packages for PDF generation.",
        "Please reinstall with the PDF feature enabled:",
        "--> pip install Dorvex[pdf]",
    ]


def test_rebound_log_is_honoured(runner, monkeypatch, tmp_path):
    seen = []

    class Recorder:
        def error(self, msg):
            seen.append(msg)

    monkeypatch.setattr(pb, "log", Recorder())
    path = tmp_path / "c.json"
    path.write_text(json.dumps({"config": {}, "main_page": {"a": 1}, "groups": [{}]}))
    assert runner.invoke(pb.cmd_platebook, ["-c", str(path)]).exit_code == 1
    assert seen == ["Invalid configuration format. Missing 'config', 'main_page', or 'groups'."]


@pytest.mark.parametrize(
    "content, reason",
    [
        (b"\xff\xfe", "not UTF-8 text"),
        (b'{"config": ', "not valid JSON"),
        (b"[1]", "the top level must be a JSON object"),
    ],
)
def test_unreadable_config_is_one_line(runner, tmp_path, content, reason):
    path = tmp_path / "c.json"
    path.write_bytes(content)
    result = runner.invoke(pb.cmd_platebook, ["-c", str(path)])
    assert result.exit_code == 1
    assert result.stderr.startswith(f"Error: {path}: {reason}")
    assert result.stderr.count("\n") == 1
