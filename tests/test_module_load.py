"""A module that cannot load raises the import's own error, not a wrapper."""
import json

import pytest

from support.child import printed_lines

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


# One child interpreter tries every case in turn (an interpreter start costs
# seconds under the sanitizers): each module first loads as it is, then with a
# library blocked, then without a sibling name.  A module that failed is taken
# off sys.modules, so the next attempt runs its body again.
CHILD = """
import importlib, json, sys

def attempt(module):
    name = "kvelo.py." + module
    sys.modules.pop(name, None)
    try:
        importlib.import_module(name)
    except BaseException as e:
        return [type(e).__name__, str(e), e.__cause__ is None]
    return ["loaded"]

results = {}
for module, library, sibling in json.loads(sys.argv[1]):
    results["load " + module] = attempt(module)
for module, library, sibling in json.loads(sys.argv[1]):
    if library:
        held = sys.modules.get(library)
        sys.modules[library] = None
        results["library " + module] = attempt(module)
        sys.modules[library] = held
    if sibling:
        owner = importlib.import_module(sibling[0])
        held = getattr(owner, sibling[1])
        delattr(owner, sibling[1])
        results["sibling " + module] = attempt(module)
        setattr(owner, sibling[1], held)
print(json.dumps(results))
"""


@pytest.fixture(scope="module")
def outcomes():
    return json.loads(printed_lines(CHILD, json.dumps(MODULES))[-1])


@pytest.mark.parametrize("module, library", [(m, lib) for m, lib, _ in MODULES if lib])
def test_missing_library_raises_module_not_found(outcomes, module, library):
    assert outcomes["library " + module] == [
        "ModuleNotFoundError", f"import of {library} halted; None in sys.modules", True]


@pytest.mark.parametrize("module, sibling", [(m, s) for m, _, s in MODULES if s])
def test_missing_sibling_name_raises_cannot_import_name(outcomes, module, sibling):
    owner, name = sibling
    kind, message, no_cause = outcomes["sibling " + module]
    assert kind == "ImportError"
    assert message.startswith(f"cannot import name {name!r} from {owner!r} (")
    assert no_cause is True


@pytest.mark.parametrize("module", [m for m, _, _ in MODULES])
def test_every_module_loads(outcomes, module):
    assert outcomes["load " + module] == ["loaded"]
