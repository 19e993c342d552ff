"""Draws the figures gallery of the reference: one small PNG of each kind of
figure in docs/images/, made by the package's own functions from the
examples' generated data.

    PYTHONPATH=build/dev/pkg python docs/make_gallery.py [--natural-earth DIR]
                                                        [--only NAME ...] [--out DIR]

Every figure is drawn as a user would draw it: the shared plot style, the
package's function on a small generated table or matched file, its own file
name and resolution, into a temporary folder.  Each picture is then shrunk to
fit in 620 x 500 pixels and reduced to a small palette, so that the whole
gallery stays a few hundred KiB; the result replaces docs/images/<name>.png
(or goes to --out DIR).  --only draws just the named images.

The maps need cartopy's Natural Earth coastlines and borders.  Pass a local
copy with --natural-earth DIR (DIR/shapefiles/natural_earth/{physical,
cultural}/).  Without it the script writes a small hand-drawn set of European
coasts and borders into the temporary folder and draws with that; it never
downloads anything.
"""

import argparse
import contextlib
import sys
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd

DOCS = Path(__file__).resolve().parent
EXAMPLES = DOCS.parent / "examples"
TESTS = DOCS.parent / "tests"  # for the writer of the offline map data
for folder in (EXAMPLES, TESTS):
    if str(folder) not in sys.path:
        sys.path.insert(0, str(folder))

import run_collocated  # noqa: E402
import run_matched  # noqa: E402
import run_station_maps  # noqa: E402
from support.natural_earth import write_natural_earth  # noqa: E402

BOX = (620, 500)  # pixels: each picture fits in it
COLOURS = 64  # palette entries of each picture

VARIABLE = "O3"
STATIONS_SHOWN = 3  # station figures drawn for the per-station pictures


# ---- hand-drawn map data ------------------------------------------------------

