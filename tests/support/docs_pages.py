"""Reading the reference pages in docs/, so that tests can hold them to what
the package does.

A page documents one module (docs/<module>.md; the stand-ins share
docs/stand-ins.md).  Each entry is a level-two heading holding the entry's
name in backticks (`` ## `load_observations` ``; on the stand-ins page the
name carries its module: `` ## `io.read_data` ``).  Within an entry, the
table that follows a line starting with "**Settings" lists the `config` keys
the function reads, one per row, the key in backticks in the first column.
Fenced blocks marked `python` are examples that run; signatures and shell
lines use `text` or `console` fences.
"""
import importlib
import re
from dataclasses import dataclass, field
from pathlib import Path

DOCS = Path(__file__).resolve().parents[2] / "docs"

MODULE_PAGES = {
    "runjournal": "runjournal.md",
    "figdefaults": "figdefaults.md",
    "stationfeed": "stationfeed.md",
    "matched": "matched.md",
    "statistics": "statistics.md",
    "chronoplex": "chronoplex.md",
    "plotting": "plotting.md",
    "offsetplex": "offsetplex.md",
    "pairplex": "pairplex.md",
    "geoplex": "geoplex.md",
    "io": "stand-ins.md",
    "style": "stand-ins.md",
    "utils": "stand-ins.md",
    "version": "stand-ins.md",
}
STAND_INS = ("io", "style", "utils", "version")

_HEADING = re.compile(r"^## `([^`]+)`\s*$")
_FENCE = re.compile(r"^```(\w*)\s*$")
_KEY_CELL = re.compile(r"^\|\s*`([^`]+)`")


@dataclass
class Entry:
    name: str
    text: str
    settings: list = field(default_factory=list)  # config keys, in table order


def page_path(module):
    return DOCS / MODULE_PAGES[module]


def entry_name(module, name):
    """The heading name of a public name of `module`."""
    return f"{module}.{name}" if module in STAND_INS else name


def entries(path):
    """The entries of a page by heading name."""
    found = {}
    current = None
    lines = []
    in_fence = False

    def close():
        if current is not None:
            found[current] = _entry(current, lines)

    for line in Path(path).read_text(encoding="utf-8").splitlines():
        if _FENCE.match(line):
            in_fence = not in_fence
        m = None if in_fence else _HEADING.match(line)
        if m or (not in_fence and line.startswith("# ")) or (
                not in_fence and line.startswith("## ") and current is not None):
            close()
            current = m.group(1) if m else None
            lines = []
            continue
        if current is not None:
            lines.append(line)
    close()
    return found


def _entry(name, lines):
    settings = []
    state = "before"  # then "table" from the **Settings line to the table's end
    for line in lines:
        if state == "before":
            if line.startswith("**Settings"):
                state = "table"
        elif line.startswith("|"):
            m = _KEY_CELL.match(line)
            if m:
                settings.append(m.group(1))
        elif line.strip():
            break
    return Entry(name, "\n".join(lines), settings)


def python_blocks(path):
    """The fenced python examples of a page, in page order."""
    return [block + "\n" for block in fenced(Path(path).read_text(encoding="utf-8"), "python")]


def public_names(module):
    """The functions and classes a module defines for its users."""
    mod = importlib.import_module(f"kvelo.py.{module}")
    names = []
    for name, value in vars(mod).items():
        if name.startswith("_") or getattr(value, "__module__", None) != mod.__name__:
            continue
        if callable(value):
            names.append(name)
    if module == "version":
        names = [n for n in vars(mod) if n.startswith("KVELO_")]
    return names


def fenced(text, language):
    """The bodies of the fenced blocks marked `language` in a text, in order."""
    blocks = []
    block = None  # the lines of the open fence, None outside one
    kind = ""
    for line in text.splitlines():
        m = _FENCE.match(line)
        if m and block is None:
            block, kind = [], m.group(1)
        elif m and not m.group(1):
            if kind == language:
                blocks.append("\n".join(block))
            block = None
        elif block is not None:
            block.append(line)
    return blocks


_LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")
_CODE_SPAN = re.compile(r"`[^`]*`")


def _prose(path):
    """The lines of a page outside its fenced blocks."""
    lines = []
    in_fence = False
    for line in Path(path).read_text(encoding="utf-8").splitlines():
        if _FENCE.match(line):
            in_fence = not in_fence
        elif not in_fence:
            lines.append(line)
    return lines


def links(path):
    """The targets of the Markdown links and images of a page, outside code."""
    found = []
    for line in _prose(path):
        found += _LINK.findall(_CODE_SPAN.sub("", line))
    return found


def anchors(path):
    """The anchors GitHub gives the headings of a page: the heading's text
    without its markup, in lower case, without punctuation, blanks as "-";
    a repeated anchor gets "-1", "-2", ..."""
    seen = {}
    found = set()
    for line in _prose(path):
        m = re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line)
        if not m:
            continue
        text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", m.group(1)).replace("`", "")
        slug = re.sub(r"[^\w\- ]", "", text.lower()).replace(" ", "-")
        n = seen.get(slug, 0)
        seen[slug] = n + 1
        found.add(slug if n == 0 else f"{slug}-{n}")
    return found
