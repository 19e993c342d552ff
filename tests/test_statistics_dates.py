"""SDATE and EDATE of the regional statistics: the days of the pool's first and
last stamps, written as pandas' strftime("%Y-%m-%d") writes them, for stamps
over the whole nanosecond range a pool can hold (before the epoch included).
The stamp kinds below are read and dated without pandas' time conversion."""
import datetime

import numpy as np
import pandas as pd
import pytest

from kvelo.py import statistics as st

EDGES = [
    "1677-09-21 00:12:43.145224193", "1677-09-21 23:59:59.999999999", "1677-09-22",
    "1678-01-01", "1699-12-31 23:59:59.999999999", "1700-02-28 23:59:59.999999999",
    "1700-03-01", "1800-02-28 23:59:59.999999999", "1800-03-01", "1899-12-31 23:59:59.999999999",
    "1900-02-28 12:00", "1900-03-01", "1969-12-31", "1969-12-31 23:59:59.999999999",
    "1970-01-01", "1970-01-01 00:00:00.000000001", "1999-12-31 23:59:59.999999999",
    "2000-02-29", "2000-03-01", "2004-02-29 23:59:59.999999999", "2100-02-28 23:59:59.999999999",
    "2100-03-01", "2261-12-31 23:59:59.999999999", "2262-01-01", "2262-04-11 23:47:16.854775807",
]


def sweep_ns():
    """Nanosecond stamps: the edges above (leap rules, day ends, the epoch, the
    range's ends) and random ones over the whole range, in random pairs."""
    rng = np.random.default_rng(23)
    edges = [pd.Timestamp(t).value for t in EDGES]
    assert edges[0] == pd.Timestamp.min.value and edges[-1] == pd.Timestamp.max.value
    stamps = edges + [-1, 1] + [int(v) for v in rng.integers(edges[0], edges[-1], 300,
                                                              endpoint=True)]
    rng.shuffle(stamps)
    return list(zip(stamps[0::2], stamps[1::2]))


def as_kind(ns, kind):
    if kind == "datetime64":  # what the station table intake stores
        return np.datetime64(ns, "ns")
    if kind == "timestamp":
        return pd.Timestamp(ns)
    return datetime.datetime(1970, 1, 1) + datetime.timedelta(microseconds=ns // 1000)


# Timestamps and datetime objects are read natively in the years 1678 to 2261.
def read_natively(stamp):
    return isinstance(stamp, np.datetime64) or 1678 <= stamp.year <= 2261


@pytest.mark.parametrize("kind", ["datetime64", "timestamp", "datetime"])
def test_regional_dates_match_pandas_strftime(kind, monkeypatch):
    calls = []
    convert = pd.to_datetime
    monkeypatch.setattr(pd, "to_datetime", lambda *a, **k: calls.append(a) or convert(*a, **k))
    got, want = [], []
    for pair in sweep_ns():
        times = [as_kind(ns, kind) for ns in pair]
        if not all(read_natively(t) for t in times):
            continue
        data = {"S": {"time": times, "NH4_CONC_obs": [1.0, 2.0], "NH4_CONC_m": [2.0, 1.0]}}
        table = st.compute_regional_statistics(data, "NH4_CONC", "weekly")
        got.append((pair, table["SDATE"].iloc[0], table["EDATE"].iloc[0]))
        want.append((pair, pd.Timestamp(min(times)).strftime("%Y-%m-%d"),
                     pd.Timestamp(max(times)).strftime("%Y-%m-%d")))
    assert len(got) > 100
    assert got == want
    assert not calls
