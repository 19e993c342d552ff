"""Values that answer oddly: objects whose operations raise or change between
calls, subclasses of int, float and str whose operators answer unlike the
builtins', and mappings that are no dict.  The settings campaign
(odd_campaign.py) builds its cases from them, and tests that reach the same
answers in a child interpreter import them too."""
import collections.abc


class Refused(Exception):
    """What the objects below raise from the operation they refuse."""


def refusing(*methods):
    """An object whose methods (say __bool__) raise Refused."""
    def refuse(self, *args):
        raise Refused(f"{methods[0]} refused")

    attrs = {m: refuse for m in methods}
    attrs.update(__hash__=object.__hash__, __repr__=lambda self: f"<{methods[0]} raises>")
    return type("Refusing", (), attrs)()


class IndexOnce:
    """Answers 3 to the first __index__, then refuses: a value read twice differs."""

    def __init__(self):
        self.asked = 0

    def __index__(self):
        self.asked += 1
        if self.asked > 1:
            raise Refused("__index__ refused the second time")
        return 3

    def __repr__(self):
        return "<__index__ answers once>"


def answering(answers):
    """An operator that answers from `answers` in turn, one answer a call, so that
    a value asked twice may answer differently."""
    calls = []

    def op(self, *args):
        calls.append(None)
        return answers[(len(calls) - 1) % len(answers)]

    return op


ARITHMETIC = ("add", "radd", "sub", "rsub", "mul", "rmul", "truediv", "rtruediv", "floordiv",
              "rfloordiv", "mod", "rmod", "neg", "abs")
COMPARISONS = ("lt", "le", "gt", "ge")


def odd_int(answers, base=3):
    """An int subclass whose arithmetic operators answer from `answers`."""
    ops = {f"__{o}__": answering(answers) for o in ARITHMETIC}
    ops["__repr__"] = lambda self: f"OddInt({int(self)})"
    return type("OddInt", (int,), ops)(base)


def odd_float(base=1.5):
    """A float subclass whose arithmetic, comparisons and float() change between calls."""
    ops = {f"__{o}__": answering((base, float("nan"), -1e308, 0.0)) for o in ARITHMETIC}
    ops.update({f"__{o}__": answering((True, False)) for o in COMPARISONS})
    ops["__float__"] = answering((base, float("nan"), -1.0))
    ops["__repr__"] = lambda self: f"OddFloat({float.__repr__(self)})"
    return type("OddFloat", (float,), ops)(base)


def plus_changes(base):
    """A str subclass whose + answers "time" from its third call on (the text that
    names the time column): a text derived twice from it differs."""
    def plus(self, other):
        plus.calls += 1
        return "time" if plus.calls > 2 else str.__add__(self, other)

    def rplus(self, other):
        plus.calls += 1
        return "time" if plus.calls > 2 else other + str(self)

    plus.calls = 0
    return type("PlusChanges", (str,), {"__add__": plus, "__radd__": rplus})(base)


def hash_and_eq_change(base):
    """A str subclass whose hash and == answer differently every call."""
    return type("Shifty", (str,), {"__hash__": answering((1, 2, 3, 4, 5)),
                                   "__eq__": answering((True, False)),
                                   "__ne__": answering((False, True))})(base)


def unhashable(base):
    """A str subclass that defines only __eq__, so that it has no hash."""
    return type("Unhashable", (str,), {"__eq__": lambda self, o: str.__eq__(self, o)})(base)


def hash_raises(base):
    def refuse(self):
        raise Refused("__hash__ refused")
    return type("HashRaises", (str,), {"__hash__": refuse})(base)



class MappingOnly(collections.abc.Mapping):
    """A read-only mapping that is not a dict (no copy, no dict fast paths), as a
    caller may hand over for a config, a station or the station-wise data."""

    def __init__(self, items):
        self._items = dict(items)

    def __getitem__(self, key):
        return self._items[key]

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return len(self._items)


class GetRaises(dict):
    """A config whose get (and copy) refuses."""

    def get(self, *args):
        raise Refused("get refused")

    def copy(self):
        return GetRaises(self)



class Pairs(collections.abc.Mapping):
    """A mapping held as (key, value) pairs, so that its keys need not hash."""

    def __init__(self, pairs):
        self._pairs = list(pairs)

    def __getitem__(self, key):
        for k, v in self._pairs:
            if k == key:
                return v
        raise KeyError(key)

    def __iter__(self):
        return iter([k for k, _ in self._pairs])

    def __len__(self):
        return len(self._pairs)


class KeysChange(Pairs):
    """Every other listing of its keys leaves out the experiments' keys."""

    listed = 0

    def __iter__(self):
        self.listed += 1
        keys = [k for k, _ in self._pairs]
        if self.listed % 2 == 0:
            keys = [k for k in keys if not (isinstance(k, str) and "_exp" in k)]
        return iter(keys)

    def __getitem__(self, key):
        if key not in list(iter(self)):
            raise KeyError(key)
        return super().__getitem__(key)
