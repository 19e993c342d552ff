"""Station table intake: the collocated build of process_time_series_plot_from_file
against the per-station boolean-selection formulation (one comparison over the
whole table per station), at two station counts.

    PYTHONPATH=build/dev/pkg python benchmarks/bench_intake.py [--stations 300] [--times 8760]
"""
import argparse
import gc
import math
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

from kvelo.py import chronoplex

# The formulation is the one the tests hold the intake to.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from support.reference import reference_collocated  # noqa: E402

EXPERIMENTS = ["exp1", "exp2", "exp3"]


def make_table(stations, times, seed=0):
    """One row per station and hour, rows interleaved across stations (hour-major)."""
    rng = np.random.default_rng(seed)
    n = stations * times
    stamps = pd.date_range("2023-01-01", periods=times, freq="h")
    ids = np.array([f"ST{i:04d}" for i in range(stations)], dtype=object)
    table = {
        "site_id": np.tile(ids, times),
        "time": np.repeat(stamps.values, stations),
        "site_name": np.tile(np.array([f"Station {i}" for i in range(stations)], dtype=object),
                             times),
        "lat": np.tile(rng.uniform(35, 70, stations), times),
        "lon": np.tile(rng.uniform(-10, 30, stations), times),
        "elevation_m": np.tile(rng.uniform(0, 2000, stations), times),
        "n_valid": np.tile(np.full(stations, times), times),
    }
    obs = rng.normal(30, 8, n)
    obs[rng.random(n) < 0.05] = np.nan
    table["O3_obs"] = obs
    for k, e in enumerate(EXPERIMENTS):
        table[f"O3_{e}"] = obs + rng.normal(k, 3, n)
    return pd.DataFrame(table)


def ours(df, variable):
    got = {}
    chronoplex.read_data = lambda *a, **k: (df, {})
    chronoplex.plot_station_timeseries_collocation = lambda **kw: got.update(kw)
    chronoplex.plot_station_timeseries_bias3 = lambda **kw: None
    chronoplex.extend_process_time_series_with_stats = lambda **kw: None
    chronoplex.process_time_series_plot_from_file("table", "csv", "", "out/x", [], {}, "",
                                                  variable, "hourly", False, True)
    return got["data"]


def timed(f, *args):
    gc.collect()
    t0 = time.perf_counter()
    out = f(*args)
    return time.perf_counter() - t0, out


def same(a, b):
    assert list(a) == list(b)
    for sid in a:
        assert list(a[sid]) == list(b[sid])
        for k, v in a[sid].items():
            w = b[sid][k]
            assert type(v) is type(w), (sid, k)
            if isinstance(v, list):
                assert len(v) == len(w) and all(type(x) is type(y) for x, y in zip(v, w))
                x = np.asarray(v)
                y = np.asarray(w)
                assert np.array_equal(x, y, equal_nan=x.dtype.kind == "f"), (sid, k)
            else:
                assert v == w or (isinstance(v, float) and math.isnan(v) and math.isnan(w))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--stations", type=int, default=300)
    p.add_argument("--times", type=int, default=8760)
    a = p.parse_args()
    results = {}
    for stations in (a.stations // 2, a.stations):
        df = make_table(stations, a.times)
        # Best of three for ours (the machine is shared); one run of the slow formulation.
        t_ours, got = timed(ours, df, "O3")
        for _ in range(2):
            t, _ = timed(ours, df, "O3")
            t_ours = min(t_ours, t)
        t_ref, want = timed(reference_collocated, df, "O3")
        same(got, want)
        del got, want
        results[stations] = (t_ours, t_ref)
        print(f"{stations} stations x {a.times} times ({len(df)} rows): "
              f"ours {t_ours:.2f} s, boolean selection {t_ref:.2f} s, "
              f"ratio {t_ref / t_ours:.1f}x (identical dictionaries)")
    (o1, r1), (o2, r2) = results.values()
    print(f"doubling the stations: ours x{o2 / o1:.2f}, boolean selection x{r2 / r1:.2f}")


if __name__ == "__main__":
    main()
