"""Statistics of kvelo.py.statistics against the plain pandas/numpy/scipy formulation.

    PYTHONPATH=build/dev/pkg python benchmarks/bench_statistics.py [--stations 300] [--times 8760]

Two steps, each timed in this run against the plain formulation of the same
steps written below: compute_regional_statistics on the station-wise
dictionary (collocated layout: lists of time stamps and of numpy scalars), and
a loop of compute_statistics_from_collocated_df over the stations' collocated
frames.  Prints both times, the ratio, the largest relative difference of the
tables and the peak traced memory (tracemalloc, measured in a separate run so
that tracing does not distort the times; the native kernel's buffers are numpy
arrays, so tracemalloc sees them).
"""
import argparse
import gc
import math
import time
import tracemalloc
import warnings

import numpy as np
import pandas as pd
from scipy.stats import pearsonr

from kvelo.py import statistics as st

VARIABLE = "O3"
EXPERIMENTS = ["base", "ctrl", "emis"]
STATS = ["R", "R2", "RMSE", "MB", "Bias", "STD_dev", "Mean", "Min", "Max", "Average", "Median"]


# ---- the plain formulation ------------------------------------------------------------

def plain_pearson_r(obs, mod):
    if len(obs) < 2 or len(mod) < 2:
        return np.nan
    return pearsonr(obs, mod)[0]


def plain_table(df, station_metadata, variable, experiments, tavg):
    obs_col = variable + "_obs"
    if obs_col not in df.columns:
        raise ValueError(f"Observation column '{obs_col}' not found in DataFrame.")
    rows = []
    for exp in experiments:
        mod_col = f"{variable}_{exp}"
        if mod_col not in df.columns:
            continue
        paired = df[["time", obs_col, mod_col]].dropna().copy()
        if len(paired) <= 2:
            row = {"Experiment": exp, "Count": len(paired)}
            row.update({k: np.nan for k in STATS})
        else:
            o, m = paired[obs_col].values, paired[mod_col].values
            r = plain_pearson_r(o, m)
            row = {"Experiment": exp, "R": r, "R2": np.nan if np.isnan(r) else r ** 2,
                   "RMSE": np.sqrt(np.mean((m - o) ** 2)), "MB": np.mean(m - o),
                   "Bias": np.mean(o - m), "STD_dev": np.std(o - m), "Mean": np.mean(m),
                   "Min": np.min(m), "Max": np.max(m), "Average": np.mean(m),
                   "Median": np.median(m), "Count": len(m)}
        for k in ("SID", "NAME", "LAT", "LON", "ELE"):
            row[k] = station_metadata.get(k)
        row["Variable"] = variable
        row["SDATE"] = station_metadata.get("SDATE")
        row["EDATE"] = station_metadata.get("EDATE")
        row["plAVG"] = tavg
        rows.append(row)
    return pd.DataFrame(rows)


def plain_table_with_obs(df, station_metadata, variable, experiments, tavg):
    table = plain_table(df, station_metadata, variable, experiments, tavg)
    obs_col = variable + "_obs"
    o = df[["time", obs_col]].dropna().copy()[obs_col].values
    if len(o) == 0:
        return table
    row = {"Experiment": "obs", "R": np.nan, "R2": np.nan, "RMSE": np.nan, "MB": np.nan,
           "Bias": np.nan, "STD_dev": np.std(o), "Mean": np.mean(o), "Min": np.min(o),
           "Max": np.max(o), "Average": np.mean(o), "Median": np.median(o), "Count": len(o)}
    for k in ("SID", "NAME", "LAT", "LON", "ELE"):
        row[k] = station_metadata.get(k)
    row.update(Variable=variable, SDATE=station_metadata.get("SDATE"),
               EDATE=station_metadata.get("EDATE"), plAVG=tavg)
    return pd.concat([pd.DataFrame([row]), table], ignore_index=True)


def plain_regional(data, variable, tavg):
    obs_key, prefix = variable + "_obs", variable + "_"
    blocks = []
    for station_data in data.values():
        times = pd.to_datetime(station_data["time"])
        if obs_key not in station_data:
            continue
        block = pd.DataFrame({"time": times, obs_key: station_data[obs_key]})
        for key in station_data:
            if key.startswith(prefix) and key != obs_key:
                block[key] = station_data[key]
        blocks.append(block)
    if not blocks:
        return pd.DataFrame()
    pool = pd.concat(blocks, axis=0, ignore_index=True)
    pool["time"] = pd.to_datetime(pool["time"])
    pool = pool.sort_values("time")
    keys = [c for c in pool.columns if c.startswith(prefix) and c != obs_key]
    meta = {"SID": "REGIONAL", "NAME": "Regional Mean", "LAT": np.nan, "LON": np.nan,
            "ELE": np.nan, "SDATE": pool["time"].min().strftime("%Y-%m-%d"),
            "EDATE": pool["time"].max().strftime("%Y-%m-%d")}
    return plain_table_with_obs(pool, meta, variable, [k[len(prefix):] for k in keys], tavg)


