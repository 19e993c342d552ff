"""Figures and tables of matched files.

Times process_time_series, process_bias_plot and process_scatter_plot against
the same steps written plainly in Python with pandas and matplotlib, in the
same run, on matched CSV files of an observation and three experiments
(300 stations x 365 daily values).  The difference is what our own code costs;
the split of the plain run shows where a call spends its time (loading the
files, the join, drawing and saving).

    PYTHONPATH=build/dev/pkg python benchmarks/bench_matched.py [--stations 300] [--days 365]
                                                              [--natural-earth DIR]

The bias maps need Natural Earth coastlines and borders: a local copy under DIR
(shapefiles/natural_earth/...).  The benchmark never downloads them; without
them it times the tables and the scatter plots only.
"""
import argparse
import logging
import tempfile
import time
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import cartopy  # noqa: E402
import cartopy.crs as ccrs  # noqa: E402
import cartopy.feature as cfeature  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from kvelo.py import matched, plotting  # noqa: E402

EXPERIMENTS = ("exp1", "exp2", "exp3")
ARGS = dict(region="EU", var="O3", time_avg="daily")


def write_files(folder, stations, days, seed=1):
    rng = np.random.default_rng(seed)
    times = pd.date_range("2023-01-01", periods=days, freq="D").strftime("%Y-%m-%d")
    sid = np.repeat([f"ST{i:04d}" for i in range(stations)], days)
    base = pd.DataFrame({"station_id": sid, "time": np.tile(times, stations),
                         "lat": np.repeat(rng.uniform(36, 60, stations), days),
                         "lon": np.repeat(rng.uniform(-8, 28, stations), days)})
    obs = rng.normal(35, 8, len(base))
    paths = {}
    for k, name in enumerate(("obs",) + EXPERIMENTS):
        values = obs if name == "obs" else obs + rng.normal(k, 4, len(base))
        paths[name] = str(folder / f"matched_{name}.csv")
        base.assign(O3=values).to_csv(paths[name], index=False)
    return paths


class Clock:
    """Seconds spent per labelled step of the plain formulation."""

    def __init__(self):
        self.spent = {}

    def step(self, label, fn, *args, **kwargs):
        t0 = time.perf_counter()
        result = fn(*args, **kwargs)
        self.spent[label] = self.spent.get(label, 0.0) + time.perf_counter() - t0
        return result


def plain_tables(obs_file, model_files, region, var, time_avg, output_base, clock):
    clock.step("load", matched.load_matched_data, obs_file)
    for exp, path in model_files.items():
        df = clock.step("load", matched.load_matched_data, path)
        clock.step("write", df.to_csv, f"{output_base}_{region}_{var}_{time_avg}_{exp}_mod.csv",
                   index=False)


def plain_figures(kind, obs_file, model_files, region, var, time_avg, output_base, formats,
                  clock):
    obs = clock.step("load", matched.load_matched_data, obs_file)
    for exp, path in model_files.items():
        mod = clock.step("load", matched.load_matched_data, path)
        merged = clock.step("join", pd.merge, obs, mod, on=["station_id", "time"],
                            suffixes=("_obs", "_mod"))

        def draw():
            if kind == "BIAS":
                merged["bias"] = merged[f"{var}_mod"] - merged[f"{var}_obs"]
                plt.figure(figsize=(10, 6))
                ax = plt.axes(projection=ccrs.PlateCarree())
                sc = ax.scatter(merged["lon_obs"], merged["lat_obs"], c=merged["bias"],
                                cmap="RdBu_r", vmin=-50, vmax=50, s=50, edgecolor="black")
                ax.add_feature(cfeature.COASTLINE)
                ax.add_feature(cfeature.BORDERS, linestyle=":")
                ax.gridlines(draw_labels=True)
                plt.colorbar(sc, label=f"Bias ({var})")
                ax.set_title(f"Bias {exp} - {var} - {region} ({time_avg})")
            else:
                plt.figure(figsize=(8, 8))
                plt.scatter(merged[f"{var}_obs"], merged[f"{var}_mod"], edgecolors="black",
                            alpha=0.7)
                m = merged[f"{var}_obs"].max()
                plt.plot([0, m], [0, m], "k--")
                plt.xlabel("Observation")
                plt.ylabel("Model")
                plt.grid(True)
                plt.title(f"Scatter {exp} - {var} - {region} ({time_avg})")
            plt.tight_layout()

        clock.step("draw", draw)
        for fmt in formats:
            clock.step("save", plt.savefig,
                       f"{output_base}_{region}_{var}_{time_avg}_{kind}_{exp}.{fmt}")
        plt.close()


def forbid_downloads():
    from cartopy.io import Downloader, shapereader

    def refuse(self, target_path, format_dict):
        raise RuntimeError(f"no download in a benchmark: {target_path}")

    for downloader in (Downloader, shapereader.NEShpDownloader):
        downloader.acquire_resource = refuse


def best_of(repeat, fn):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stations", type=int, default=300)
    parser.add_argument("--days", type=int, default=365)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--natural-earth", metavar="DIR")
    args = parser.parse_args()
    logging.disable(logging.INFO)
    forbid_downloads()
    if args.natural_earth:
        cartopy.config["pre_existing_data_dir"] = Path(args.natural_earth).resolve()

    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        paths = write_files(folder, args.stations, args.days)
        obs_file = paths["obs"]
        models = {exp: paths[exp] for exp in EXPERIMENTS}
        base = str(folder / "out")
        print(f"{args.stations} stations x {args.days} days, {len(EXPERIMENTS)} experiments, "
              f"best of {args.repeat}")
        print(f"{'function':24s} {'ours (s)':>9s} {'plain (s)':>10s} {'ratio':>6s}   "
              "plain split: load / join / draw / write+save")
        cases = [
            ("process_time_series",
             lambda: plotting.process_time_series(obs_file, models, **ARGS, output_base=base),
             lambda clock: plain_tables(obs_file, models, **ARGS, output_base=base,
                                        clock=clock)),
            ("process_scatter_plot",
             lambda: plotting.process_scatter_plot(obs_file, models, **ARGS, output_base=base,
                                                   save_formats=["png"]),
             lambda clock: plain_figures("SCATTER", obs_file, models, **ARGS, output_base=base,
                                         formats=["png"], clock=clock)),
            ("process_bias_plot",
             lambda: plotting.process_bias_plot(obs_file, models, **ARGS, output_base=base,
                                                save_formats=["png"]),
             lambda clock: plain_figures("BIAS", obs_file, models, **ARGS, output_base=base,
                                         formats=["png"], clock=clock)),
        ]
        if not args.natural_earth:
            cases = cases[:2]
            print("(bias maps left out: no --natural-earth DIR)")
        for name, ours, plain in cases:
            t_ours = best_of(args.repeat, ours)
            clock = Clock()
            t_plain = best_of(args.repeat, lambda: plain(clock))
            total = sum(clock.spent.values())
            split = " / ".join(f"{100 * clock.spent.get(k, 0.0) / total:4.1f}%"
                               for k in ("load", "join", "draw"))
            rest = clock.spent.get("write", 0.0) + clock.spent.get("save", 0.0)
            print(f"{name:24s} {t_ours:9.3f} {t_plain:10.3f} {t_ours / t_plain:6.3f}   "
                  f"{split} / {100 * rest / total:4.1f}%")


if __name__ == "__main__":
    main()
