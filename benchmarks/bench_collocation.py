"""Collocated figures.

1. Regional aggregation at 300 stations x 8760 hourly times x 3 experiments: the
   regional step of plot_station_timeseries_collocation (valid stations, keys,
   aggregates and the regional figure drawn but not saved) against the table
   library's formulation of the aggregates alone (get_series_for_key per plot key,
   concat, row mean, min and max), with a check that both give the same numbers
   of the same type, bit for bit; once with float64 values, once with float32
   values (the items a float32 table column gives, aggregated in float32).
2. At 20 stations, the share of a full call (regional and station figures saved
   as PNG) spent in matplotlib against the rest.

    PYTHONPATH=build/dev/pkg python benchmarks/bench_collocation.py [--stations 300] [--times 8760]
"""
import argparse
import gc
import sys
import time
from collections import defaultdict
from pathlib import Path

import matplotlib.axes
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

from kvelo.py import chronoplex

# The regional tables as the tests hold the package to them.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from support.reference import collocated_regional  # noqa: E402

KEYS = ["O3_obs", "O3_exp1", "O3_exp2", "O3_exp3"]


def make_data(stations, times, seed=1, dtype=np.float64):
    """The collocated layout as the intake builds it: stamps as numpy datetime64,
    values as numpy floats, some missing, a few stations on shifted hours."""
    rng = np.random.default_rng(seed)
    stamps = pd.date_range("2023-01-01", periods=times, freq="h").values
    data = {}
    for i in range(stations):
        t = stamps if i % 10 else stamps + np.timedelta64(30, "m")
        obs = rng.normal(30, 8, times)
        obs[rng.random(times) < 0.05] = np.nan
        sd = {"site_id": f"ST{i:04d}", "site_name": f"Station {i}", "lat": 0.0, "lon": 0.0,
              "elevation_m": 0.0, "time": list(t), "n_valid": times,
              "O3_obs": list(obs.astype(dtype))}
        for k, key in enumerate(KEYS[1:]):
            sd[key] = list((obs + rng.normal(k, 3, times)).astype(dtype))
        data[sd["site_id"]] = sd
    return data


def library_regional(data):
    tables = collocated_regional(data, KEYS)
    first = tables[KEYS[0]]
    return (first.index, {k: t.mean(axis=1) for k, t in tables.items()}, first.min(axis=1),
            first.max(axis=1))


def ours_regional(data, drawn):
    drawn.clear()
    chronoplex.plot_station_timeseries_collocation(
        {"show_stations": False}, data, "", "", "", "out/x", [], "", "O3", "ppb", "hourly", False)


def record_lines(drawn):
    real_plot, real_fill = matplotlib.axes.Axes.plot, matplotlib.axes.Axes.fill_between

    def plot(ax, x, y, **kw):
        drawn.append(("line", kw.get("label"), x, y))
        return real_plot(ax, x, y, **kw)

    def fill(ax, x, lo, hi, **kw):
        drawn.append(("band", x, lo, hi))
        return real_fill(ax, x, lo, hi, **kw)

    matplotlib.axes.Axes.plot, matplotlib.axes.Axes.fill_between = plot, fill
    return lambda: (setattr(matplotlib.axes.Axes, "plot", real_plot),
                    setattr(matplotlib.axes.Axes, "fill_between", real_fill))


def bits(values):
    a = np.asarray(values)
    return a.dtype, a.tobytes()


def compare(drawn, reference):
    index, means, lo, hi = reference
    (_, bx, blo, bhi), (_, _, ox, oy), *exps = drawn
    assert bits(bx) == bits(index)
    assert bits(blo) == bits(lo) and bits(bhi) == bits(hi)
    assert bits(oy) == bits(means[KEYS[0]])
    for (_, label, x, y), key in zip(exps, KEYS[1:]):
        want = means[key].reindex(index).dropna()
        assert label == key and bits(y) == bits(want) and bits(x) == bits(want.index)


def timed(f, *args):
    gc.collect()
    t0 = time.perf_counter()
    out = f(*args)
    return time.perf_counter() - t0, out


def matplotlib_share(stations, times, tmp):
    """Time spent inside the matplotlib calls of one full call, by call."""
    spent = defaultdict(float)
    originals = []

    def wrap(owner, name, label):
        real = getattr(owner, name)

        def timed_call(*a, **k):
            t0 = time.perf_counter()
            try:
                return real(*a, **k)
            finally:
                spent[label] += time.perf_counter() - t0
        originals.append((owner, name, real))
        setattr(owner, name, timed_call)

    wrap(plt, "savefig", "savefig")
    for name in ["subplots", "close"]:
        wrap(plt, name, "figures")
    for name in ["plot", "fill_between", "set_title", "set_xlabel", "set_ylabel", "set_ylim",
                 "set_yscale", "grid", "set_axisbelow", "legend", "tick_params"]:
        wrap(matplotlib.axes.Axes, name, "axes calls")
    wrap(chronoplex, "apply_time_axis_format", "axes calls")
    wrap(chronoplex.sns, "set_theme", "axes calls")
    data = make_data(stations, times)
    try:
        total, _ = timed(chronoplex.plot_station_timeseries_collocation,
                         {}, data, "", "", "", f"{tmp}/o3", ["png"], "", "O3", "ppb", "hourly",
                         False)
    finally:
        for owner, name, real in originals:
            setattr(owner, name, real)
    mpl = sum(spent.values())
    print(f"full call at {stations} stations x {times} times, one PNG per figure: {total:.2f} s")
    for label, t in sorted(spent.items(), key=lambda kv: -kv[1]):
        print(f"  matplotlib {label:12s} {t:6.2f} s  {100 * t / total:5.1f} %")
    print(f"  matplotlib in all    {mpl:6.2f} s  {100 * mpl / total:5.1f} %")
    print(f"  our code and pandas  {total - mpl:6.2f} s  {100 * (total - mpl) / total:5.1f} %")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--stations", type=int, default=300)
    p.add_argument("--times", type=int, default=8760)
    p.add_argument("--share-stations", type=int, default=20)
    p.add_argument("--tmp", default="/tmp")
    a = p.parse_args()

    for dtype in (np.float64, np.float32):
        data = make_data(a.stations, a.times, dtype=dtype)
        drawn = []
        restore = record_lines(drawn)
        try:
            t_ours, _ = timed(ours_regional, data, drawn)
        finally:
            restore()
        t_ref, reference = timed(library_regional, data)
        compare(drawn, reference)
        print(f"regional step at {a.stations} stations x {a.times} times x 3 experiments, "
              f"{np.dtype(dtype).name}: ours {t_ours:.2f} s (figure drawn, not saved), "
              f"library aggregates {t_ref:.2f} s, ratio {t_ref / t_ours:.1f}x "
              f"(equal results, bit for bit)")
        del data, drawn, reference
    matplotlib_share(a.share_stations, a.times, a.tmp)


if __name__ == "__main__":
    main()
