"""Statistics of kvelo.py.statistics against the plain pandas/numpy/scipy formulation.

    PYTHONPATH=build/dev/pkg python benchmarks/bench_statistics.py [--stations 300] [--times 8760]

The input is what a collocated run computes statistics on: a station table
(one row per station and hour, rows interleaved across stations, 3
experiments) turned into the station-wise dictionary by the package's own
station table intake (chronoplex), whose lists hold numpy datetime64 stamps and
numpy float64 values.  Two steps, each timed in this run against the plain
formulation of the same step (the one the tests use, tests/support/reference.py):

- compute_regional_statistics on that dictionary;
- a loop of compute_statistics_from_collocated_df over the stations'
  collocated frames, built from the dictionary as the per-station statistics
  extension builds them.

Prints both times, the ratio, how many statistics fields differ from the
formulation's (bit for bit, NaN equal to NaN) with the largest relative
difference, whether the statistics files written from the two tables are the
same text, and the peak traced memory (tracemalloc, in a separate run so that
tracing does not distort the times).
"""
import argparse
import gc
import math
import time
import tracemalloc
import warnings

import sys
from pathlib import Path

import numpy as np
import pandas as pd

from bench_intake import ours as run_intake  # the intake with its callees stubbed
from kvelo.py import statistics as st

# The plain formulation is the one the tests hold the package to.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from support.reference import COLUMNS, ref_regional, ref_table  # noqa: E402

VARIABLE = "O3"
EXPERIMENTS = ["base", "ctrl", "emis"]
STATS = COLUMNS[1:12]  # the numeric fields, Count apart


# ---- data ------------------------------------------------------------------------------

def make_table(n_stations, n_times, seed=0):
    """One row per station and hour, rows interleaved across stations (hour-major)."""
    rng = np.random.default_rng(seed)
    n = n_stations * n_times
    stamps = pd.date_range("2023-01-01", periods=n_times, freq="h")
    ids = np.array([f"ST{i:04d}" for i in range(n_stations)], dtype=object)
    season = 30 + 10 * np.sin(np.arange(n_times) * 2 * np.pi / n_times)
    table = {
        "site_id": np.tile(ids, n_times),
        "time": np.repeat(stamps.values, n_stations),
        "site_name": np.tile(np.array([f"Station {i}" for i in range(n_stations)],
                                      dtype=object), n_times),
        "lat": np.tile(rng.uniform(35, 70, n_stations), n_times),
        "lon": np.tile(rng.uniform(-10, 30, n_stations), n_times),
        "elevation_m": np.tile(rng.uniform(0, 2000, n_stations), n_times),
        "n_valid": np.tile(np.full(n_stations, n_times), n_times),
    }
    obs = np.repeat(season, n_stations) + rng.normal(0, 5, n)
    obs[rng.random(n) < 0.1] = np.nan
    table[f"{VARIABLE}_obs"] = obs
    for k, exp in enumerate(EXPERIMENTS):
        mod = obs * (0.9 + 0.1 * k) + rng.normal(0, 6, n)
        mod[rng.random(n) < 0.02] = np.nan
        table[f"{VARIABLE}_{exp}"] = mod
    return pd.DataFrame(table)


def intake(table):
    """The station-wise dictionary that the station table intake builds from the table."""
    return run_intake(table, VARIABLE)


def station_frames(data):
    """Each station's collocated frame and metadata, as the per-station extension builds them."""
    frames = []
    obs_key, prefix = VARIABLE + "_obs", VARIABLE + "_"
    for sid, sd in data.items():
        frame = pd.DataFrame({"time": pd.to_datetime(sd["time"])})
        exps = [k[len(prefix):] for k in sd if k.startswith(prefix) and k != obs_key]
        for key in [obs_key] + [prefix + e for e in exps]:
            frame[key] = sd.get(key, [np.nan] * len(frame))
        meta = {"SID": sid, "NAME": sd.get("site_name", sid), "LAT": sd.get("lat", np.nan),
                "LON": sd.get("lon", np.nan), "ELE": sd.get("elevation_m", np.nan),
                "SDATE": frame["time"].min().strftime("%Y-%m-%d"),
                "EDATE": frame["time"].max().strftime("%Y-%m-%d")}
        frames.append((frame, meta, exps))
    return frames


