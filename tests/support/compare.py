"""Holding the package's results to the plain formulation's: the same bits,
the same types, the same error and the same warnings."""
import math
import struct
import warnings

import numpy as np
import pandas as pd

from kvelo.py import statistics as st
from support.reference import ref_regional


def bits(values):
    """dtype and raw bytes: equal only for the very same numbers of the same type."""
    a = np.asarray(values)
    return a.dtype, a.tobytes()


def assert_same_bits(got, want):
    """Equal dtype, NaN in the same places and every other value bit for bit."""
    got, want = np.asarray(got), np.asarray(want)
    assert got.dtype == want.dtype and got.shape == want.shape
    if got.dtype.kind == "f":
        assert np.array_equal(np.isnan(got), np.isnan(want))
        keep = ~np.isnan(got)
        got, want = got[keep], want[keep]
    assert got.tobytes() == want.tobytes()


def assert_same_table(got, want):
    """Same columns, dtypes and bits in every field (NaN equal to NaN), same file text."""
    assert list(got.columns) == list(want.columns)
    assert list(got.dtypes) == list(want.dtypes)
    assert len(got) == len(want)
    for col in want.columns:
        for a, b in zip(got[col].tolist(), want[col].tolist()):
            assert type(a) is type(b), (col, a, b)
            if isinstance(b, float):
                assert (math.isnan(a) and math.isnan(b)) or \
                    struct.pack("<d", a) == struct.pack("<d", b), (col, a, b)
            else:
                assert a == b, (col, a, b)
    assert got.to_csv(index=False) == want.to_csv(index=False)


def outcome(fn):
    """The result, or the type and text of the error; and the warnings, in order."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = fn()
        except Exception as e:  # the library's own error must come through
            result = (type(e), str(e))
    return result, [(w.category, str(w.message)) for w in caught]


def assert_same_outcome(got_fn, want_fn):
    got, got_w = outcome(got_fn)
    want, want_w = outcome(want_fn)
    if isinstance(want, tuple):
        assert got == want
    else:
        assert_same_table(got, want)
    assert got_w == want_w


def assert_regional_like_plain(data_factory, native=None, monkeypatch=None):
    """Both regional functions against the formulation (NH4_CONC, weekly), each
    on fresh data; `native`: whether the stations must be read without pandas'
    time conversion."""
    for fn, drop in [(st.compute_regional_statistics, False),
                     (st.compute_regional_statistics_from_collocated_dict, True)]:
        calls = []
        if monkeypatch is not None:
            convert = pd.to_datetime
            monkeypatch.setattr(pd, "to_datetime",
                                lambda *a, **k: calls.append(1) or convert(*a, **k))
        got = outcome(lambda: fn(data=data_factory(), variable="NH4_CONC", tavg="weekly"))
        if monkeypatch is not None:
            monkeypatch.undo()
        want = outcome(lambda: ref_regional(data_factory(), "NH4_CONC", "weekly", drop))
        if isinstance(want[0], tuple):
            assert got[0] == want[0]
        else:
            assert_same_table(got[0], want[0])
        assert got[1] == want[1]
        if native is not None:
            assert (not calls) == native, calls
