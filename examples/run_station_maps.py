"""Draws the two station maps of a small generated station table.

    PYTHONPATH=build/dev/pkg python examples/run_station_maps.py [OUTPUT_DIR] [--formats png pdf]
                                                               [--natural-earth DIR]

Writes into OUTPUT_DIR (default examples/out, created when missing): the
station table O3_stations.csv (forty stations, four of which share their
position with another, July mean ozone observed and from three experiments),
the location map O3_stations.<fmt> with numbered stations, the value map
O3_stations_val.<fmt>, and the log run.log.

The maps draw coastlines and borders from cartopy's Natural Earth files, which
cartopy downloads on first use.  Where it can get them neither locally nor by
download, one line says what to do, the maps are left out, the rest is
written and the script still exits 0.  A local copy of the Natural Earth
shapefiles (DIR/shapefiles/natural_earth/{physical,cultural}/) works offline:
pass --natural-earth DIR (it becomes cartopy.config["pre_existing_data_dir"]).
"""

import logging
import sys
from pathlib import Path

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:  # also when loaded from elsewhere, as the tests do
    sys.path.insert(0, str(HERE))

from example_support import command_line, list_written, offline_line  # noqa: E402

REGION_BOUNDS = (34.0, 62.0, -12.0, 30.0)  # min_lat, max_lat, min_lon, max_lon

POSITIONS = [
    ("Paris", 48.86, 2.35), ("Lyon", 45.76, 4.84), ("Marseille", 43.30, 5.37),
    ("Bordeaux", 44.84, -0.58), ("Nantes", 47.22, -1.55), ("Madrid", 40.42, -3.70),
    ("Barcelona", 41.39, 2.17), ("Lisbon", 38.72, -9.14), ("Seville", 37.39, -5.98),
    ("Rome", 41.90, 12.50), ("Milan", 45.46, 9.19), ("Naples", 40.85, 14.27),
    ("Berlin", 52.52, 13.40), ("Hamburg", 53.55, 9.99), ("Munich", 48.14, 11.58),
    ("Frankfurt", 50.11, 8.68), ("Vienna", 48.21, 16.37), ("Prague", 50.08, 14.44),
    ("Warsaw", 52.23, 21.01), ("Krakow", 50.06, 19.94), ("Budapest", 47.50, 19.04),
    ("Amsterdam", 52.37, 4.90), ("Brussels", 50.85, 4.35), ("London", 51.51, -0.13),
    ("Manchester", 53.48, -2.24), ("Dublin", 53.35, -6.26), ("Edinburgh", 55.95, -3.19),
    ("Copenhagen", 55.68, 12.57), ("Oslo", 59.91, 10.75), ("Stockholm", 59.33, 18.07),
    ("Zurich", 47.38, 8.54), ("Athens", 37.98, 23.73), ("Bucharest", 44.43, 26.10),
    ("Sofia", 42.70, 23.32), ("Belgrade", 44.79, 20.45), ("Zagreb", 45.81, 15.98),
]
# A second monitor at the very position of an existing one (a roadside and a
# background inlet on one mast): the location map shows one point for both.
SHARED = ["Paris", "Milan", "Berlin", "London"]


def make_table(seed=5):
    """One row per station: July mean ozone, higher in the south, observed and
    from three experiments; one station has no observation."""
    rng = np.random.default_rng(seed)
    places = POSITIONS + [(name, lat, lon) for name, lat, lon in POSITIONS if name in SHARED]
    rows = []
    for i, (name, lat, lon) in enumerate(places):
        kind = "roadside" if i >= len(POSITIONS) else "background"
        obs = 58.0 - 0.8 * (lat - 36.0) + rng.normal(0, 3) - (9.0 if kind == "roadside" else 0.0)
        rows.append({
            "site_id": f"ST{i + 1:02d}", "time": "2024-07-01", "site_name": f"{name} {kind}",
            "lat": lat, "lon": lon, "O3_obs": obs,
            "O3_ctrl": obs + 4.0 + rng.normal(0, 2), "O3_nudged": obs + rng.normal(0, 1),
            "O3_base": obs - 5.0 + rng.normal(0, 3),
        })
    table = pd.DataFrame(rows)
    table.loc[table["site_name"] == "Warsaw background", "O3_obs"] = np.nan
    return table


def natural_earth_problem():
    """None when cartopy has (or can download) the Natural Earth files this
    map needs, else the reason it cannot."""
    import cartopy.feature as cfeature
    from cartopy.io import shapereader

    min_lat, max_lat, min_lon, max_lon = REGION_BOUNDS
    extent = (min_lon, max_lon, min_lat, max_lat)
    for feature in (cfeature.COASTLINE, cfeature.BORDERS):
        scale = feature.scaler.scale_from_extent(extent)
        try:
            shapereader.natural_earth(resolution=scale, category=feature.category,
                                      name=feature.name)
        except Exception as e:  # whatever stops the download: no network, a proxy, a full disk
            return f"ne_{scale}_{feature.name}: {type(e).__name__}: {e}"
    return None


def set_up_logging(log_path):
    from kvelo.py.runjournal import setup_logging

    setup_logging(str(log_path), debug=False)


def main(argv=None):
    args, out, begun = command_line(__doc__, argv)
    set_up_logging(out / "run.log")

    from kvelo.py.figdefaults import set_kvelo_plot_style
    from kvelo.py.geoplex import (station_location_map_plot_from_file,
                                  station_value_map_plot_from_file)

    set_kvelo_plot_style()

    # The io sibling reads units from "[unit]" in a CSV header.
    table_path = out / "O3_stations.csv"
    make_table().rename(columns=lambda c: f"{c} [ppb]" if c.startswith("O3_") else c).to_csv(
        table_path, index=False)

    problem = natural_earth_problem()
    if problem:
        print(offline_line("Station maps", problem))
    else:
        common = dict(data_file_base=str(table_path), data_format="csv", region="EU",
                      obs_type="background", region_bounds=REGION_BOUNDS,
                      plot_file_base=str(out / "O3_stations"), save_plot_formats=args.formats,
                      plot_title=None, start_date="2024-07-01", end_date="2024-07-31",
                      variable="O3", exp="ctrl")
        station_location_map_plot_from_file(**common)
        station_value_map_plot_from_file(time_avg="monthly", **common)

    list_written(out, begun)
    return 0


if __name__ == "__main__":
    sys.exit(main())
