"""Files and folders: JSON templates and configurations, file search in natural
name order, output paths and moves."""

import errno
import json
import os
import re
import shutil
import stat

from . import app_logging, dataIO

log = app_logging.lazy_logger("fileMg")

_DIGITS = re.compile(r"(\d+)")


def natural_key(text):
    """Sort key in which "img2" comes before "img10" and letter case is ignored."""
    parts = _DIGITS.split(os.fspath(text))
    key = [(1, int(p), "") if p.isdigit() else (0, 0, p.casefold()) for p in parts]
    return key, text


def _normalise_extensions(extensions):
    if isinstance(extensions, str):
        extensions = [extensions]
    return {("." + e.lstrip(".")).lower() for e in extensions if e}


def generate_json_template(data, filename):
    """Write `data` as JSON (4-space indent, non-ASCII kept) into the current
    directory, replacing a file of that name; return the path written."""
    path = os.path.abspath(filename)
    dataIO.write_text(path, json.dumps(data, indent=4, ensure_ascii=False) + "\n")
    return path


def _open_regular(path, encoding):
    """open() for regular files only: a FIFO, device or socket raises OSError
    instead of blocking the loader. Checked on the opened descriptor."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        mode_bits = os.fstat(fd).st_mode
        if stat.S_ISDIR(mode_bits):
            raise IsADirectoryError(errno.EISDIR, "is a folder, not a file", os.fspath(path))
        if not stat.S_ISREG(mode_bits):
            raise OSError(errno.EINVAL, "not a regular file", os.fspath(path))
        os.set_blocking(fd, True)
        return open(fd, encoding=encoding)
    except BaseException:
        os.close(fd)
        raise


def load_json_file(path, required_keys=None):
    """Load a JSON object (a byte-order mark before it is passed over). Returns
    [value of each required key..., document], or None after logging why the
    file cannot be used."""
    try:
        with _open_regular(path, "utf-8-sig") as f:
            data = json.load(f)
    except FileNotFoundError:
        return _fail(path, "file not found")
    except IsADirectoryError:
        return _fail(path, "is a folder, not a file")
    except RecursionError:
        return _fail(path, "nested too deeply to load")
    except UnicodeDecodeError as e:
        return _fail(path, f"not UTF-8 text (byte {e.start})")
    except json.JSONDecodeError as e:
        return _fail(path, f"not valid JSON: {e.msg} at line {e.lineno} column {e.colno}")
    except ValueError as e:  # a number beyond Python's integer-string limit
        return _fail(path, f"not usable JSON: {str(e).split(':')[0]}")
    except OSError as e:
        return _fail(path, e.strerror or str(e))
    if not isinstance(data, dict):
        return _fail(path, f"the top level must be a JSON object, not {_json_type(data)}")
    missing = [k for k in (required_keys or []) if k not in data]
    if missing:
        return _fail(path, "missing required key " + ", ".join(f'"{k}"' for k in missing))
    return [data[k] for k in (required_keys or [])] + [data]


def _json_type(value):
    return {list: "an array", str: "a string", bool: "a boolean", type(None): "null"}.get(
        type(value), "a number"
    )


def _fail(path, reason):
    log.error(f"Cannot load configuration {path}: {reason}")
    return None


def checkFileOrDir(path):
    """0 when `path` is an existing file or folder that can be read, 1 when it
    does not exist, 2 when it exists but cannot be read."""
    try:
        if not os.path.exists(path):
            return 1
    except (TypeError, ValueError):
        return 1
    return 0 if os.access(path, os.R_OK) else 2


def find_files_with_extensions(in_path, extensions, recursive=False):
    """Regular files under `in_path` whose extension is one of `extensions`
    ("png" or ".png", any letter case). Hidden files are skipped, and so are
    FIFOs, sockets and devices (a debug line each: reading one could block) and
    broken or looping links (one warning each). Returns two parallel lists, the
    paths and the names without extension, in natural order of the path below
    `in_path`."""
    wanted = _normalise_extensions(extensions)
    found = []
    if recursive:
        for folder, dirs, files in os.walk(in_path):
            dirs[:] = [d for d in dirs if not d.startswith(".")]
            found.extend(os.path.join(folder, f) for f in files)
    else:
        try:
            with os.scandir(in_path) as entries:
                found = [os.path.join(in_path, e.name) for e in entries]
        except (FileNotFoundError, NotADirectoryError):
            found = []
    matches = []
    for path in found:
        name = os.path.basename(path)
        stem, ext = os.path.splitext(name)
        if name.startswith(".") or ext.lower() not in wanted or not _listable(path):
            continue
        matches.append((natural_key(os.path.relpath(path, in_path)), path, stem))
    matches.sort(key=lambda m: m[0])
    return [m[1] for m in matches], [m[2] for m in matches]


def _listable(path):
    """True for a regular file; says why anything else is passed over."""
    try:
        mode = os.stat(path).st_mode
    except OSError as e:
        if os.path.islink(path):
            log.warning(f"Skipping {path}: broken or looping link ({e.strerror})")
        else:
            log.warning(f"Skipping {path}: {e.strerror or e}")
        return False
    if stat.S_ISREG(mode):
        return True
    if not stat.S_ISDIR(mode):
        log.debug(f"Skipping {path}: not a regular file")
    return False


def get_output_file_path(folder, name):
    """Path of `name` in `folder`; the folder (with its parents) is created."""
    folder = os.fspath(folder) or "."
    os.makedirs(folder, exist_ok=True)
    return os.path.join(folder, name)


def check_file_exists(path, allowed_extensions=None):
    """True when `path` is an existing file whose extension is allowed (any
    extension when `allowed_extensions` is None)."""
    try:
        if not os.path.isfile(path):
            return False
    except (TypeError, ValueError):
        return False
    if allowed_extensions is None:
        return True
    return os.path.splitext(path)[1].lower() in _normalise_extensions(allowed_extensions)


def get_folder_from_path(path):
    """The folder itself for a folder path, else the folder that holds the file."""
    path = os.fspath(path)
    if os.path.isdir(path):
        return path
    return os.path.dirname(path) or "."


def generate_output_path(folder, sub_folder):
    """Path of `sub_folder` inside `folder`, created when missing."""
    path = os.path.join(folder, sub_folder)
    os.makedirs(path, exist_ok=True)
    return path


def move_file_force(src, dest, backup):
    """Copy `src` to `backup` completely, then move it to `dest`, replacing a
    file there. The backup is on disk before the source leaves its place, so an
    interruption at any moment loses nothing. Raises on failure."""
    if not os.path.isfile(src):
        raise FileNotFoundError(f"No such file: {src}")
    _copy_atomic(src, backup)
    tmp = dataIO.temp_path_beside(dest)
    try:
        shutil.copy2(src, tmp)
        os.replace(tmp, dest)
    except BaseException:
        dataIO.discard(tmp)
        raise
    os.remove(src)


def _copy_atomic(src, dest):
    tmp = dataIO.temp_path_beside(dest)
    try:
        shutil.copy2(src, tmp)
        with open(tmp, "rb") as f:
            os.fsync(f.fileno())
        os.replace(tmp, dest)
    except BaseException:
        dataIO.discard(tmp)
        raise
