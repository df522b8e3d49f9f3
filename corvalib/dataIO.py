"""Atomic file writing: a temporary file beside the target, then a rename, so a
failed or interrupted write never leaves a truncated file where a good one stood."""

import os
import tempfile


def temp_path_beside(path):
    """A new empty file in the target's folder whose name keeps the target's
    extension (some writers choose their format by it). The caller renames it
    into place with commit() or removes it."""
    folder, name = os.path.split(os.fspath(path))
    stem, ext = os.path.splitext(name)
    fd, tmp = tempfile.mkstemp(prefix=f".~{stem}.", suffix=ext, dir=folder or ".")
    os.close(fd)
    return tmp


def commit(tmp, path):
    """Give `tmp` the permissions a newly created file would get (or the
    replaced file's), then rename it over `path`."""
    try:
        mode = os.stat(path).st_mode & 0o7777
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    os.chmod(tmp, mode)
    os.replace(tmp, path)


def discard(tmp):
    try:
        os.remove(tmp)
    except FileNotFoundError:
        pass


def write_bytes(path, data):
    tmp = temp_path_beside(path)
    try:
        with open(tmp, "wb") as f:
            f.write(data)
        commit(tmp, path)
    except BaseException:
        discard(tmp)
        raise


def write_text(path, text, encoding="utf-8"):
    write_bytes(path, text.encode(encoding))
