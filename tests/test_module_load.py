"""A module that cannot load raises the import's own error, not a wrapper."""
import subprocess
import sys

import pytest

# (module, a library it imports, a sibling name it binds)
MODULES = [
    ("runjournal", "tqdm", ("kvelo.py.version", "KVELO_VERSION")),
    ("figdefaults", None, None),
    ("stationfeed", "cftime", ("kvelo.py.utils", "extract_date_from_filename")),
    ("matched", "xarray", ("kvelo.py.io", "save_data")),
    ("statistics", "pandas", None),
    ("chronoplex", "seaborn", ("kvelo.py.utils", "extract_keys")),
    ("plotting", "seaborn", ("kvelo.py.style", "get_variable_mapping")),
    ("offsetplex", "seaborn", ("kvelo.py.io", "save_data")),
    ("pairplex", "cftime", ("kvelo.py.io", "read_data")),
    ("geoplex", "adjustText", ("kvelo.py.utils", "select_label_stations_by_density")),
]


def _import_error(setup, module):
    code = (
        "import sys\n"
        f"{setup}\n"
        "try:\n"
        f"    import kvelo.py.{module}\n"
        "except BaseException as e:\n"
        "    print(type(e).__name__, '|', e, '|', e.__cause__ is None)\n"
        "else:\n"
        "    print('loaded')\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


@pytest.mark.parametrize("module, library", [(m, lib) for m, lib, _ in MODULES if lib])
def test_missing_library_raises_module_not_found(module, library):
    line = _import_error(f"sys.modules[{library!r}] = None", module)
    assert line == f"ModuleNotFoundError | import of {library} halted; None in sys.modules | True"


@pytest.mark.parametrize("module, sibling", [(m, s) for m, _, s in MODULES if s])
def test_missing_sibling_name_raises_cannot_import_name(module, sibling):
    owner, name = sibling
    setup = f"import {owner} as o\ndel o.{name}"
    line = _import_error(setup, module)
    kind, message, no_cause = (part.strip() for part in line.split("|"))
    assert kind == "ImportError"
    assert message.startswith(f"cannot import name {name!r} from {owner!r} (")
    assert no_cause == "True"


def test_every_module_loads():
    for module, _, _ in MODULES:
        assert _import_error("", module) == "loaded"
