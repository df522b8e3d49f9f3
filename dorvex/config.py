"""YAML configuration loading for the commands that take YAML."""

import errno
import os
import stat
import sys

import yaml

NESTED_TOO_DEEPLY = "nested too deeply to load"


def _open_regular(path):
    """open() for a regular file only: a FIFO or device would block the
    loader or stream forever. Checked on the opened descriptor."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        mode = os.fstat(fd).st_mode
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, "is a folder, not a file", os.fspath(path))
        if not stat.S_ISREG(mode):
            raise OSError(errno.EINVAL, "not a regular file", os.fspath(path))
        os.set_blocking(fd, True)
        return open(fd, encoding="utf-8")
    except BaseException:
        os.close(fd)
        raise


def load_yaml(path):
    """The top-level mapping of the YAML file at `path`, in document order, or
    None after one line on standard error saying why the file cannot be used."""
    try:
        with _open_regular(path) as f:
            data = yaml.safe_load(f)
    except FileNotFoundError:
        return _fail(path, "file not found")
    except IsADirectoryError:
        return _fail(path, "is a folder, not a file")
    except UnicodeDecodeError as e:
        return _fail(path, f"not UTF-8 text (byte {e.start})")
    except RecursionError:
        return _fail(path, NESTED_TOO_DEEPLY)
    except yaml.YAMLError as e:
        where = getattr(e, "problem_mark", None)
        at = f" at line {where.line + 1} column {where.column + 1}" if where else ""
        problem = getattr(e, "problem", None) or str(e)
        return _fail(path, f"not valid YAML: {problem}{at}")
    except OSError as e:
        return _fail(path, e.strerror or str(e))
    except ValueError as e:  # a value YAML reads but Python cannot hold: 2024-02-30, 4301 digits
        if "integer string conversion" in str(e):
            return _fail(path, f"holds a number of more than {sys.get_int_max_str_digits()} digits")
        return _fail(path, f"not usable YAML: {e}")
    if data is None:
        return {}
    if not isinstance(data, dict):
        return _fail(path, f"the top level must be a mapping, not {type(data).__name__}")
    return data


def _fail(path, reason):
    print(f"Error: {path}: {reason}", file=sys.stderr)
    return None
