"""Module loggers that share one console handler on standard error."""

import logging
import sys

ROOT = "Dorvex"
FORMAT = "%(asctime)s %(levelname)-7s %(name)s: %(message)s"
DATE_FORMAT = "%H:%M:%S"


class _StderrHandler(logging.StreamHandler):
    """Writes to whatever sys.stderr is at the moment of the record, so a
    caller that swaps standard error (click's test runner) still sees it."""

    def __init__(self):
        super().__init__()

    @property
    def stream(self):
        return sys.stderr

    @stream.setter
    def stream(self, _value):
        pass


def setup_logging(name=ROOT, debug=False, file=None):
    """Give the logger `name` one handler (standard error, or `file` when given)
    and the level INFO, or DEBUG with `debug`. Calling it again replaces the
    handler instead of adding a second one."""
    logger = logging.getLogger(name)
    for old in [h for h in logger.handlers if getattr(h, "_corvalib", False)]:
        logger.removeHandler(old)
        old.close()
    handler = logging.FileHandler(file, encoding="utf-8") if file else _StderrHandler()
    handler._corvalib = True
    handler.setFormatter(logging.Formatter(FORMAT, DATE_FORMAT))
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG if debug else logging.INFO)
    return logger


class LazyLogger:
    """A module's logger. The console handler is set up at the first record,
    not at import, so importing a module costs nothing and a host that sets
    up logging first keeps its own settings."""

    def __init__(self, name):
        self.name = name
        self._logger = None

    @property
    def logger(self):
        if self._logger is None:
            root = logging.getLogger(ROOT)
            if not root.handlers:
                setup_logging(ROOT)
            self._logger = logging.getLogger(f"{ROOT}.{self.name}")
        return self._logger

    def debug(self, msg):
        self.logger.debug(msg)

    def info(self, msg):
        self.logger.info(msg)

    def warning(self, msg):
        self.logger.warning(msg)

    def error(self, msg):
        self.logger.error(msg)

    def exception(self, msg):
        self.logger.exception(msg)

    def __repr__(self):
        return f"<LazyLogger {ROOT}.{self.name}>"


def lazy_logger(name):
    return LazyLogger(name)
