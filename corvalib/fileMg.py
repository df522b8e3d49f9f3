"""Files and folders: JSON templates and configurations, file search in natural
name order, output paths and safe moves."""

import errno
import json
import os
import re
import shutil
import stat

from . import app_logging, dataIO

log = app_logging.lazy_logger("fileMg")

NESTED_TOO_DEEPLY = "nested too deeply to load"

_DIGITS = re.compile(r"(\d+)")

# link() failures that mean "no hard link here" rather than "not allowed"
_NO_LINK = {errno.EXDEV, errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP, errno.EMLINK, errno.ENOSYS}


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
    directory; return the path written. A file of that name with other content
    is kept: FileExistsError (a user may have edited the template in place)."""
    return write_template(filename, json.dumps(data, indent=4, ensure_ascii=False) + "\n")


def write_template(filename, text):
    """Write `text` to `filename` in the current directory unless a file with
    other content is there (FileExistsError); return the absolute path."""
    path = os.path.abspath(filename)
    if os.path.lexists(path):
        try:
            with open_regular(path, "rb") as f:
                same = f.read() == text.encode("utf-8")
        except OSError:
            same = False
        if not same:
            raise FileExistsError(
                f"{path} already exists; rename or remove it to write a new template"
            )
        return path
    dataIO.write_text(path, text)
    return path


def is_regular_file(path):
    """True when `path` is a regular file (links followed); never raises."""
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except (OSError, TypeError, ValueError):
        return False


def open_regular(path, mode="r", encoding=None, errors=None):
    """open() for regular files only: a FIFO, device, socket or folder raises
    OSError instead of blocking or reading endlessly. The check is made on the
    opened descriptor, so the file cannot be swapped between check and read."""
    if any(c in mode for c in "wax+"):
        raise ValueError("open_regular reads only")
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        mode_bits = os.fstat(fd).st_mode
        if stat.S_ISDIR(mode_bits):
            raise IsADirectoryError(errno.EISDIR, "is a folder, not a file", os.fspath(path))
        if not stat.S_ISREG(mode_bits):
            raise OSError(errno.EINVAL, "not a regular file", os.fspath(path))
        os.set_blocking(fd, True)
        return open(fd, mode, encoding=encoding, errors=errors)
    except BaseException:
        os.close(fd)
        raise


def find_overwrite(output, inputs):
    """The first of `inputs` that writing `output` would replace, else None.
    Existing files are compared by identity (links, other spellings), the rest
    by normalised absolute path."""
    out_abs = os.path.normcase(os.path.abspath(os.fspath(output)))
    out_exists = os.path.exists(output)
    for item in inputs:
        if item is None:
            continue
        path = os.fspath(item)
        if out_exists and os.path.exists(path):
            try:
                if os.path.samefile(output, path):
                    return path
                continue
            except OSError:
                pass
        if os.path.normcase(os.path.abspath(path)) == out_abs:
            return path
    return None


def load_json_file(path, required_keys=None):
    """Load a JSON object. Returns [value of each required key..., document], or
    None after logging why the file cannot be used."""
    try:
        with open_regular(path, encoding="utf-8") as f:
            data = json.load(f)
    except FileNotFoundError:
        return _fail(path, "file not found")
    except IsADirectoryError:
        return _fail(path, "is a folder, not a file")
    except RecursionError:
        return _fail(path, NESTED_TOO_DEEPLY)
    except UnicodeDecodeError as e:
        return _fail(path, f"not UTF-8 text (byte {e.start})")
    except json.JSONDecodeError as e:
        return _fail(path, f"not valid JSON: {e.msg} at line {e.lineno} column {e.colno}")
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


def move_file_safe(src, dest, backup):
    """Like move_file_force, but destroys nothing: an existing `dest` makes the
    move fail (FileExistsError) with `src` left in place, and an existing backup
    is kept while the new one takes the next free name "<stem> (N)<ext>".
    The backup is complete before `src` leaves its place; a move that fails
    leaves `src` where it was and removes what it had written.
    Returns the backup path used."""
    if not os.path.isfile(src):
        raise FileNotFoundError(f"No such file: {src}")
    if os.path.lexists(dest):
        raise FileExistsError(f"Destination already exists: {dest}")
    while True:
        backup = free_name(backup)
        try:
            _copy_new(src, backup)
            break
        except FileExistsError:  # taken meanwhile: the next free name
            continue
    placed = False
    try:
        try:
            # link() refuses an existing name, so a file that appeared meanwhile
            # is kept; and the workbook's data stays where it is on the disk, so
            # not even a power cut can lose it (the backup needs no flush)
            os.link(src, dest)
        except FileExistsError:
            raise FileExistsError(f"Destination already exists: {dest}") from None
        except OSError as e:
            if e.errno not in _NO_LINK:
                raise
            # another file system, or one without hard links: a copy, which
            # unlike a link must be on the disk before the source goes
            _copy_new(src, dest, durable=True)
        placed = True
        os.remove(src)
    except BaseException:
        if placed:
            dataIO.discard(dest)
        dataIO.discard(backup)
        raise
    return backup


def free_name(path):
    """`path` when nothing is there, else the first free "<stem> (N)<ext>"."""
    if not os.path.lexists(path):
        return path
    stem, ext = os.path.splitext(path)
    n = 1
    while os.path.lexists(f"{stem} ({n}){ext}"):
        n += 1
    return f"{stem} ({n}){ext}"


def _copy_new(src, dest, durable=False):
    """Copy `src` to a new file `dest`, complete before it appears under its
    name (flushed to the disk when `durable`); FileExistsError when `dest`
    exists, which is then left untouched."""
    tmp = dataIO.temp_path_beside(dest)
    try:
        shutil.copy2(src, tmp)
        if durable:
            with open(tmp, "rb") as f:
                os.fsync(f.fileno())
        try:
            os.link(tmp, dest)
        except FileExistsError:
            raise
        except OSError as e:
            if e.errno not in _NO_LINK:
                raise
            if os.path.lexists(dest):
                raise FileExistsError(f"File already exists: {dest}") from None
            os.replace(tmp, dest)
    finally:
        dataIO.discard(tmp)


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
