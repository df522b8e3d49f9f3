"""Toolkits other than ours that keep the documented contract: the modules
must run with any of them, and keep their guarantees.

`reduced()` is our toolkit with every undocumented name removed. `naive()`
keeps only the letter of the contract: its listing yields every entry with a
wanted extension (FIFOs included), its template writer replaces any file, its
loader opens whatever it is given and its workbook writer writes in place."""

import importlib
import json
import os
import sys
import types

DOCUMENTED = {
    "app_logging": ["lazy_logger", "setup_logging"],
    "fileMg": ["generate_json_template", "load_json_file", "checkFileOrDir",
               "find_files_with_extensions", "get_output_file_path", "check_file_exists",
               "get_folder_from_path", "generate_output_path", "move_file_force"],
    "parseTools": ["parseFn_pattern"],
    "excelTools": ["read_csv_by_cells", "read_excel_by_cells", "merge_exact_match",
                   "write_formatted_excel"],
    "dataIO": [],
}


def reduced():
    modules = {}
    for name, functions in DOCUMENTED.items():
        real = importlib.import_module(f"corvalib.{name}")
        module = types.ModuleType(f"corvalib.{name}")
        for function in functions:
            setattr(module, function, getattr(real, function))
        modules[name] = module
    return modules


def _generate_json_template(data, filename):
    with open(filename, "w", encoding="utf-8") as f:
        json.dump(data, f, indent=2)
    return os.path.abspath(filename)


def _load_json_file(path, required_keys=None):
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except (OSError, ValueError) as e:
        print(f"cannot load {path}: {e}", file=sys.stderr)
        return None
    if not isinstance(data, dict) or any(k not in data for k in required_keys or []):
        print(f"cannot use {path}", file=sys.stderr)
        return None
    return [data[k] for k in required_keys or []] + [data]


def _find_files_with_extensions(in_path, extensions, recursive=False):
    wanted = {"." + e.lower().lstrip(".") for e in extensions}
    found = []
    for folder, _dirs, files in os.walk(in_path):
        found += [os.path.join(folder, f) for f in sorted(files)
                  if os.path.splitext(f)[1].lower() in wanted]
        if not recursive:
            break
    return found, [os.path.splitext(os.path.basename(p))[0] for p in found]


def _write_formatted_excel(path, sheets):
    import pandas as pd

    try:
        with pd.ExcelWriter(path, engine="openpyxl") as writer:
            for name, value in sheets.items():
                records = [{"df": value}] if isinstance(value, pd.DataFrame) else value
                for rec in records:
                    rec["df"].to_excel(writer, sheet_name=name, index=rec.get("index", False),
                                       startcol=rec.get("startcol", 0))
    except Exception as e:
        print(f"cannot write {path}: {e}", file=sys.stderr)
        return False
    return True


def naive():
    modules = reduced()
    modules["fileMg"].generate_json_template = _generate_json_template
    modules["fileMg"].load_json_file = _load_json_file
    modules["fileMg"].find_files_with_extensions = _find_files_with_extensions
    modules["excelTools"].write_formatted_excel = _write_formatted_excel
    return modules


def install(modules, setitem=None, setattr_=None):
    """Puts `modules` in place of the toolkit's submodules, in sys.modules and
    in every dorvex module already loaded (they bound the toolkit by name).
    `setitem`/`setattr_` are monkeypatch's, so that a test undoes it all."""
    setitem = setitem or (lambda d, k, v: d.__setitem__(k, v))
    setattr_ = setattr_ or setattr
    import corvalib

    # looked up before the swap: a name bound at its first use is then our
    # toolkit's, which is what undoing the install puts back
    bound = [(loaded, name) for n, loaded in list(sys.modules.items()) if n.startswith("dorvex.")
             for name in modules if hasattr(loaded, name)]
    for name, module in modules.items():
        setitem(sys.modules, f"corvalib.{name}", module)
        setattr_(corvalib, name, module)
    for loaded, name in bound:
        setattr_(loaded, name, modules[name])
