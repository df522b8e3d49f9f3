"""File-name pattern matching with readable captions."""

import fnmatch
import re

_SEPARATORS = re.compile(r"[\s_]+")
_WILDCARDS = set("*?")


def parseFn_pattern(fn, pattern, fn_prefix=""):
    """(matched, caption) for the file name `fn` (without extension).

    A name matches when it contains `pattern`, or, for a pattern with `*` or
    `?`, when it fits the pattern as a shell-style wildcard (case-sensitive).
    The caption is the name without `fn_prefix`, with underscores and runs of
    white space turned into single spaces: "Result_g8_Peak_01" with the prefix
    "Result" gives "g8 Peak 01"."""
    fn = str(fn)
    pattern = str(pattern)
    if _WILDCARDS & set(pattern):
        matched = fnmatch.fnmatchcase(fn, pattern)
    else:
        matched = pattern in fn
    return matched, make_caption(fn, fn_prefix)


def make_caption(fn, fn_prefix=""):
    name = str(fn)
    prefix = str(fn_prefix or "")
    if prefix and name.startswith(prefix):
        name = name[len(prefix):]
    caption = _SEPARATORS.sub(" ", name).strip(" -.")
    return caption or str(fn)
