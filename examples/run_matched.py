"""Draws the matched-data figures from generated matched files and a model field.

    PYTHONPATH=build/dev/pkg python examples/run_matched.py [OUTPUT_DIR] [--formats png pdf]
                                                          [--natural-earth DIR]

Writes into OUTPUT_DIR (default examples/out, created when missing): the
matched files of an observation and two experiments (matched_obs.csv,
matched_ctrl.csv, matched_test.csv; 36 stations, 14 days of ozone), the
processed model tables, a bias map and a scatter plot per experiment, a map of
a generated ozone field with the stations on top, and the log run.log.

The maps need cartopy's Natural Earth coastlines and borders, which cartopy
downloads on first use.  Where it cannot, the script says so in one line,
draws everything that is not a map and still exits 0.  A local copy of the
Natural Earth shapefiles (DIR/shapefiles/natural_earth/{physical,cultural}/)
works offline: pass --natural-earth DIR (it becomes
cartopy.config["pre_existing_data_dir"]).
"""

import sys
import time
import urllib.error
from pathlib import Path

import numpy as np
import pandas as pd
import xarray as xr

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:  # also when loaded from elsewhere, as the tests do
    sys.path.insert(0, str(HERE))

from example_support import command_line, list_written, offline_line  # noqa: E402

REGION = "EU"
REGION_BOUNDS = (35.0, 62.0, -10.0, 30.0)  # lat_min, lat_max, lon_min, lon_max
VARIABLE = "O3"
TIME_AVG = "daily"
EXPERIMENTS = ("ctrl", "test")
START, END = "2024-06-01", "2024-06-14"

# A download that cannot happen ends in one of these (URLError wraps most).
DOWNLOAD_ERRORS = (urllib.error.URLError, ConnectionError, TimeoutError)


def make_stations(n=36, seed=3):
    """Stations scattered over Europe, on a jittered 6 x 6 grid."""
    rng = np.random.default_rng(seed)
    side = int(np.ceil(np.sqrt(n)))
    lat_min, lat_max, lon_min, lon_max = REGION_BOUNDS
    stations = []
    for i in range(n):
        row, col = divmod(i, side)
        lat = lat_min + 2 + (lat_max - lat_min - 4) * (row + rng.uniform(0.2, 0.8)) / side
        lon = lon_min + 2 + (lon_max - lon_min - 4) * (col + rng.uniform(0.2, 0.8)) / side
        stations.append((f"ST{i + 1:02d}", round(lat, 2), round(lon, 2)))
    return stations


def ozone_field(lat, lon, day):
    """Ozone in ppb: more in the south and east, a weekly swing."""
    return 28 + 0.6 * (62 - lat) + 0.25 * (lon + 10) + 5 * np.sin(2 * np.pi * day / 7)


def make_matched_records(stations, seed=5):
    """Matched records of the observation and of each experiment.  The control
    run is too high in the south and too low in the north; the test run is
    close to the observation with more scatter.  A few observations are
    missing, and the test run lacks the last two days at three stations."""
    rng = np.random.default_rng(seed)
    times = pd.date_range(START, END, freq="D")
    records = {"obs": [], **{exp: [] for exp in EXPERIMENTS}}
    for sid, lat, lon in stations:
        for day, t in enumerate(times):
            truth = ozone_field(lat, lon, day)
            obs = truth + rng.normal(0, 4)
            if rng.uniform() < 0.05:
                obs = np.nan
            ctrl = truth + 1.6 * (50 - lat) + rng.normal(0, 3)
            test = truth + 2 + rng.normal(0, 6)
            base = {"station_id": sid, "time": t, "lat": lat, "lon": lon}
            records["obs"].append({**base, VARIABLE: obs})
            records["ctrl"].append({**base, VARIABLE: ctrl})
            if not (sid in ("ST05", "ST17", "ST29") and day >= len(times) - 2):
                records["test"].append({**base, VARIABLE: test})
    return records


def make_model_field():
    """One daily-mean ozone field on a 0.5 degree grid, with its time step."""
    lat = np.arange(REGION_BOUNDS[0], REGION_BOUNDS[1] + 0.25, 0.5)
    lon = np.arange(REGION_BOUNDS[2], REGION_BOUNDS[3] + 0.25, 0.5)
    lat2, lon2 = np.meshgrid(lat, lon, indexing="ij")
    ripple = 4 * np.sin(lon2 / 4.0) * np.cos(lat2 / 3.0)
    values = ozone_field(lat2, lon2, 3) + ripple
    data = xr.DataArray(values[np.newaxis].astype("float32"), dims=("time", "lat", "lon"),
                        attrs={"units": "ppb", "long_name": "ozone"})
    return xr.Dataset({VARIABLE: data},
                      coords={"time": [pd.Timestamp(START)], "lat": lat, "lon": lon})


def draw_maps(maps):
    """Runs the map calls in order; the first one that cannot get map data
    ends the maps with one line.  Returns whether all were drawn."""
    for draw in maps:
        try:
            draw()
        except DOWNLOAD_ERRORS as err:
            print(offline_line("Maps", f"{type(err).__name__}: {err}"))
            return False
    return True


def main(argv=None):
    args, out, begun = command_line(__doc__, argv)

    from kvelo.py.figdefaults import set_kvelo_plot_style
    from kvelo.py.matched import save_matched_data
    from kvelo.py.plotting import (process_bias_plot, process_model_map_plot,
                                   process_scatter_plot, process_time_series)
    from kvelo.py.runjournal import setup_logging

    setup_logging(str(out / "run.log"), debug=False)
    set_kvelo_plot_style()

    stations = make_stations()
    for name, records in make_matched_records(stations).items():
        save_matched_data(records, str(out / f"matched_{name}"), "csv")
    obs_file = str(out / "matched_obs.csv")
    model_files = {exp: str(out / f"matched_{exp}.csv") for exp in EXPERIMENTS}
    matched = dict(matched_obs_file=obs_file, matched_model_files=model_files, region=REGION,
                   var=VARIABLE, time_avg=TIME_AVG, output_base=str(out / "matched"))

    started = time.perf_counter()
    process_time_series(**matched, save_data_format="csv")
    process_scatter_plot(**matched, save_formats=args.formats)
    station_coords = [{"station_id": sid, "lat": lat, "lon": lon} for sid, lat, lon in stations]
    draw_maps([
        lambda: process_bias_plot(**matched, save_formats=args.formats),
        lambda: process_model_map_plot(
            make_model_field(), REGION, VARIABLE, "model", TIME_AVG, str(out / "field"),
            args.formats, START, END, REGION_BOUNDS, station_coords=station_coords,
            exp_name="ctrl"),
    ])
    took = time.perf_counter() - started

    list_written(out, begun, took)
    return 0


if __name__ == "__main__":
    sys.exit(main())
