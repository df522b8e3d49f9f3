"""Start-up of the host: `dor-vex --help` and every command's template write
against the bare `import click` that any click program pays. A template needs
none of the libraries a command's real work loads (fpdf2, pypdf, pandas,
openpyxl): those are imported when the work starts."""

import os
import subprocess
import sys
import tempfile

from common import VENV_BIN, compare, report

HOST = os.path.join(VENV_BIN, "dor-vex")
COMMANDS = ["platebook", "leaf-mix", "notepress", "chartsite", "tally-run", "spend-file",
            "card-hall"]


def imported_modules(code):
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return out.stdout.strip()


def main():
    with tempfile.TemporaryDirectory() as tmp:
        summary = compare(
            {
                "python -c 'import click'": [sys.executable, "-c", "import click"],
                "dor-vex --help": [HOST, "--help"],
                **{f"dor-vex {c} --generate-config": [HOST, c, "--generate-config"]
                   for c in COMMANDS},
            },
            rounds=15,
            cwd=tmp,
        )
    report("Host start-up (median of 15, alternating)", summary, "python -c 'import click'")
    count = imported_modules(
        "import sys\nfrom dorvex.cli import main\n"
        "try:\n    main(['--help'])\nexcept SystemExit:\n    pass\n"
        "print(len(sys.modules))"
    )
    base = imported_modules("import sys, click; print(len(sys.modules))")
    print(f"modules imported: import click {base}, dor-vex --help {count.splitlines()[-1]}")


if __name__ == "__main__":
    main()
