"""Observation loader on 64 CSV files of 50,000 rows: 8 worker threads against one.

    PYTHONPATH=build/dev/pkg python benchmarks/bench_stationfeed.py [--files 64] [--rows 50000]

Prints both times (best of --repeat rounds, measured alternately in one run), their ratio and
the core count.  Then it profiles one file's load step by step and measures, for each step,
how much of its time another thread could run Python, that is how much of it leaves the
interpreter lock free: the steps that hold the lock bound the ratio, whatever the core count.
A plain-Python loader doing the same steps on the same pool shows what our own code adds.
"""
import argparse
import contextlib
import io
import os
import shutil
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import xarray as xr

from kvelo.py import stationfeed, style

START = pd.Timestamp("2024-01-01")
END = pd.Timestamp("2024-12-31 23:59:59")
NETWORK = "hourly"


def write_tree(base, n_files, n_rows):
    rng = np.random.default_rng(1)
    times = START + pd.to_timedelta(np.arange(n_rows) * 10, unit="min")
    sites = np.array([f"ST{i:03d}" for i in range(50)])
    df = pd.DataFrame({
        "DATEON": times.strftime("%Y-%m-%d %H:%M:%S"),
        "SITE_ID": sites[rng.integers(0, len(sites), n_rows)],
        "LATITUDE": rng.uniform(35, 60, n_rows).round(4),
        "LONGITUDE": rng.uniform(-10, 30, n_rows).round(4),
        "OZONE": rng.gamma(4.0, 8.0, n_rows).round(2),
        "NO2": rng.gamma(2.0, 5.0, n_rows).round(2),
        "PM25": rng.gamma(2.0, 6.0, n_rows).round(2),
    })
    version_dir = os.path.join(base, NETWORK, "latest")
    first = None
    for i in range(n_files):
        sub = os.path.join(version_dir, f"group{i % 4}")
        os.makedirs(sub, exist_ok=True)
        path = os.path.join(sub, f"obs_{(START + pd.Timedelta(days=i)).strftime('%Y%m%d')}.csv")
        if first is None:
            df.to_csv(path, index=False)
            first = path
        else:
            shutil.copyfile(first, path)
    return first


def timed_load(base, workers):
    t0 = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()):  # the progress bar
        result = stationfeed.load_observations(base, START, END, NETWORK, "latest",
                                               max_workers=workers)
    return time.perf_counter() - t0, result


# ---- the same steps in plain Python, for the profile and the comparison ----

def steps(path):
    """One file's load, step by step: (name, callable) with each step's input prepared."""
    state = {}
    mapping = style.get_variable_mapping(data_type=NETWORK)
    coords = mapping["coords"]
    t, lat, lon = coords["time"], coords["lat"], coords["lon"]

    def read():
        state["df"] = pd.read_csv(path)

    def parse_times():
        df = state["df"]
        df[t] = pd.to_datetime(df[t], format=mapping["time_format"], errors="coerce")

    def window():
        df = state["df"]
        state["df"] = df[(df[t] >= START) & (df[t] <= END)]

    def to_dataset():
        ds = xr.Dataset.from_dataframe(state["df"].set_index(t))
        state["ds"] = ds.set_coords([lat, lon])

    return [("read_csv", read), ("to_datetime", parse_times), ("date window", window),
            ("from_dataframe", to_dataset)]


def plain_load(item):
    _, path = item
    for _, step in steps(path):
        step()
    return path


def plain_pool(paths, workers):
    t0 = time.perf_counter()
    with ThreadPoolExecutor(max_workers=workers) as pool:
        list(pool.map(plain_load, [(None, p) for p in paths]))
    return time.perf_counter() - t0


class LockProbe:
    """A thread that naps briefly and notes how long it then waits for the interpreter
    lock: while another thread holds the lock, the probe cannot return from its nap.
    Its waits over its own time give the share of time the lock was held."""

    NAP = 0.0005

    def __init__(self):
        self.wait = 0.0
        self.span = 0.0
        self.overshoot = 0.0
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop:
            t0 = time.perf_counter()
            time.sleep(self.NAP)
            took = time.perf_counter() - t0
            self.wait += max(0.0, took - self.NAP - self.overshoot)
            self.span += took

    def __enter__(self):
        self._thread.start()
        # The nap's own overshoot with nothing else running (timer and scheduler).
        time.sleep(0.05)
        w0, s0 = self.wait, self.span
        time.sleep(0.3)
        n = (self.span - s0) / self.NAP
        self.overshoot = (self.wait - w0) / max(n, 1.0)
        return self

    def __exit__(self, *exc):
        self._stop = True
        self._thread.join()

    def held_during(self, fn):
        w0, s0 = self.wait, self.span
        fn()
        # A nap that spans the end of a step counts for the next one; over several
        # rounds of back-to-back steps this evens out.
        return self.wait - w0, self.span - s0


def profile(path, rounds=10):
    """Per step: seconds alone, and the share of its time that holds the lock."""
    alone = {}
    for _ in range(rounds):
        for name, step in steps(path):
            t0 = time.perf_counter()
            step()
            alone[name] = alone.get(name, 0.0) + time.perf_counter() - t0
    held = {}
    with LockProbe() as probe:
        for _ in range(rounds):
            for name, step in steps(path):
                w, s = probe.held_during(step)
                acc = held.setdefault(name, [0.0, 0.0])
                acc[0] += w
                acc[1] += s
    return [(name, alone[name] / rounds, 1.0 - min(held[name][0] / held[name][1], 1.0))
            for name in alone]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--files", type=int, default=64)
    ap.add_argument("--rows", type=int, default=50_000)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()

    cores = os.cpu_count()
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else cores
    with tempfile.TemporaryDirectory() as base:
        first = write_tree(base, args.files, args.rows)
        paths = sorted(p for p in (os.path.join(d, f) for d, _, fs in os.walk(base) for f in fs))
        timed_load(base, 8)  # warm caches and imports

        t8, t1, tp8 = [], [], []
        for _ in range(args.repeat):
            secs, result = timed_load(base, 8)
            t8.append(secs)
            assert len(result) == args.files
            t1.append(timed_load(base, 1)[0])
            tp8.append(plain_pool(paths, 8))
        best8, best1, bestp = min(t8), min(t1), min(tp8)

        print(f"files: {args.files} x {args.rows} rows; cores: {cores} (usable: {usable}); "
              f"load average: {os.getloadavg()[0]:.2f}")
        print(f"load_observations, max_workers=8: {best8:.3f} s   (rounds: "
              + ", ".join(f"{t:.3f}" for t in t8) + ")")
        print(f"load_observations, max_workers=1: {best1:.3f} s   (rounds: "
              + ", ".join(f"{t:.3f}" for t in t1) + ")")
        print(f"ratio (1 worker / 8 workers): {best1 / best8:.2f}x")
        print(f"plain-Python loader, same steps, 8 threads: {bestp:.3f} s "
              f"(ours / plain: {best8 / bestp:.2f})")

        print("\nOne file's load, step by step (single thread):")
        rows = profile(first)
        total = sum(secs for _, secs, _ in rows)
        held = sum(secs * (1.0 - free) for _, secs, free in rows)
        for name, secs, free in rows:
            print(f"  {name:<15} {secs * 1000:8.1f} ms  lock free {free * 100:5.1f}%")
        print(f"  {'total':<15} {total * 1000:8.1f} ms  lock held {held / total * 100:5.1f}%")
        bound = min(usable, total / held) if held > 0 else usable
        print(f"bound on the ratio from the held share and {usable} usable cores: {bound:.2f}x")


if __name__ == "__main__":
    sys.exit(main())