# (lon, lat) in degrees: Europe's coasts and main land borders, coarse but
# recognisable, for maps drawn without a Natural Earth copy.
COASTLINES = [
    # Black Sea, the Balkans, Italy, Iberia, the Atlantic and North Sea coasts,
    # the Baltic and Scandinavia
    [(31.5, 46.6), (30.7, 46.4), (29.6, 45.3), (28.6, 44.2), (27.9, 43.2), (28.0, 42.0),
     (29.0, 41.2), (27.0, 40.9), (26.0, 40.8), (24.5, 40.9), (23.7, 40.3), (22.9, 40.6),
     (22.6, 39.8), (23.2, 39.0), (24.0, 38.2), (23.0, 37.9), (23.2, 36.5), (22.5, 36.4),
     (21.7, 36.8), (21.1, 37.8), (21.6, 38.3), (20.7, 38.9), (20.0, 39.7), (19.4, 40.4),
     (19.5, 41.8), (18.5, 42.4), (17.0, 43.2), (15.9, 43.6), (14.8, 44.6), (13.9, 44.8),
     (13.6, 45.6), (12.3, 45.4), (12.4, 44.5), (13.6, 43.5), (14.5, 42.3), (16.1, 41.9),
     (17.0, 41.1), (18.5, 40.1), (17.2, 40.5), (16.6, 39.8), (17.1, 39.0), (16.1, 38.0),
     (15.6, 38.3), (16.1, 39.4), (15.0, 40.3), (14.3, 40.8), (13.0, 41.2), (12.2, 41.8),
     (11.1, 42.4), (10.5, 43.0), (10.3, 43.9), (9.0, 44.4), (8.0, 43.9), (7.3, 43.7),
     (6.2, 43.1), (5.4, 43.3), (4.5, 43.5), (3.1, 43.1), (3.2, 42.0), (2.2, 41.4),
     (0.9, 41.0), (-0.3, 39.5), (0.2, 38.8), (-0.5, 38.3), (-0.8, 37.6), (-2.1, 36.7),
     (-4.4, 36.7), (-5.6, 36.0), (-6.3, 36.5), (-7.4, 37.2), (-8.9, 37.0), (-8.8, 38.5),
     (-9.4, 38.7), (-8.9, 40.2), (-8.7, 41.2), (-8.9, 42.2), (-9.3, 43.0), (-8.2, 43.7),
     (-5.7, 43.6), (-3.8, 43.5), (-1.8, 43.4), (-1.4, 44.6), (-1.2, 46.2), (-2.2, 47.2),
     (-4.4, 47.9), (-4.7, 48.4), (-3.0, 48.8), (-1.6, 48.7), (-1.9, 49.7), (-0.2, 49.3),
     (0.2, 49.7), (1.6, 50.3), (2.4, 51.05), (3.6, 51.4), (4.3, 52.1), (4.7, 52.9),
     (5.6, 53.4), (7.0, 53.5), (8.5, 53.6), (8.9, 54.0), (8.6, 55.0), (8.1, 55.5),
     (8.6, 57.1), (10.6, 57.7), (10.3, 56.2), (9.8, 55.0), (10.0, 54.5), (11.0, 54.0),
     (12.5, 54.4), (14.2, 53.9), (16.5, 54.5), (18.6, 54.7), (19.9, 54.9), (21.1, 55.7),
     (21.0, 56.9), (21.5, 57.5), (22.6, 57.7), (23.6, 57.1), (24.1, 57.0), (24.4, 57.9),
     (23.5, 58.4), (23.5, 59.2), (24.7, 59.45), (28.0, 59.5), (29.9, 59.9), (28.9, 60.2),
     (27.0, 60.5), (25.0, 60.2), (22.9, 59.9), (21.4, 60.8), (21.5, 61.5), (21.3, 63.0),
     (22.5, 64.0), (24.5, 65.0), (25.4, 65.5), (22.3, 65.8), (21.0, 64.6), (19.5, 63.5),
     (18.0, 62.8), (17.4, 61.6), (17.2, 60.7), (18.6, 60.2), (18.9, 59.4), (18.0, 59.3),
     (16.8, 58.6), (16.6, 57.4), (15.9, 56.1), (14.2, 55.4), (12.9, 55.5), (12.7, 56.2),
     (11.9, 57.7), (11.2, 58.9), (10.6, 59.9), (10.0, 59.0), (8.0, 58.1), (6.0, 58.5),
     (5.5, 59.3), (5.3, 60.4), (5.0, 61.6), (5.4, 62.5), (7.0, 63.0), (10.0, 64.0),
     (13.0, 66.0), (15.0, 68.5), (20.0, 70.0), (28.0, 71.0)],
    # Great Britain, Ireland, Corsica, Sardinia, Sicily, Crete, Zealand
    [(-5.7, 50.1), (-4.2, 50.4), (-1.4, 50.8), (1.4, 51.2), (0.9, 51.8), (1.7, 52.6),
     (0.3, 53.1), (0.1, 53.6), (-1.2, 54.6), (-1.6, 55.6), (-2.0, 55.9), (-2.5, 56.6),
     (-1.8, 57.5), (-3.5, 57.7), (-3.1, 58.6), (-5.0, 58.6), (-5.5, 57.5), (-5.7, 56.5),
     (-5.0, 55.8), (-4.9, 55.0), (-3.1, 54.9), (-3.2, 54.1), (-3.0, 53.4), (-4.6, 53.3),
     (-4.2, 52.6), (-5.2, 51.8), (-3.2, 51.4), (-4.2, 51.2), (-5.7, 50.1)],
    [(-6.0, 52.2), (-6.2, 53.3), (-5.8, 54.6), (-6.8, 55.2), (-8.2, 55.2), (-8.6, 54.3),
     (-10.0, 54.2), (-9.9, 53.4), (-9.3, 52.6), (-10.3, 52.0), (-9.6, 51.5), (-8.5, 51.7),
     (-7.0, 52.1), (-6.0, 52.2)],
    [(9.4, 43.0), (9.6, 42.2), (9.2, 41.4), (8.6, 41.7), (8.6, 42.4), (9.4, 43.0)],
    [(9.2, 41.2), (9.8, 40.5), (9.6, 39.2), (9.0, 39.0), (8.4, 39.0), (8.4, 40.6), (9.2, 41.2)],
    [(12.4, 38.0), (13.4, 38.2), (15.6, 38.3), (15.1, 37.4), (15.1, 36.7), (14.4, 36.8),
     (12.6, 37.6), (12.4, 38.0)],
    [(23.5, 35.6), (26.3, 35.3), (24.5, 34.9), (23.5, 35.3), (23.5, 35.6)],
    [(12.6, 56.0), (12.3, 55.3), (11.8, 54.9), (11.1, 55.3), (11.3, 55.7), (12.0, 56.0),
     (12.6, 56.0)],
    # North Africa and Anatolia
    [(-6.8, 34.0), (-5.9, 35.8), (-5.3, 35.9), (-2.9, 35.3), (-1.0, 35.7), (3.0, 36.8),
     (7.8, 37.0), (10.2, 37.3), (11.0, 36.9), (10.6, 35.8), (10.1, 34.3), (11.1, 33.3),
     (15.0, 32.4), (20.0, 32.2), (22.0, 32.9), (25.0, 31.7), (29.9, 31.2), (32.5, 31.2),
     (34.5, 31.5), (35.0, 33.0), (35.9, 35.5), (36.2, 36.6), (32.5, 36.1), (30.6, 36.8),
     (28.0, 36.7), (27.4, 37.9), (26.5, 38.4), (26.7, 39.5), (26.2, 40.1), (27.5, 40.4),
     (29.0, 40.9), (31.0, 41.2), (35.0, 42.0), (38.0, 40.9), (41.5, 41.5)],
]
BORDERS = [
    [(-1.8, 43.4), (0.7, 42.8), (1.7, 42.5), (3.2, 42.4)],
    [(-8.9, 41.9), (-8.1, 42.0), (-6.6, 41.9), (-6.9, 41.0), (-7.0, 39.7), (-7.3, 38.4),
     (-7.4, 37.2)],
    [(2.5, 51.1), (4.2, 50.3), (4.8, 50.0), (5.8, 49.5), (6.4, 49.5), (8.2, 49.0), (7.6, 47.6),
     (6.1, 46.4), (6.8, 46.0), (7.0, 45.3), (6.6, 44.5), (7.5, 43.8)],
    [(3.4, 51.4), (4.4, 51.4), (5.8, 51.2), (6.0, 50.8)],
    [(6.4, 49.5), (6.1, 50.3), (6.0, 50.8), (6.1, 51.9), (7.0, 52.2), (7.2, 53.3)],
    [(7.6, 47.6), (8.6, 47.8), (9.6, 47.5), (10.5, 47.6), (12.2, 47.7), (13.0, 47.5),
     (13.8, 48.7), (12.1, 50.3), (14.8, 51.0), (14.6, 52.6), (14.2, 53.9)],
    [(8.6, 54.9), (9.9, 54.8)],
    [(6.8, 46.0), (7.9, 45.9), (9.0, 45.8), (10.4, 46.6), (9.6, 47.5)],
    [(10.4, 46.6), (12.4, 47.0), (13.7, 46.5), (16.1, 46.8)],
    [(13.8, 48.7), (15.0, 49.0), (16.9, 48.6), (17.1, 48.0), (16.5, 47.5), (16.1, 46.8)],
    [(13.7, 46.5), (13.6, 45.6)],
    [(14.8, 51.0), (16.5, 50.3), (18.8, 49.5), (22.6, 49.1), (23.8, 50.4), (23.6, 51.5),
     (23.6, 52.0), (23.5, 53.9), (22.8, 54.4)],
    [(16.9, 48.6), (18.8, 49.5)],
    [(17.1, 48.0), (18.8, 47.8), (22.1, 48.4), (22.9, 47.9), (21.0, 46.2), (18.9, 45.9),
     (16.1, 46.8)],
    [(13.6, 45.5), (15.3, 45.5), (16.1, 46.4)],
    [(15.8, 45.2), (19.0, 44.9), (19.4, 43.6), (18.5, 42.5)],
    [(22.9, 47.9), (24.9, 47.7), (26.6, 48.3), (28.2, 46.5), (28.2, 45.5), (29.6, 45.3)],
    [(21.0, 46.2), (21.4, 44.8), (22.7, 44.2), (25.5, 43.6), (27.7, 44.0), (28.6, 43.8)],
    [(22.7, 44.2), (22.4, 42.3), (23.0, 41.4), (26.1, 41.7), (28.0, 42.0)],
    [(20.0, 39.7), (21.0, 40.8), (23.0, 41.4)],
    [(26.1, 41.7), (26.0, 40.8)],
    [(11.4, 59.0), (12.5, 60.5), (12.2, 61.8), (12.0, 63.3), (14.5, 65.0), (16.5, 67.5),
     (20.0, 69.0)],
    [(24.1, 65.8), (23.5, 67.0), (20.6, 69.1)],
    [(21.0, 56.1), (24.0, 56.3), (26.6, 55.7)],
    [(22.8, 54.4), (24.0, 54.0), (25.7, 54.3), (26.6, 55.7)],
    [(24.3, 57.9), (25.5, 57.9), (27.3, 57.6), (27.8, 58.6), (28.0, 59.5)],
    [(27.8, 60.5), (29.5, 61.5), (31.5, 62.9)],
    [(23.6, 51.5), (26.0, 51.9), (30.5, 51.3), (32.0, 52.1)],
    [(26.6, 48.3), (27.8, 48.4), (29.2, 47.9), (30.0, 46.5), (28.9, 45.5)],
    [(-6.0, 54.0), (-7.3, 54.1), (-8.2, 54.5), (-7.3, 55.0)],
    [(-3.05, 55.0), (-2.0, 55.8)],
    [(-1.9, 35.1), (-1.7, 34.0)],
    [(8.6, 36.9), (8.3, 34.5)],
]


