"""Atomic file writing: a temporary file beside the target, then a rename, so a
failed or interrupted write never leaves a truncated file where a good one stood."""

import os


def _create_beside(path):
    """Open a new file in the target's folder, its name keeping the target's
    extension (some writers choose their format by it). Created with the mode
    a plain open() would give, so a new target needs no chmod."""
    folder, name = os.path.split(os.fspath(path))
    stem, ext = os.path.splitext(name)
    while True:
        tmp = os.path.join(folder, f".~{stem}.{os.urandom(4).hex()}{ext}")
        try:
            return os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666), tmp
        except FileExistsError:
            continue


def temp_path_beside(path):
    """A new empty file beside `path`; the caller renames it into place with
    commit() or removes it with discard()."""
    fd, tmp = _create_beside(path)
    os.close(fd)
    return tmp


def commit(tmp, path):
    """Rename `tmp` over `path`, keeping the permissions of a file it replaces."""
    try:
        mode = os.stat(path).st_mode & 0o7777
    except OSError:
        pass
    else:
        if os.stat(tmp).st_mode & 0o7777 != mode:
            os.chmod(tmp, mode)
    os.replace(tmp, path)


def discard(tmp):
    try:
        os.remove(tmp)
    except FileNotFoundError:
        pass


def write_bytes(path, data):
    fd, tmp = _create_beside(path)
    try:
        with open(fd, "wb") as f:
            f.write(data)
        commit(tmp, path)
    except BaseException:
        discard(tmp)
        raise


def write_text(path, text, encoding="utf-8"):
    write_bytes(path, text.encode(encoding))
