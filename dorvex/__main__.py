"""`python -m dorvex <command>`: a command with its module's main-program
behaviour (an extension module cannot be run with `python -m` itself)."""

import os
import sys

from dorvex.cli import COMMANDS, load_command, main


def _notepress_setup():
    from corvalib import app_logging

    os.environ["DORVEX_DEBUG"] = "1"
    app_logging.setup_logging("Dorvex", debug=True, file=None)


# What a module does as the main program before it invokes its command.
MAIN_SETUP = {
    "notepress": _notepress_setup,
}


def run(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if not argv or argv[0] not in COMMANDS:
        main.main(args=argv, prog_name="python -m dorvex")
        return
    name, args = argv[0], argv[1:]
    setup = MAIN_SETUP.get(name)
    if setup:
        setup()
    load_command(name).main(args=args, prog_name=f"python -m dorvex {name}")


if __name__ == "__main__":
    run()