@contextlib.contextmanager
def map_data(natural_earth, work):
    """Points cartopy at a local Natural Earth copy, the given one or a
    hand-drawn one, and keeps any download inside the work folder; cartopy's
    settings are put back after."""
    import cartopy

    keys = ("pre_existing_data_dir", "data_dir")
    saved = {k: cartopy.config.get(k) for k in keys}
    if natural_earth:
        root = Path(natural_earth).resolve()
    else:
        root = write_natural_earth(work / "ne", COASTLINES, BORDERS)
    cartopy.config["pre_existing_data_dir"] = str(root)
    cartopy.config["data_dir"] = str(work / "cartopy")
    try:
        yield
    finally:
        cartopy.config.update(saved)


# ---- inputs, from the examples' generators ----------------------------------

def station_table():
    """The collocated example's table of daily ozone, without its units."""
    return run_collocated.make_table()


def station_dictionary(table, variable=VARIABLE):
    """The station-wise dictionary in its collocated layout, as the station
    table intake builds it: one entry per station, its rows in time order."""
    data = {}
    for sid in table["site_id"].unique():
        rows = table[table["site_id"] == sid].sort_values("time")
        first = rows.iloc[0]
        station = {"site_id": sid, "site_name": first["site_name"], "lat": first["lat"],
                   "lon": first["lon"], "elevation_m": first["elevation_m"],
                   "time": rows["time"].tolist(), "n_valid": np.nan}
        for col in rows.columns:
            if col.startswith(variable):
                station[col] = rows[col].tolist()
        data[sid] = station
    return data