# ---- measuring ---------------------------------------------------------------------------

def differences(a, b):
    """(fields that differ bit for bit, NaN equal to NaN; largest relative difference)."""
    if isinstance(a, list):
        a, b = pd.concat(a, ignore_index=True), pd.concat(b, ignore_index=True)
    assert list(a.columns) == list(b.columns) and len(a) == len(b)
    count, worst = 0, 0.0
    for col in STATS + ["Count"]:
        x, y = a[col].to_numpy(float), b[col].to_numpy(float)
        both_nan = np.isnan(x) & np.isnan(y)
        same = both_nan | (x.view(np.uint64) == y.view(np.uint64))
        count += int((~same).sum())
        if np.isnan(x[~both_nan]).any() or np.isnan(y[~both_nan]).any():
            worst = math.inf
            continue
        ok = ~both_nan
        if ok.any():
            scale = np.maximum(np.abs(y[ok]), 1e-300)
            worst = max(worst, float(np.max(np.abs(x[ok] - y[ok]) / scale)))
    return count, worst


def same_file_text(a, b):
    if isinstance(a, list):
        a, b = pd.concat(a, axis=0), pd.concat(b, axis=0)
    return a.to_csv(index=False) == b.to_csv(index=False)


def timed(fn, repeat):
    best, result = math.inf, None
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def traced_peak(fn):
    gc.collect()
    tracemalloc.start()
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    fn()
    peak = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    return peak


def report(title, ours, plain, repeat):
    t_ours, r_ours = timed(ours, repeat)
    t_plain, r_plain = timed(plain, repeat)
    count, worst = differences(r_ours, r_plain)
    text = "same" if same_file_text(r_ours, r_plain) else "DIFFERENT"
    m_ours, m_plain = traced_peak(ours), traced_peak(plain)
    print(f"{title}")
    print(f"  kvelo.py: {t_ours:8.3f} s   plain: {t_plain:8.3f} s   "
          f"ratio: {t_plain / t_ours:6.1f}x")
    print(f"  fields that differ: {count}   largest relative difference: {worst:.3g}   "
          f"statistics file text: {text}")
    print(f"  peak traced memory  kvelo.py: {m_ours / 2**20:8.1f} MiB   plain: "
          f"{m_plain / 2**20:8.1f} MiB   ours/plain: {m_ours / m_plain:5.2f}")
    return t_plain / t_ours, count, m_ours / m_plain


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--stations", type=int, default=300)
    ap.add_argument("--times", type=int, default=8760)
    ap.add_argument("--repeat", type=int, default=3, help="best of this many runs")
    args = ap.parse_args()
    warnings.simplefilter("ignore")
    print(f"{args.stations} stations x {args.times} times x {len(EXPERIMENTS)} experiments")
    t0 = time.perf_counter()
    data = intake(make_table(args.stations, args.times))
    frames = station_frames(data)
    first = next(iter(data.values()))
    kinds = {type(first["time"][0]).__name__, type(first[VARIABLE + "_obs"][0]).__name__}
    # The dictionary holds about ten million objects; freezing them keeps the
    # collector's passes over them (which both formulations would trigger, at
    # random moments) out of the timings.
    gc.collect()
    gc.freeze()
    print(f"  (dictionary from the station table intake, items {sorted(kinds)}; built in "
          f"{time.perf_counter() - t0:.1f} s; gc.freeze() after building)")

    report("compute_regional_statistics (station-wise dictionary)",
           lambda: st.compute_regional_statistics(data, VARIABLE, "hourly"),
           lambda: ref_regional(data, VARIABLE, "hourly", drop=False), args.repeat)

    def loop(fn):
        return lambda: [fn(f, m, VARIABLE, e, "hourly") for f, m, e in frames]

    report("compute_statistics_from_collocated_df, loop over the stations",
           loop(st.compute_statistics_from_collocated_df), loop(ref_table), args.repeat)


if __name__ == "__main__":
    main()
