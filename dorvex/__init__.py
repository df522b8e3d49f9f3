"""dorvex: a command-line toolbox for engineering and office paperwork."""

__version__ = "0.1.0"