def few_stations(table, n=STATIONS_SHOWN):
    keep = table["site_id"].unique()[:n]
    return table[table["site_id"].isin(keep)].reset_index(drop=True)


def write_table(table, path):
    from kvelo.py.io import save_data

    units = {c: "ppb" for c in table.columns if c.startswith(VARIABLE)}
    save_data(table, str(path), "csv", units)
    return str(path)


# ---- the figures ----------------------------------------------------------------
# Each producer draws into `work` and returns {gallery name: file it wrote}.

def collocated_road(work):
    from kvelo.py.chronoplex import process_time_series_plot_from_file

    table = station_table()
    path = write_table(table, work / "O3_daily.csv")
    process_time_series_plot_from_file(
        data_file_base=path, data_format="csv", model_files_dict="",
        plot_file_base=str(work / "O3_daily"), save_plot_formats=["png"],
        config=dict(run_collocated.CONFIG), plot_title="Daily ozone", variable=VARIABLE,
        tavg="daily", use_collocation=True)
    # Station figures are named by site name; the statistics charts by metric group.
    name = table.sort_values("site_id")["site_name"].iloc[0]
    return {
        "series_collocated_regional.png": work / "O3_daily_regional_mean_minmax.png",
        "series_collocated_station.png": work / f"O3_daily_{name}_logFalse_minmax.png",
        "bias3_regional.png": work / "O3_daily_regional_bias.png",
        "bias3_station.png": work / f"O3_daily_{name}_bias.png",
        "stats_correlation.png": work / "O3_daily_stats_plot_Correlation_Metrics.png",
        "stats_error.png": work / "O3_daily_stats_plot_Error_Metrics.png",
        "stats_descriptive.png": work / "O3_daily_stats_plot_Descriptive_Statistics.png",
    }


