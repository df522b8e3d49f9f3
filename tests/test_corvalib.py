import json
import logging
import os

import pytest

from corvalib import app_logging, dataIO, fileMg, parseTools


def touch(folder, *names):
    for name in names:
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(b"x")


def test_find_files_natural_order_and_extension_forms(tmp_path):
    touch(tmp_path, "img10.png", "img2.PNG", "Img1.png", "notes.txt", ".hidden.png", "b.jpg")
    (tmp_path / "dir.png").mkdir()
    paths, names = fileMg.find_files_with_extensions(in_path=str(tmp_path), extensions=["png", ".JPG"])
    assert names == ["b", "Img1", "img2", "img10"]
    assert paths == [str(tmp_path / n) for n in ["b.jpg", "Img1.png", "img2.PNG", "img10.png"]]


def test_find_files_recursive_is_opt_in(tmp_path):
    touch(tmp_path, "a.md", "sub/b.md", "sub/.git/c.md")
    assert fileMg.find_files_with_extensions(str(tmp_path), [".md"])[1] == ["a"]
    paths, names = fileMg.find_files_with_extensions(str(tmp_path), [".md"], recursive=True)
    assert names == ["a", "b"]
    assert paths[1] == str(tmp_path / "sub" / "b.md")


def test_find_files_missing_folder_gives_empty_lists(tmp_path):
    assert fileMg.find_files_with_extensions(str(tmp_path / "nope"), ["png"]) == ([], [])


@pytest.mark.parametrize(
    "content, reason",
    [
        (b'{"config": ', "not valid JSON"),
        (b"\xff\xfe{}", "not UTF-8"),
        (b"[1, 2]", "must be a JSON object"),
        (b'{"other": 1}', 'missing required key "config"'),
    ],
)
def test_load_json_file_reports_instead_of_raising(tmp_path, caplog, content, reason):
    path = tmp_path / "c.json"
    path.write_bytes(content)
    with caplog.at_level(logging.ERROR):
        assert fileMg.load_json_file(str(path), required_keys=["config"]) is None
    assert reason in caplog.text and str(path) in caplog.text


def test_load_json_file_missing_file(tmp_path, caplog):
    assert not fileMg.load_json_file(str(tmp_path / "none.json"), required_keys=["config"])
    assert "file not found" in caplog.text


def test_load_json_file_gives_config_first(tmp_path):
    path = tmp_path / "c.json"
    path.write_text(json.dumps({"config": {"a": 1}, "x": 2}), encoding="utf-8")
    loaded = fileMg.load_json_file(str(path), required_keys=["config"])
    assert loaded[0] == {"a": 1}


def test_json_template_keeps_order_and_non_ascii(in_tmp):
    path = fileMg.generate_json_template({"b": 1, "a": "處理"}, "t.json")
    assert path == str(in_tmp / "t.json")
    text = (in_tmp / "t.json").read_text(encoding="utf-8")
    assert text == '{\n    "b": 1,\n    "a": "處理"\n}\n'


def test_json_template_replaces_a_file(in_tmp):
    (in_tmp / "t.json").write_text("edited")
    fileMg.generate_json_template({"a": 1}, "t.json")
    assert (in_tmp / "t.json").read_text() == '{\n    "a": 1\n}\n'


def test_paths_and_checks(tmp_path):
    touch(tmp_path, "data.CSV")
    assert fileMg.checkFileOrDir(str(tmp_path)) == 0
    assert fileMg.checkFileOrDir(str(tmp_path / "missing")) != 0
    assert fileMg.check_file_exists(str(tmp_path / "data.CSV"), allowed_extensions=[".csv"])
    assert not fileMg.check_file_exists(str(tmp_path / "data.CSV"), allowed_extensions=[".xlsx"])
    assert not fileMg.check_file_exists("", allowed_extensions=[".csv"])
    assert fileMg.get_folder_from_path(str(tmp_path)) == str(tmp_path)
    assert fileMg.get_folder_from_path(str(tmp_path / "data.CSV")) == str(tmp_path)
    out = fileMg.get_output_file_path(str(tmp_path / "a" / "b"), "r.xlsx")
    assert out == str(tmp_path / "a" / "b" / "r.xlsx") and (tmp_path / "a" / "b").is_dir()
    assert os.path.isdir(fileMg.generate_output_path(str(tmp_path), "results"))


def test_move_file_force_replaces_and_backs_up(tmp_path):
    (tmp_path / "src.xlsx").write_bytes(b"new")
    (tmp_path / "dest.xlsx").write_bytes(b"old")
    fileMg.move_file_force(src=str(tmp_path / "src.xlsx"), dest=str(tmp_path / "dest.xlsx"),
                           backup=str(tmp_path / "bak.xlsx"))
    assert not (tmp_path / "src.xlsx").exists()
    assert (tmp_path / "dest.xlsx").read_bytes() == b"new"
    assert (tmp_path / "bak.xlsx").read_bytes() == b"new"
    with pytest.raises(FileNotFoundError):
        fileMg.move_file_force(src=str(tmp_path / "src.xlsx"), dest="x", backup="y")


def test_atomic_write_keeps_old_file_on_failure(tmp_path):
    target = tmp_path / "page.html"
    dataIO.write_text(target, "good")
    with pytest.raises(UnicodeEncodeError):
        dataIO.write_text(target, "bad \ud800")
    assert target.read_text() == "good"
    assert os.listdir(tmp_path) == ["page.html"]
    assert (target.stat().st_mode & 0o777) != 0o600


def test_atomic_write_modes(tmp_path):
    umask = os.umask(0o022)
    try:
        new = tmp_path / "new.html"
        dataIO.write_bytes(new, b"x")
        assert new.stat().st_mode & 0o777 == 0o644
        new.chmod(0o600)
        dataIO.write_bytes(new, b"y")
        assert new.stat().st_mode & 0o777 == 0o600 and new.read_bytes() == b"y"
    finally:
        os.umask(umask)


@pytest.mark.parametrize(
    "name, pattern, prefix, matched, caption",
    [
        ("Result_g8_Peak_60dB_01", "g8_Peak_60dB", "Result", True, "g8 Peak 60dB 01"),
        ("Result_g8_Peak_50dB_01", "g8_Peak_60dB", "Result", False, "g8 Peak 50dB 01"),
        ("scan_a_001", "scan_*_001", "", True, "scan a 001"),
        ("scan_a_0011", "scan_?_001", "", False, "scan a 0011"),
        ("Result", "Res", "Result", True, "Result"),
    ],
)
def test_parse_fn_pattern(name, pattern, prefix, matched, caption):
    assert parseTools.parseFn_pattern(name, pattern, fn_prefix=prefix) == (matched, caption)


def test_lazy_logger_sets_up_on_first_record(capsys):
    root = logging.getLogger("Dorvex")
    for h in list(root.handlers):
        root.removeHandler(h)
    log = app_logging.lazy_logger("Probe")
    assert not root.handlers
    log.info("hello there")
    assert "Dorvex.Probe: hello there" in capsys.readouterr().err
    app_logging.setup_logging("Dorvex", debug=True)
    app_logging.setup_logging("Dorvex", debug=True)
    assert len(root.handlers) == 1 and root.level == logging.DEBUG
