"""The dor-vex host: one click group whose commands are imported only when run,
so `dor-vex --help` never pays for pandas, pypdf or fpdf."""

import importlib

import click

from . import __version__

# command name -> (module, command attribute, one-line help for the listing)
COMMANDS = {
    "platebook": ("dorvex.platebook", "cmd_platebook", "Build a PDF lab report from measurement images."),
    "leaf-mix": ("dorvex.leafmix", "cmd_leafmix", "Merge a folder of PDFs N-up onto A4 pages."),
    "notepress": ("dorvex.notepress", "cmd_notepress", "Convert exported Markdown notes to HTML pages."),
    "chartsite": ("dorvex.chartsite", "cmd_chartsite", "Build an HTML site from Mermaid and Markdown files."),
    "tally-run": ("dorvex.tallyrun", "cmd_tallyrun", "Match system order lines against a customer workbook."),
    "spend-file": ("dorvex.spendfile", "cmd_spendfile", "Rename expense workbooks from their cells."),
    "card-hall": ("dorvex.cardhall", "cmd_cardhall", "Write an HTML card index page from YAML."),
}


def load_command(name):
    """Import the module of command `name` and return its click command."""
    module, attr, _ = COMMANDS[name]
    try:
        mod = importlib.import_module(module)
    except ModuleNotFoundError as e:
        if e.name != module:
            raise
        raise click.ClickException(
            f"the command '{name}' is not built into this installation ({module} is missing)"
        ) from None
    return getattr(mod, attr)


class LazyGroup(click.Group):
    def list_commands(self, ctx):
        return list(COMMANDS)

    def get_command(self, ctx, name):
        if name not in COMMANDS:
            return None
        return load_command(name)

    def format_commands(self, ctx, formatter):
        # The listing uses the table, not the commands, to keep modules unloaded.
        rows = [(name, COMMANDS[name][2]) for name in COMMANDS]
        with formatter.section("Commands"):
            formatter.write_dl(rows)


@click.group(
    cls=LazyGroup,
    context_settings={"help_option_names": ["-h", "--help"]},
    epilog="Each command writes its configuration template with --generate-config.",
)
@click.version_option(__version__, prog_name="dor-vex")
@click.option("--verbose", "-v", is_flag=True, help="Show debug messages.")
def main(verbose):
    """dorvex: engineering and office paperwork from the command line."""
    from corvalib import app_logging

    app_logging.setup_logging("Dorvex", debug=verbose, file=None)