def plain_road(work, mode):
    from kvelo.py.chronoplex import process_time_series_plot_from_file

    # The plain road reads the observations only, from a column named as the variable.
    table = station_table().rename(columns={"O3_obs": VARIABLE})
    path = write_table(table.drop(columns=["O3_exp1", "O3_exp2"]), work / "O3_plain.csv")
    base = work / f"O3_{mode}"
    # More stations than the group size: a figure per group, or one of subplots.
    config = {**run_collocated.CONFIG, "plot_mode": mode, "station_plot_group_size": 6}
    process_time_series_plot_from_file(
        data_file_base=path, data_format="csv", model_files_dict="",
        plot_file_base=str(base), save_plot_formats=["png"], config=config,
        plot_title="Daily ozone", variable=VARIABLE, use_collocation=False)
    if mode == "grouped":  # 12 stations in groups of 6: the first of two
        return {"series_grouped.png": work / f"{base.name}_group_1of2gs6.png"}
    return {"series_subplots.png": work / f"{base.name}_subplots.png"}


def bias_variants(work):
    from kvelo.py import chronoplex

    data = station_dictionary(few_stations(station_table()))
    first = next(iter(data))
    made = {}
    for name, function in [("bias1", chronoplex.plot_station_timeseries_bias1),
                           ("bias2", chronoplex.plot_station_timeseries_bias2),
                           ("collocation", chronoplex.plot_station_bias_collocation)]:
        base = work / f"O3_{name}"
        function(dict(run_collocated.CONFIG), data, "", "csv", "", str(base), ["png"],
                 "Daily ozone", variable=VARIABLE, unit="ppb", tavg="daily")
        if name == "collocation":
            made["bias_collocation_station.png"] = work / f"{base.name}_{first}_bias.png"
        else:
            made[f"{name}_regional.png"] = work / f"{base.name}_regional_bias.png"
    return made


def matched_files(work):
    """The matched example's files: {name: path} of the observation and each experiment."""
    from kvelo.py.matched import save_matched_data

    stations = run_matched.make_stations()
    paths = {}
    for name, records in run_matched.make_matched_records(stations).items():
        save_matched_data(records, str(work / f"matched_{name}"), "csv")
        paths[name] = str(work / f"matched_{name}.csv")
    return stations, paths


def matched_arguments(work, paths, experiment):
    return dict(matched_obs_file=paths["obs"], matched_model_files={experiment: paths[experiment]},
                region=run_matched.REGION, var=VARIABLE, time_avg=run_matched.TIME_AVG,
                output_base=str(work / "matched"))


def bias_map(work):
    from kvelo.py.plotting import process_bias_plot

    _, paths = matched_files(work)
    process_bias_plot(**matched_arguments(work, paths, "ctrl"), save_formats=["png"])
    return {"bias_map.png": work / "matched_EU_O3_daily_BIAS_ctrl.png"}


def scatter(work):
    from kvelo.py.plotting import process_scatter_plot

    _, paths = matched_files(work)
    process_scatter_plot(**matched_arguments(work, paths, "test"), save_formats=["png"])
    return {"scatter.png": work / "matched_EU_O3_daily_SCATTER_test.png"}


def model_map(work):
    from kvelo.py.plotting import process_model_map_plot

    stations = run_matched.make_stations()
    coords = [{"station_id": sid, "lat": lat, "lon": lon} for sid, lat, lon in stations]
    process_model_map_plot(run_matched.make_model_field(), run_matched.REGION, VARIABLE, "model",
                           run_matched.TIME_AVG, str(work / "field"), ["png"],
                           run_matched.START, run_matched.END, run_matched.REGION_BOUNDS,
                           station_coords=coords, exp_name="ctrl")
    return {"model_map.png": work / "field_model_EU_O3_ctrl.png"}


def merged_ctrl(work):
    """The observation and control tables joined on station and time, as the
    matched figures join them, with the bias model - obs."""
    _, paths = matched_files(work)
    merged = pd.merge(pd.read_csv(paths["obs"]), pd.read_csv(paths["ctrl"]),
                      on=["station_id", "time"], suffixes=("_obs", "_mod"))
    merged["bias"] = merged["O3_mod"] - merged["O3_obs"]
    return merged


def bias_replot(work):
    from kvelo.py.offsetplex import plot_bias_from_file

    # A saved bias table: here one row per station, its mean bias over the period.
    table = merged_ctrl(work).groupby("station_id")[["lon_obs", "lat_obs", "bias"]].mean()
    table.reset_index().to_csv(work / "bias_ctrl.csv", index=False)
    plot_bias_from_file(str(work / "bias_ctrl.csv"), VARIABLE, str(work / "replot"), ["png"])
    return {"bias_replot.png": work / "replot_region_O3_time_avg_BIAS_exp.png"}