# ---- data ------------------------------------------------------------------------------

def make_data(n_stations, n_times, seed=0):
    """Station-wise dictionary and the stations' collocated frames."""
    rng = np.random.default_rng(seed)
    times = pd.date_range("2023-01-01", periods=n_times, freq="h")
    data, frames = {}, []
    for s in range(n_stations):
        sid = f"ST{s:03d}"
        season = 30 + 10 * np.sin(np.arange(n_times) * 2 * np.pi / n_times + s)
        obs = season + rng.normal(0, 5, n_times)
        obs[rng.random(n_times) < 0.1] = np.nan
        cols = {f"{VARIABLE}_obs": obs}
        for k, exp in enumerate(EXPERIMENTS):
            mod = season * (0.9 + 0.1 * k) + rng.normal(0, 6, n_times)
            mod[rng.random(n_times) < 0.02] = np.nan
            cols[f"{VARIABLE}_{exp}"] = mod
        station_data = {"site_id": sid, "site_name": f"Station {s}", "lat": 45.0, "lon": 8.0,
                        "elevation_m": 200.0, "time": list(times), "n_valid": n_times}
        station_data.update({k: list(v) for k, v in cols.items()})  # numpy scalars
        data[sid] = station_data
        frame = pd.DataFrame({"time": times, **cols})
        meta = {"SID": sid, "NAME": station_data["site_name"], "LAT": 45.0, "LON": 8.0,
                "ELE": 200.0, "SDATE": times[0].strftime("%Y-%m-%d"),
                "EDATE": times[-1].strftime("%Y-%m-%d")}
        frames.append((frame, meta))
    return data, frames


# ---- measuring ---------------------------------------------------------------------------

def largest_difference(a, b):
    """Largest relative difference of the numeric statistics; inf when the NaN differ."""
    if isinstance(a, list):
        a, b = pd.concat(a, ignore_index=True), pd.concat(b, ignore_index=True)
    assert list(a.columns) == list(b.columns) and len(a) == len(b)
    worst = 0.0
    for col in STATS + ["Count"]:
        x, y = a[col].to_numpy(float), b[col].to_numpy(float)
        if not np.array_equal(np.isnan(x), np.isnan(y)):
            return math.inf
        ok = ~np.isnan(x)
        scale = np.maximum(np.abs(y[ok]), 1e-300)
        if ok.any():
            worst = max(worst, float(np.max(np.abs(x[ok] - y[ok]) / scale)))
    return worst


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
    diff = largest_difference(r_ours, r_plain)
    m_ours, m_plain = traced_peak(ours), traced_peak(plain)
    print(f"{title}")
    print(f"  kvelo.py: {t_ours:8.3f} s   plain: {t_plain:8.3f} s   "
          f"ratio: {t_plain / t_ours:6.1f}x")
    print(f"  largest relative difference: {diff:.3g}")
    print(f"  peak traced memory  kvelo.py: {m_ours / 2**20:8.1f} MiB   plain: "
          f"{m_plain / 2**20:8.1f} MiB   ours/plain: {m_ours / m_plain:5.2f}")
    return t_plain / t_ours, diff, m_ours / m_plain


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--stations", type=int, default=300)
    ap.add_argument("--times", type=int, default=8760)
    ap.add_argument("--repeat", type=int, default=3, help="best of this many runs")
    args = ap.parse_args()
    warnings.simplefilter("ignore")
    print(f"{args.stations} stations x {args.times} times x {len(EXPERIMENTS)} experiments")
    t0 = time.perf_counter()
    data, frames = make_data(args.stations, args.times)
    # The dictionary holds about ten million objects; freezing them keeps the
    # collector's passes over them (which both formulations would trigger, at
    # random moments) out of the timings.
    gc.collect()
    gc.freeze()
    print(f"  (data built in {time.perf_counter() - t0:.1f} s; gc.freeze() after building)")

    report("compute_regional_statistics (station-wise dictionary)",
           lambda: st.compute_regional_statistics(data, VARIABLE, "hourly"),
           lambda: plain_regional(data, VARIABLE, "hourly"), args.repeat)

    def loop(fn):
        return lambda: [fn(df=f, station_metadata=m, variable=VARIABLE, experiments=EXPERIMENTS,
                           tavg="hourly") for f, m in frames]

    report("compute_statistics_from_collocated_df, loop over the stations",
           loop(st.compute_statistics_from_collocated_df), loop(plain_table), args.repeat)


if __name__ == "__main__":
    main()
