"""The reference in docs/ stays true: every public name of every module has
its entry with the signature that inspect shows, every python example of a
page runs, and every relative link of the README and the pages resolves."""
import importlib
import inspect

import pytest

from support import docs_pages

ROOT = docs_pages.DOCS.parent
PAGES = sorted(set(docs_pages.MODULE_PAGES.values()) | {"README.md"})
LINKING = ["README.md"] + [f"docs/{p}" for p in PAGES]


def shown_signature(module, name):
    """What the entry's signature block must read."""
    value = getattr(importlib.import_module(f"kvelo.py.{module}"), name)
    return f"{name}{inspect.signature(value)}"


@pytest.mark.parametrize("module", list(docs_pages.MODULE_PAGES))
def test_every_public_name_has_its_entry_with_its_signature(module):
    path = docs_pages.page_path(module)
    assert path.is_file(), f"{path.name} is missing"
    found = docs_pages.entries(path)
    expected = {docs_pages.entry_name(module, n) for n in docs_pages.public_names(module)}
    # Neither an entry missing nor one for a name the module lacks (a removed function).
    own = {h for h in found
           if module not in docs_pages.STAND_INS or h.startswith(f"{module}.")}
    faults = [f"entry for {h}, which is no public name of {module}"
              for h in sorted(own - expected)]
    for name in docs_pages.public_names(module):
        heading = docs_pages.entry_name(module, name)
        if heading not in found:
            faults.append(f"no entry for {heading}")
            continue
        if module == "version":
            continue  # texts, not callables
        blocks = docs_pages.fenced(found[heading].text, "text")
        want = shown_signature(module, name)
        if not blocks or blocks[0].strip() != want:
            faults.append(f"{heading}: signature {blocks[:1]} should read {want!r}")
    assert not faults, f"{path.name}: " + "; ".join(faults)


@pytest.fixture
def run_dir(tmp_path, monkeypatch, offline_natural_earth, clean_root_logger):
    """A fresh directory as cwd, offline maps, the drawing settings and the
    root logger put back after, and no figure left open."""
    import matplotlib
    import matplotlib.pyplot as plt

    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    with matplotlib.rc_context():
        yield work
    plt.close("all")


@pytest.mark.parametrize("page", PAGES)
def test_the_python_examples_of_a_page_run(page, run_dir):
    path = docs_pages.DOCS / page
    assert path.is_file(), f"{page} is missing"
    namespace = {"__name__": f"docs_{path.stem}"}
    for i, block in enumerate(docs_pages.python_blocks(path), 1):
        exec(compile(block, f"docs/{page}, python block {i}", "exec"), namespace)


@pytest.mark.parametrize("page", LINKING)
def test_relative_links_resolve(page):
    path = ROOT / page
    assert path.is_file(), f"{page} is missing"
    broken = []
    for target in docs_pages.links(path):
        if "://" in target or target.startswith("mailto:"):
            continue
        file_part, _, anchor = target.partition("#")
        linked = (path.parent / file_part).resolve() if file_part else path
        if not linked.exists():
            broken.append(target)
        elif anchor and linked.suffix == ".md" and anchor not in docs_pages.anchors(linked):
            broken.append(target)
    assert not broken, f"{page}: broken links {broken}"