def scatter_replot(work):
    from kvelo.py.pairplex import plot_scatter_from_file

    merged_ctrl(work)[["O3_obs", "O3_mod"]].to_csv(work / "scatter_ctrl.csv", index=False)
    plot_scatter_from_file(str(work / "scatter_ctrl.csv"), VARIABLE, str(work / "replot"), ["png"])
    return {"scatter_replot.png": work / "replot_region_O3_time_avg_SCATTER_exp.png"}


def station_maps(work):
    from kvelo.py.geoplex import (station_location_map_plot_from_file,
                                  station_value_map_plot_from_file)

    table = run_station_maps.make_table()
    path = write_table(table, work / "O3_stations.csv")
    common = dict(data_file_base=path, data_format="csv", region="EU", obs_type="background",
                  region_bounds=run_station_maps.REGION_BOUNDS,
                  plot_file_base=str(work / "O3_stations"), save_plot_formats=["png"],
                  plot_title=None, start_date="2024-07-01", end_date="2024-07-31",
                  variable=VARIABLE, exp="ctrl")
    station_location_map_plot_from_file(**common)
    station_value_map_plot_from_file(time_avg="monthly", **common)
    return {"station_locations.png": work / "O3_stations.png",
            "station_values.png": work / "O3_stations_val.png"}


# (images made, producer); a producer runs when one of its images is asked for.
PRODUCERS = [
    (("series_grouped.png",), lambda work: plain_road(work, "grouped")),
    (("series_subplots.png",), lambda work: plain_road(work, "subplots")),
    (("series_collocated_regional.png", "series_collocated_station.png", "bias3_regional.png",
      "bias3_station.png", "stats_correlation.png", "stats_error.png", "stats_descriptive.png"),
     collocated_road),
    (("bias_collocation_station.png", "bias1_regional.png", "bias2_regional.png"),
     bias_variants),
    (("bias_map.png",), bias_map),
    (("scatter.png",), scatter),
    (("model_map.png",), model_map),
    (("bias_replot.png",), bias_replot),
    (("scatter_replot.png",), scatter_replot),
    (("station_locations.png", "station_values.png"), station_maps),
]

# Every image of the gallery, as docs/images holds them.
GALLERY = [name for names, _ in PRODUCERS for name in names]


# ---- shrinking ------------------------------------------------------------------

def shrink(source, target, box=BOX, colours=COLOURS):
    """A copy of the figure that fits in `box`, on white, in a palette of
    `colours` entries (octree: keeps the lines' own colours apart)."""
    from PIL import Image

    with Image.open(source) as im:
        im = im.convert("RGBA")
        flat = Image.new("RGB", im.size, "white")
        flat.paste(im, mask=im.getchannel("A"))
    scale = min(box[0] / flat.width, box[1] / flat.height)
    if scale < 1:
        flat = flat.resize((round(flat.width * scale), round(flat.height * scale)),
                           Image.LANCZOS)
    small = flat.quantize(colors=colours, method=Image.Quantize.FASTOCTREE,
                          dither=Image.Dither.NONE)
    small.save(target, optimize=True)


# ---- the run --------------------------------------------------------------------

def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--natural-earth", metavar="DIR",
                        help="folder holding shapefiles/natural_earth/... for the maps")
    parser.add_argument("--only", nargs="+", metavar="NAME", choices=GALLERY,
                        help="draw only these images")
    parser.add_argument("--out", metavar="DIR", default=str(DOCS / "images"),
                        help="where the images go (default docs/images)")
    args = parser.parse_args(argv)
    wanted = set(args.only or GALLERY)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)

    import matplotlib
    from kvelo.py.figdefaults import set_kvelo_plot_style

    # The plot style and the map data hold for the drawing only.
    with tempfile.TemporaryDirectory(prefix="kvelo-gallery-") as tmp, \
            map_data(args.natural_earth, Path(tmp)), matplotlib.rc_context():
        work = Path(tmp)
        set_kvelo_plot_style()
        for names, produce in PRODUCERS:
            if wanted.isdisjoint(names):
                continue
            folder = work / names[0].removesuffix(".png")
            folder.mkdir()
            made = produce(folder)
            for name in names:
                if name in wanted:
                    shrink(made[name], out / name)
                    print(f"{out / name}: {(out / name).stat().st_size // 1024} KiB")
    return 0


if __name__ == "__main__":
    import matplotlib

    matplotlib.use("Agg")  # files only, never a window
    sys.exit(main())
