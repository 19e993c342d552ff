"""Odd settings and scalar arguments for every public function of the package.

The table of cases (which function, which argument or `config` key, which odd
value) and the child process that runs them:

    python odd_campaign.py WORKDIR NATURAL_EARTH_DIR PROTOCOL_FD

The child reads case numbers on standard input, one a line, runs each case and
answers one JSON line per case on PROTOCOL_FD (standard output belongs to the
functions, several of which print).  A crash or a hang ends the child; the
parent (test_odd_settings.py) reports the case and starts a new child.
"""
import dataclasses
import faulthandler
import inspect
import json
import logging
import os
import pathlib
import random
import re
import shutil
import sys
import time
import warnings

import numpy as np
import pandas as pd

from support.odd_values import (GetRaises, IndexOnce, KeysChange, MappingOnly, Pairs,
                                hash_and_eq_change, hash_raises, odd_float, odd_int,
                                plus_changes, refusing, unhashable)

MODULES = ("runjournal", "figdefaults", "stationfeed", "matched", "statistics", "chronoplex",
           "plotting", "offsetplex", "pairplex", "geoplex", "io", "style", "utils")

# Words that only the binding layer or the C++ runtime would put into a message.
LEAKS = ("pybind11", "PYBIND11", "C++", "std::", "Unable to cast", "basic_string", "bad_alloc")
# What the package's last-resort translation says when a C++ conversion of an
# argument failed, and when a C++ exception escaped.  The first is a fair answer to
# a value of the wrong kind, never to a value of the very type that belongs there
# (a text stays Python text, an int of any size is a Python int).  The second is
# no answer Python would give to any value.
REFUSED = re.compile(r"\(\) got a value (?:of type '[^']*' that it|of a type it|it) cannot use")
INTERNAL = "failed on an internal error"
TEXTS = ("''", "'é'", "'\\udce9'")

SURROGATE_DIR = "x\udce9"  # what os.fsdecode makes of a Latin-1 directory name
SEED = 18
COMBINATIONS = 300

# A call that takes longer than this counts as a hang.  The slowest case (three
# figures rendered as PNG at 300 dpi) takes about two seconds on the normal build;
# a sanitizer build is 3-4 times slower.
CALL_TIMEOUT = float(os.environ.get("KVELO_ODD_CALL_TIMEOUT", "40"))


# ---- odd values ----------------------------------------------------------------------------

def text_base(baseline):
    return baseline if isinstance(baseline, str) else "O3"


def int_base(baseline):
    return baseline if type(baseline) is int else 3


# Subclasses of the builtin types whose operators answer oddly, built on the
# baseline's own value where it is of that type: name -> (ctx, baseline) -> value.
ODD_SUBCLASSES = {
    "int subclass: % + - * / answer 10**9": lambda ctx, b: odd_int((10**9,), int_base(b)),
    "int subclass: arithmetic changes between calls": lambda ctx, b: odd_int(
        (3, -3, 10**9, 11, 0), int_base(b)),
    "float subclass: arithmetic, comparisons, float() change": lambda ctx, b: odd_float(
        b if type(b) is float else 1.5),
    "str subclass: + answers 'time' from its third call": lambda ctx, b: plus_changes(
        text_base(b)),
    "str subclass: hash and == change between calls": lambda ctx, b: hash_and_eq_change(
        text_base(b)),
    "str subclass without a hash": lambda ctx, b: unhashable(text_base(b)),
    "str subclass whose hash raises": lambda ctx, b: hash_raises(text_base(b)),
}

# Name shown in reports -> maker (a fresh object per call: some are used up).
ODD = {
    "None": lambda ctx: None,
    "True": lambda ctx: True,
    "False": lambda ctx: False,
    "0": lambda ctx: 0,
    "-1": lambda ctx: -1,
    "2**63": lambda ctx: 2**63,
    "-(2**63)-1": lambda ctx: -(2**63) - 1,
    "10**30": lambda ctx: 10**30,
    "1.5": lambda ctx: 1.5,
    "nan": lambda ctx: float("nan"),
    "inf": lambda ctx: float("inf"),
    "np.int64(3)": lambda ctx: np.int64(3),
    "np.float64(nan)": lambda ctx: np.float64("nan"),
    "np.bool_(True)": lambda ctx: np.bool_(True),
    "''": lambda ctx: "",
    "'é'": lambda ctx: "é",
    "'\\udce9'": lambda ctx: "\udce9",
    "b'bytes'": lambda ctx: b"bytes",
    "[]": lambda ctx: [],
    "[1]": lambda ctx: [1],
    "{}": lambda ctx: {},
    "{'a': 1}": lambda ctx: {"a": 1},
    "Path": lambda ctx: pathlib.Path(ctx.dir, "p"),
    "__bool__ raises": lambda ctx: refusing("__bool__"),
    "__index__ raises": lambda ctx: refusing("__index__"),
    "__str__ raises": lambda ctx: refusing("__str__"),
    "__eq__ raises": lambda ctx: refusing("__eq__", "__ne__"),
    "__index__ answers once": lambda ctx: IndexOnce(),
}
# Text arguments also get the lone surrogate inside a realistic value: a path in
# the directory x\udce9 (every input file has a copy there), else the text with
# the surrogate appended (a variable, region, unit, label or date text).
REALISTIC = "realistic text with \\udce9"


def realistic(ctx, value):
    if isinstance(value, str):
        if value.startswith(ctx.dir + os.sep):
            return os.path.join(ctx.dir, SURROGATE_DIR, os.path.relpath(value, ctx.dir))
        return value + "\udce9"
    return None


WHOLE_CONFIG = {"Mapping, not a dict": MappingOnly, "dict whose get raises": GetRaises}


def odd_station_key(make_key):
    """Each station of the station-wise data gets one more experiment key, made by
    make_key from its text, in a mapping that needs no hash of it."""
    def change(ctx, kwargs):
        data = kwargs["data"]
        variable = kwargs.get("variable", "O3")
        stations = {}
        for sid, sd in data.items():
            # First, so that whatever the package does next with the station meets it.
            pairs = [(make_key(f"{variable}_exp3"), sd.get(f"{variable}_exp1", []))]
            pairs += list(sd.items())
            stations[sid] = Pairs(pairs)
        kwargs["data"] = stations
    return change


def station_keys_change(ctx, kwargs):
    kwargs["data"] = {sid: KeysChange(sd.items()) for sid, sd in kwargs["data"].items()}


def station_ids_unhashable(ctx, kwargs):
    kwargs["data"] = Pairs((unhashable(sid), sd) for sid, sd in kwargs["data"].items())


# Station-wise data whose keys hash, compare or list oddly: variants of every
# function that reads the station-wise dictionary.
ODD_STATION_KEYS = {
    "station key without a hash": odd_station_key(unhashable),
    "station key whose hash raises": odd_station_key(hash_raises),
    "station key whose hash and == change": odd_station_key(hash_and_eq_change),
    "station keys change between listings": station_keys_change,
    "station ids without a hash": station_ids_unhashable,
}


# ---- the inputs of the baseline calls ----------------------------------------------------

TIMES = pd.date_range("2024-01-01", periods=3, freq="D")
BOUNDS = (35.0, 62.0, -12.0, 30.0)
META = {"SID": "S1", "NAME": "Hill", "LAT": 50.5, "LON": 7.25, "ELE": 310.0,
        "SDATE": "2024-01-01", "EDATE": "2024-01-03"}


def collocated(variable="O3", sids=("S1", "S2"), names=("Hill", "Vale")):
    """Station-wise dictionary, collocated layout: obs and two experiments."""
    data = {}
    for k, (sid, name) in enumerate(zip(sids, names)):
        base = 20.0 + 5 * k
        data[sid] = {
            "site_id": sid, "site_name": name, "lat": 47.0 + k, "lon": 7.0 + k,
            "elevation_m": 300.0, "time": list(TIMES), "n_valid": 3,
            f"{variable}_obs": [np.float64(base + v) for v in (0.0, 2.0, 1.0)],
            f"{variable}_exp1": [np.float64(base + v) for v in (1.0, 3.0, 0.5)],
            f"{variable}_exp2": [np.float64(base + v) for v in (-1.0, 1.0, 2.0)],
        }
    return data


def plain(sids=("S1", "S2"), names=("Hill", "Vale")):
    """Station-wise dictionary, plain layout."""
    data = {}
    for k, (sid, name) in enumerate(zip(sids, names)):
        data[sid] = {
            "site_id": sid, "site_name": name, "lat": 47.0 + k, "lon": 7.0 + k,
            "elevation_m": 300.0, "time": pd.Series(TIMES),
            "value": pd.Series([20.0 + k, 22.0, 21.0 - k]),
        }
    return data


def collocated_frame(variable="O3"):
    return pd.DataFrame({"time": TIMES, f"{variable}_obs": [1.0, 2.0, 4.0],
                         f"{variable}_exp1": [2.0, 1.0, 5.0]})


def station_table():
    rows = []
    for k, sid in enumerate(("S1", "S2")):
        for j, t in enumerate(TIMES):
            rows.append({"site_id": sid, "time": t, "site_name": f"Site {k}",
                         "lat": 47.0 + k, "lon": 7.0 + k, "elevation_m": 300.0,
                         "O3_obs": 20.0 + j + k, "O3_exp1": 21.0 + j, "O3": 20.0 + j + k,
                         "min": 19.0, "max": 25.0})
    return pd.DataFrame(rows)


def matched_rows(shift=0.0):
    return pd.DataFrame({"station_id": ["A", "A", "B"],
                         "time": ["2024-01-01", "2024-01-02", "2024-01-01"],
                         "lat": [45.0, 45.0, 50.0], "lon": [5.0, 5.0, 10.0],
                         "O3": [30.0 + shift, 40.0, 20.0 + 2 * shift]})


STATS_COLUMNS = ["Experiment", "R", "R2", "RMSE", "MB", "Bias", "STD_dev", "Mean", "Min", "Max",
                 "Average", "Median", "Count", "SID", "NAME", "LAT", "LON", "ELE", "Variable",
                 "SDATE", "EDATE", "plAVG"]


def write_inputs(root):
    """The input files, written under root and again under root/x\\udce9."""
    os.makedirs(os.path.join(root, "output"), exist_ok=True)
    table = station_table()
    table.to_csv(os.path.join(root, "stations.csv"), index=False)
    table.to_csv(os.path.join(root, "plain.csv"), index=False,
                 columns=["site_id", "time", "site_name", "lat", "lon", "elevation_m", "O3",
                          "min", "max"])
    matched_rows().to_csv(os.path.join(root, "obs.csv"), index=False)
    matched_rows(3.0).to_csv(os.path.join(root, "ctrl.csv"), index=False)
    pd.DataFrame({"lon_obs": [5.0, 10.0, 15.0], "lat_obs": [45.0, 50.0, 55.0],
                  "bias": [-2.0, 0.5, 3.0]}).to_csv(os.path.join(root, "bias.csv"), index=False)
    pd.DataFrame({"O3_obs": [1.0, 2.0, 4.0], "O3_mod": [1.5, 2.5, 3.0]}).to_csv(
        os.path.join(root, "scatter.csv"), index=False)
    stats = pd.DataFrame([[exp, 0.9, 0.81, 1.5, 0.5, -0.5, 2.0, 21.0, 19.0, 24.0, 21.0, 21.0,
                           3, "REGIONAL", "Regional Mean", np.nan, np.nan, np.nan, "O3",
                           "2024-01-01", "2024-01-03", "daily"] for exp in ("exp1", "exp2")],
                         columns=STATS_COLUMNS)
    stats.to_csv(os.path.join(root, "stats.csv"), index=False)
    tree = os.path.join(root, "obs_tree", "aqs", "latest", "site")
    os.makedirs(tree, exist_ok=True)
    with open(os.path.join(tree, "a_20240102.csv"), "w") as f:
        f.write("DATEON,LATITUDE,LONGITUDE,O3\n2024-01-02 00:00:00,45.0,5.0,30\n"
                "2024-01-02 12:00:00,45.0,5.0,31\n")


class Context:
    def __init__(self, root):
        self.dir = root
        for where in (root, os.path.join(root, SURROGATE_DIR)):
            os.makedirs(where, exist_ok=True)
            write_inputs(where)

    def path(self, name):
        return os.path.join(self.dir, name)


# ---- the functions and their baseline calls --------------------------------------------------

@dataclasses.dataclass
class Fn:
    """One public function: a cheap call that works, and what the cases vary."""
    module: str
    name: str
    baseline: callable                 # ctx -> keyword arguments of a working call
    config_keys: tuple = ()            # keys of the `config` argument that the function reads
    formats: str = None                # the argument that holds the format list
    variants: dict = dataclasses.field(default_factory=dict)  # name -> (ctx, kwargs) -> None
    call: callable = None              # (module, kwargs) -> result, where not module.name(**kw)
    tag: str = ""                      # tells two roads of one function apart

    @property
    def qualname(self):
        return f"{self.module}.{self.name}{self.tag}"

    def target(self, module):
        return getattr(module, self.name)


def surrogate_station_ids(builder, **kw):
    def change(ctx, kwargs):
        kwargs["data"] = builder(sids=("S\udce9", "S2"), names=("Site \udce9", "Vale"), **kw)
    return change


def surrogate_variable(builder):
    def change(ctx, kwargs):
        kwargs["variable"] = "O3\udce9"
        kwargs["data"] = builder(variable="O3\udce9")
    return change


def output_in_surrogate_dir(*names, formats=None, fmt="svg"):
    """Output bases (and input paths) in the directory x\\udce9, with a format word that
    makes the figures real files."""
    def change(ctx, kwargs):
        for name in names:
            kwargs[name] = realistic(ctx, kwargs[name])
        if formats:
            kwargs[formats] = [fmt]
    return change


def real_format(formats, fmt="svg"):
    def change(ctx, kwargs):
        kwargs[formats] = [fmt]
    return change


def figure_args(ctx, config, data, variable="O3"):
    return dict(config=config, data=data, data_file_base=ctx.path("run"), data_format="csv",
                model_files_dict="", plot_file_base=ctx.path("run"), save_plot_formats=[],
                plot_title="Title", variable=variable, unit="ppb", tavg="daily", debug=False)


# Station figures as each function draws them by default: the collocated figures
# draw them unless show_stations is falsy, the plain and the third bias figures
# only when it is truthy (the show_stations cases draw them).
COLLOCATION_CONFIG = {
    "plot_mode": "grouped", "station_plot_group_size": 15, "fix_y_axis": True,
    "show_stations": True, "show_min_max": True, "log_y_axis": None, "force_full_year": None,
    "obs_dataset_type": "aqs", "experiments": "exp1,exp2", "exp_labels": "One,Two",
    "plot_region": "EU", "start_date": "2024-01-01", "end_date": "2024-01-03",
    "debug_extended": False,
}
PLAIN_CONFIG = {"plot_mode": "grouped", "station_plot_group_size": 15, "fix_y_axis": True,
                "show_stations": None, "show_min_max": True, "force_full_year": None}
BIAS3_CONFIG = dict(COLLOCATION_CONFIG, show_stations=None)
BIAS3_KEYS = ("obs_dataset_type", "plot_region", "start_date", "end_date", "show_stations",
              "exp_labels", "experiments", "debug_extended", "force_full_year")
COLLOCATION_KEYS = ("plot_mode", "station_plot_group_size", "fix_y_axis", "show_stations",
                    "show_min_max", "log_y_axis", "force_full_year", "obs_dataset_type",
                    "experiments", "exp_labels", "plot_region", "start_date", "end_date")
PLAIN_KEYS = tuple(PLAIN_CONFIG)


def with_station_figures(change):
    def changed(ctx, kwargs):
        change(ctx, kwargs)
        kwargs["config"]["show_stations"] = True
    return changed


def chronoplex_figures():
    fns = []
    colloc_variants = {"station id and site name with \\udce9": surrogate_station_ids(collocated),
                       "variable with \\udce9": surrogate_variable(collocated),
                       "output in x\\udce9, format svg": output_in_surrogate_dir(
                           "plot_file_base", formats="save_plot_formats"),
                       "format svg": real_format("save_plot_formats")}
    colloc_variants.update(ODD_STATION_KEYS)
    colloc_variants = {k: with_station_figures(v) for k, v in colloc_variants.items()}
    for name, keys, config in [
            ("plot_station_timeseries_collocation", COLLOCATION_KEYS, COLLOCATION_CONFIG),
            ("plot_station_timeseries_bias3", BIAS3_KEYS, BIAS3_CONFIG),
            ("plot_station_timeseries_bias1",
             ("plot_region", "start_date", "end_date", "force_full_year"), COLLOCATION_CONFIG),
            ("plot_station_timeseries_bias2",
             ("plot_region", "start_date", "end_date", "force_full_year"), COLLOCATION_CONFIG),
            ("plot_station_bias_collocation",
             ("start_date", "end_date", "force_full_year"), COLLOCATION_CONFIG)]:
        fns.append(Fn("chronoplex", name, lambda ctx, config=config: figure_args(
            ctx, dict(config), collocated()), config_keys=keys,
            formats="save_plot_formats", variants=colloc_variants))

    def grouped(ctx):
        kwargs = figure_args(ctx, dict(PLAIN_CONFIG), plain())
        del kwargs["tavg"]
        return kwargs

    fns.append(Fn("chronoplex", "plot_station_timeseries_grouped_or_subplots", grouped,
                  config_keys=PLAIN_KEYS, formats="save_plot_formats", variants={
                      k: with_station_figures(v) for k, v in {
                          "station id and site name with \\udce9": surrogate_station_ids(plain),
                          "output in x\\udce9, format svg": output_in_surrogate_dir(
                              "plot_file_base", formats="save_plot_formats"),
                          "format svg": real_format("save_plot_formats"),
                          "station ids without a hash": station_ids_unhashable}.items()}))

    def entry(table, use_collocation, config):
        def build(ctx):
            return dict(data_file_base=ctx.path(table), data_format="csv", model_files_dict={},
                        plot_file_base=ctx.path("ts"), save_plot_formats=[],
                        config=dict(config), plot_title="Title", variable="O3", tavg="daily",
                        debug=False, use_collocation=use_collocation)
        return build

    paths = output_in_surrogate_dir("data_file_base", "plot_file_base",
                                    formats="save_plot_formats")
    # The entry reads no key itself: on the collocated road it hands its copy to the
    # collocated and the bias figures, whose own cases try every key they read (and
    # draw the station figures, left out here).  The plain road's keys are tried
    # through the entry too, as a driver's configuration reaches them.
    fns.append(Fn("chronoplex", "process_time_series_plot_from_file",
                  entry("stations.csv", True, dict(COLLOCATION_CONFIG, show_stations=False)),
                  formats="save_plot_formats", tag="[collocated]",
                  variants={"paths in x\\udce9, format svg": paths,
                            "format svg": real_format("save_plot_formats")}))
    fns.append(Fn("chronoplex", "process_time_series_plot_from_file",
                  entry("plain.csv", False, PLAIN_CONFIG), config_keys=PLAIN_KEYS,
                  formats="save_plot_formats", tag="[plain]",
                  variants={"paths in x\\udce9, format svg": paths}))

    def extension(with_formats):
        def build(ctx):
            kwargs = dict(data_file_base=ctx.path("stations.csv"), variable="O3", tavg="daily",
                          debug=False, use_collocation=True, save_plot_formats=[],
                          data=collocated())
            if not with_formats:
                del kwargs["save_plot_formats"]
            return kwargs
        return build

    ext_variants = {"station id and site name with \\udce9": surrogate_station_ids(collocated),
                    "variable with \\udce9": surrogate_variable(collocated),
                    "table in x\\udce9": output_in_surrogate_dir("data_file_base"),
                    **ODD_STATION_KEYS}
    fns.append(Fn("chronoplex", "extend_process_time_series_with_stats", extension(True),
                  formats="save_plot_formats", variants=ext_variants))
    fns.append(Fn("chronoplex", "extend_process_time_series_with_stats2", extension(False),
                  variants=ext_variants))
    return fns


def statistics_functions():
    fns = []

    def frame_variable(ctx, kwargs):
        kwargs["variable"] = "O3\udce9"
        kwargs["df"] = collocated_frame("O3\udce9")

    def frame_experiment(ctx, kwargs):
        kwargs["df"] = kwargs["df"].rename(columns={"O3_exp1": "O3_e\udce9"})
        kwargs["experiments"] = ["e\udce9"]

    def metadata(ctx, kwargs):
        kwargs["station_metadata"] = dict(META, SID="S\udce9", NAME="Site \udce9")

    for name in ("compute_statistics_from_collocated_df",
                 "compute_statistics_from_collocated_df_with_obs_entry"):
        fns.append(Fn("statistics", name, lambda ctx: dict(
            df=collocated_frame(), station_metadata=dict(META), variable="O3",
            experiments=["exp1"], tavg="daily", debug=False), variants={
                "variable with \\udce9": frame_variable,
                "experiment with \\udce9": frame_experiment,
                "station id and name with \\udce9": metadata}))
    for name in ("compute_regional_statistics", "compute_regional_statistics_from_collocated_dict"):
        fns.append(Fn("statistics", name, lambda ctx: dict(
            data=collocated(), variable="O3", tavg="daily", debug=False), variants={
                "station id and site name with \\udce9": surrogate_station_ids(collocated),
                "variable with \\udce9": surrogate_variable(collocated), **ODD_STATION_KEYS}))
    obs, mod = [1.0, 2.0, 4.0, 3.0], [2.0, 1.0, 5.0, 3.5]
    fns.append(Fn("statistics", "compute_pearson_r", lambda ctx: dict(obs=list(obs),
                                                                      mod=list(mod))))
    fns.append(Fn("statistics", "compute_pearson_r2", lambda ctx: dict(obs_vals=list(obs),
                                                                       mod_vals=list(mod))))
    months = pd.date_range("2024-01-01", periods=4, freq="MS")
    fns.append(Fn("statistics", "compute_pearson_r_with_shift", lambda ctx: dict(
        obs_series=pd.Series(obs, index=months, name="obs"),
        mod_series=pd.Series(mod, index=months, name="mod"), shift=1)))
    fns.append(Fn("statistics", "compute_pearson_r_with_shift2", lambda ctx: dict(
        obs_vals=np.array(obs), mod_vals=np.array(mod), shift=1)))
    fns.append(Fn("statistics", "save_stats", lambda ctx: dict(
        stats={"R": 0.5, "R_squared": 0.25, "RMSE": 1e-05, "MB": -2.0, "Bias": 2.0,
               "STD_dev": 3.5, "Count": 12}, output_csv=ctx.path("one.csv")),
        variants={"output in x\\udce9": output_in_surrogate_dir("output_csv")}))
    fns.append(Fn("statistics", "plot_statistics", lambda ctx: dict(
        stats_file=ctx.path("stats.csv"), output_file=ctx.path("O3_daily_stats_plot.png"),
        save_plot_formats=[], debug=False), formats="save_plot_formats", variants={
            "paths in x\\udce9, format svg": output_in_surrogate_dir(
                "stats_file", "output_file", formats="save_plot_formats"),
            "format svg": real_format("save_plot_formats")}))
    return fns


def runjournal_functions():
    def handler(module, kwargs):
        h = module.TqdmLoggingHandler(kwargs["level"])
        h.setFormatter(logging.Formatter("%(message)s"))
        return h.emit(kwargs["record"])

    record = lambda: logging.LogRecord("root", logging.INFO, __file__, 1, "odd %s", ("x",),
                                       None)
    full = {"use_mod": True, "mod_path": "/m", "use_obs": True, "obs_path": "/o",
            "use_station_file": True, "station_file": "s.csv"}
    return [
        Fn("runjournal", "setup_logging", lambda ctx: dict(log_file_path=ctx.path("run.log"),
                                                           debug=False),
           variants={"log in x\\udce9": output_in_surrogate_dir("log_file_path")}),
        Fn("runjournal", "log_kvelo_banner", lambda ctx: {}),
        Fn("runjournal", "log_input_availability", lambda ctx: dict(config=dict(full)),
           config_keys=tuple(full)),
        Fn("runjournal", "TqdmLoggingHandler", lambda ctx: dict(level=logging.NOTSET,
                                                                record=record()),
           call=handler, tag=" (level, then emit)"),
    ]


def data_functions():
    records = lambda: [
        {"station_id": "S2", "time": pd.Timestamp("2024-01-01 01:00"), "lat": 45.0,
         "lon": 5.0, "O3": 30.5},
        {"station_id": "S1", "time": pd.Timestamp("2024-01-01 00:00"), "O3": 28.0,
         "lat": 40.0, "lon": 2.0}]

    def surrogate_records(ctx, kwargs):
        kwargs["matched_list"] = [dict(r, station_id=r["station_id"] + "\udce9")
                                  for r in kwargs["matched_list"]]

    return [
        Fn("figdefaults", "set_kvelo_plot_style", lambda ctx: {}),
        Fn("stationfeed", "load_observations", lambda ctx: dict(
            obs_base_dir=ctx.path("obs_tree"), start_date=pd.Timestamp("2024-01-01"),
            end_date=pd.Timestamp("2024-01-31"), obs_type="aqs", obs_version="latest",
            region_bounds=None, debug=False, max_workers=2),
           variants={"tree in x\\udce9": output_in_surrogate_dir("obs_base_dir")}),
        Fn("matched", "save_matched_data", lambda ctx: dict(
            matched_list=records(), output_base=ctx.path("matched"), save_data_format="csv",
            debug=False), variants={
                "output in x\\udce9": output_in_surrogate_dir("output_base"),
                "station ids with \\udce9": surrogate_records}),
        Fn("matched", "load_matched_data", lambda ctx: dict(file_path=ctx.path("obs.csv"),
                                                            debug=False),
           variants={"file in x\\udce9": output_in_surrogate_dir("file_path")}),
        Fn("io", "read_data", lambda ctx: dict(file_path=ctx.path("stations.csv"),
                                               data_format="csv", debug=False,
                                               return_units=True),
           variants={"file in x\\udce9": output_in_surrogate_dir("file_path")}),
        Fn("io", "save_data", lambda ctx: dict(df=station_table(), file_path=ctx.path("saved.csv"),
                                               data_format="csv", units={"O3": "ppb"},
                                               debug=False),
           variants={"file in x\\udce9": output_in_surrogate_dir("file_path")}),
    ]


def plotting_functions():
    def matched_args(ctx):
        return dict(matched_obs_file=ctx.path("obs.csv"),
                    matched_model_files={"ctrl": ctx.path("ctrl.csv")}, region="EU", var="O3",
                    time_avg="daily", output_base=ctx.path("pt"))

    def models_in_surrogate_dir(ctx, kwargs):
        kwargs["matched_obs_file"] = realistic(ctx, kwargs["matched_obs_file"])
        kwargs["matched_model_files"] = {"c\udce9": realistic(ctx, ctx.path("ctrl.csv"))}
        kwargs["output_base"] = realistic(ctx, kwargs["output_base"])

    def with_formats(kwargs):
        return dict(kwargs, save_formats=[], debug=False)

    def dataset(ctx, name="O3"):
        import xarray as xr
        return xr.Dataset({name: (("lat", "lon"), np.arange(6.0).reshape(2, 3) + 20.0,
                                  {"units": "ppb"})},
                          coords={"lat": [45.0, 50.0], "lon": [0.0, 5.0, 10.0]})

    def model_map(ctx):
        return dict(ds_model=dataset(ctx), region="EU", variable="O3", data_type="model",
                    time_avg="daily", output_base=ctx.path("m"), save_formats=[],
                    start_date="2024-01-01", end_date="2024-01-31",
                    region_bounds=(40.0, 55.0, -2.0, 12.0),
                    station_coords=[{"lat": 46.0, "lon": 3.0}, {"lat": 49.0, "lon": 8.0}],
                    exp_name="ctrl", debug=False)

    files_variants = {"files and output in x\\udce9, format svg": lambda ctx, kw: (
        models_in_surrogate_dir(ctx, kw), kw.__setitem__("save_formats", ["svg"])),
        "format svg": real_format("save_formats")}
    return [
        Fn("plotting", "process_time_series", lambda ctx: dict(
            matched_args(ctx), save_data_format="csv", debug=False),
           variants={"files and output in x\\udce9": models_in_surrogate_dir}),
        Fn("plotting", "process_bias_plot", lambda ctx: with_formats(matched_args(ctx)),
           formats="save_formats", variants=files_variants),
        Fn("plotting", "process_scatter_plot", lambda ctx: with_formats(matched_args(ctx)),
           formats="save_formats", variants=files_variants),
        Fn("plotting", "process_model_map_plot", model_map, formats="save_formats", variants={
            "output in x\\udce9, format svg": output_in_surrogate_dir(
                "output_base", formats="save_formats"),
            "format svg": real_format("save_formats"),
            "experiment and station names with \\udce9": lambda ctx, kw: kw.update(
                exp_name="c\udce9", station_coords=[{"lat": 46.0, "lon": 3.0,
                                                     "name": "S\udce9"}])}),
    ] + [Fn(module, name, lambda ctx, arg=arg, table=table: {
        arg: ctx.path(table), "var": "O3", "output_base": ctx.path("replot"),
        "save_formats": []}, formats="save_formats", variants={
            "paths in x\\udce9, format svg": output_in_surrogate_dir(
                arg, "output_base", formats="save_formats"),
            "format svg": real_format("save_formats")})
        for module, name, arg, table in [
            ("offsetplex", "plot_bias_from_file", "bias_file", "bias.csv"),
            ("pairplex", "plot_scatter_from_file", "scatter_file", "scatter.csv")]]


def geoplex_functions():
    common = lambda ctx: dict(data_file_base=ctx.path("stations.csv"), data_format="csv",
                              region="EU", obs_type="aqs", region_bounds=BOUNDS,
                              plot_file_base=ctx.path("map"), save_plot_formats=[],
                              plot_title="Title", start_date="2024-01-01",
                              end_date="2024-01-03", variable="O3", debug=False)
    variants = {"paths in x\\udce9, format svg": output_in_surrogate_dir(
        "data_file_base", "plot_file_base", formats="save_plot_formats"),
        "format svg": real_format("save_plot_formats")}
    return [
        Fn("geoplex", "station_location_map_plot_from_file", lambda ctx: dict(
            common(ctx), exp=None), formats="save_plot_formats", variants=variants),
        Fn("geoplex", "station_value_map_plot_from_file", lambda ctx: dict(
            common(ctx), time_avg="daily", exp="exp1"), formats="save_plot_formats",
           variants=variants),
    ]


def sibling_functions():
    def new_axes(projection=False):
        import matplotlib.pyplot as plt
        if projection:
            import cartopy.crs as ccrs
            return plt.figure().add_subplot(projection=ccrs.PlateCarree())
        return plt.subplots()[1]

    return [
        Fn("style", "calculate_color_norm", lambda ctx: dict(
            values=np.array([1.0, 5.0, 3.0]), variable="O3", unit="ppb", debug=False)),
        Fn("style", "convert_units", lambda ctx: dict(values=np.array([1.0, 2.5]),
                                                      from_unit="ppm", to_unit="ppb")),
        Fn("style", "get_marker_style", lambda ctx: dict(label="exp1", i=1)),
        Fn("style", "get_readable_region_name", lambda ctx: dict(region="EU")),
        Fn("style", "get_variable_colorbar_limits", lambda ctx: dict(variable="O3")),
        Fn("style", "get_variable_mapping", lambda ctx: dict(data_type="aqs", region="EU",
                                                             variable="O3")),
        Fn("style", "load_variable_columns", lambda ctx: dict(df=station_table(),
                                                              variable="O3")),
        Fn("style", "setup_cartopy_map", lambda ctx: dict(ax=new_axes(True),
                                                          region_bounds=BOUNDS)),
        Fn("style", "setup_cartopy_map1", lambda ctx: dict(region_bounds=BOUNDS)),
        Fn("utils", "apply_time_axis_format", lambda ctx: dict(
            ax=new_axes(), times=pd.DatetimeIndex(TIMES), force_full_year=True)),
        Fn("utils", "extract_date_from_filename", lambda ctx: dict(basename="x_20240131.csv",
                                                                   debug=False)),
        Fn("utils", "extract_keys", lambda ctx: dict(station_data=collocated()["S1"],
                                                     variable="O3")),
        Fn("utils", "get_line_style", lambda ctx: dict(key="O3_exp1")),
        Fn("utils", "is_log_unit", lambda ctx: dict(unit="molec/cm2")),
        Fn("utils", "select_label_stations_by_density", lambda ctx: dict(
            station_df=pd.DataFrame({"site_id": ["A", "B", "C"], "lat": [45.0, 50.0, 55.0],
                                     "lon": [0.0, 5.0, 10.0]}),
            density=0.4, min_labels=1, max_labels=100)),
        Fn("utils", "summarize_observation_dataset", lambda ctx: dict(
            ds=__import__("xarray").Dataset({"O3": (("time",), [1.0, 2.0])},
                                            coords={"time": TIMES[:2]}),
            path=ctx.path("obs.nc"), debug=True)),
    ]


def all_functions():
    return (runjournal_functions() + data_functions() + statistics_functions()
            + chronoplex_figures() + plotting_functions() + geoplex_functions()
            + sibling_functions())


# ---- the case table ------------------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Case:
    fn: str          # qualified function name
    kind: str        # baseline, argument, config, whole config, format item, variant, combined
    target: str = ""  # argument or key; combined: "argument:a=v; config:k=w"
    value: str = ""

    @property
    def module(self):
        return self.fn.split(".")[0]

    def describe(self):
        return " | ".join(p for p in (self.fn, self.kind, self.target, self.value) if p)


VALUES = list(ODD) + list(ODD_SUBCLASSES) + [REALISTIC]


def parameters(fn):
    import importlib
    module = importlib.import_module(f"kvelo.py.{fn.module}")
    if fn.call is not None:
        return ["level", "record"]
    return list(inspect.signature(fn.target(module)).parameters)


def targets(fn):
    """(kind, name) of everything a case may change: arguments, then config keys."""
    out = [("argument", p) for p in parameters(fn)]
    out += [("config", k) for k in fn.config_keys]
    return out


def all_cases():
    fns = all_functions()
    cases = []
    for fn in fns:
        cases.append(Case(fn.qualname, "baseline"))
        for kind, name in targets(fn):
            cases += [Case(fn.qualname, kind, name, v) for v in VALUES]
        if "config" in parameters(fn):
            cases += [Case(fn.qualname, "whole config", value=w) for w in WHOLE_CONFIG]
        if fn.formats:
            cases += [Case(fn.qualname, "format item", fn.formats, v)
                      for v in list(ODD) + list(ODD_SUBCLASSES)]
        cases += [Case(fn.qualname, "variant", value=v) for v in fn.variants]
    # Each module builds its own function type: one case a module pokes at it.
    first = {}
    for fn in fns:
        first.setdefault(fn.module, fn)
    cases += [Case(fn.qualname, "function type") for fn in first.values() if fn.call is None]
    rng = random.Random(SEED)
    choices = [(fn, targets(fn)) for fn in fns]
    choices = [(fn, t) for fn, t in choices if len(t) >= 2]
    values = list(ODD) + [REALISTIC]  # the sample drawn before the subclasses joined
    combined = []
    while len(combined) < COMBINATIONS:
        fn, ts = rng.choice(choices)
        picked = rng.sample(ts, min(len(ts), rng.choice((2, 3))))
        pairs = [(f"{kind}:{name}", rng.choice(values)) for kind, name in picked]
        combined.append(Case(fn.qualname, "combined",
                             "; ".join(f"{t}={v}" for t, v in pairs)))
    # one function's cases together, so each child warms each function once
    order = {fn.qualname: i for i, fn in enumerate(fns)}
    return sorted(cases + combined, key=lambda c: order[c.fn])


# ---- running one case (in the child) ---------------------------------------------------------

def odd_value(ctx, value, baseline):
    if value == REALISTIC:
        return realistic(ctx, baseline)
    if value in ODD_SUBCLASSES:
        return ODD_SUBCLASSES[value](ctx, baseline)
    return ODD[value](ctx)


def skip_realistic(value, baseline):
    return value == REALISTIC and not isinstance(baseline, str)


def apply(ctx, fn, kwargs, kind, name, value):
    """Changes kwargs as the case says.  Returns None when the case does not apply,
    else whether the new value is of the very type of the baseline's (a text for a
    text, an int for an int, a float for a float, a bool for a bool)."""
    where = kwargs if kind == "argument" else kwargs["config"]
    baseline = where.get(name)
    if skip_realistic(value, baseline):
        return None
    where[name] = odd_value(ctx, value, baseline)
    return baseline is not None and type(where[name]) is type(baseline)


def prepare(ctx, fn, case):
    """The keyword arguments of the case's call (None where the case does not
    apply), and whether the case keeps each value's own type: a variant changes
    only the texts of the data, a format item of text is a format word."""
    kwargs = fn.baseline(ctx)
    same_type = case.kind == "variant" or (case.kind == "format item" and case.value in TEXTS)
    if case.kind in ("argument", "config"):
        same_type = apply(ctx, fn, kwargs, case.kind, case.target, case.value)
        if same_type is None:
            return None, False
    elif case.kind == "whole config":
        kwargs["config"] = WHOLE_CONFIG[case.value](kwargs["config"])
    elif case.kind == "format item":
        kwargs[fn.formats] = [odd_value(ctx, case.value, "svg")]
    elif case.kind == "variant":
        fn.variants[case.value](ctx, kwargs)
    elif case.kind == "combined":
        # config values first, so that an argument that replaces the config wins
        pairs = [p.split("=", 1) for p in case.target.split("; ")]
        pairs.sort(key=lambda p: not p[0].startswith("config:"))
        for target, value in pairs:
            kind, name = target.split(":", 1)
            if kind == "config" and not isinstance(kwargs.get("config"), dict):
                continue
            apply(ctx, fn, kwargs, kind, name, value)
    return kwargs, same_type


def text_of(e):
    try:
        return str(e)
    except Exception:
        return f"<str() of the {type(e).__name__} raised>"


def chain(e):
    """The exception, its causes and contexts."""
    seen, todo = [], [e]
    while todo:
        x = todo.pop()
        if x is None or any(x is s for s in seen):
            continue
        seen.append(x)
        todo += [x.__cause__, x.__context__]
    return seen


def raised_here(e):
    """True when the innermost frame of the traceback is in this file: the
    exception came from compiled code that this file called."""
    tb = e.__traceback__
    while tb is not None and tb.tb_next is not None:
        tb = tb.tb_next
    return tb is not None and tb.tb_frame.f_code.co_filename == __file__


def judge(e, same_type=False):
    """(failed, outcome) for an exception that the call raised; same_type: the case
    put a value of the baseline's own type in its place."""
    head = f"{type(e).__module__}.{type(e).__qualname__}".replace("builtins.", "")
    outcome = f"raised {head}: {text_of(e)}"[:600]
    if not isinstance(e, Exception):
        return True, f"{outcome} (not an Exception subclass)"
    if isinstance(e, SystemError):
        return True, outcome
    for x in chain(e):
        t = f"{type(x).__name__}: {text_of(x)}"
        leak = [w for w in LEAKS if w in t]
        if leak:
            where = "" if x is e else f" (in its cause/context {t[:300]!r})"
            return True, f"{outcome}: names {leak}{where}"
    message = text_of(e)
    if INTERNAL in message:
        return True, f"{outcome} (a C++ exception escaped)"
    if type(e) is RuntimeError and raised_here(e):
        # The package raises no RuntimeError of its own: one that no Python code
        # raised is a C++ failure passed on with its C++ text.
        return True, f"{outcome} (a C++ failure as RuntimeError)"
    if same_type and REFUSED.search(message):
        return True, f"{outcome} (a value of the very type that belongs there, refused)"
    return False, outcome


class Records(logging.Handler):
    """Formats every record's message as a log handler would, and drops it."""

    def emit(self, record):
        record.getMessage()


def poke_function_type(function):
    """Tries to make an object of the type of `function` from Python, as a careful
    caller or a test tool might, and uses whatever it gets.  The type's own
    answer must be a TypeError; an object made anyway is a failure (and one that
    reaches a missing table is a crash)."""
    kind = type(function)
    made = []
    for make in (kind, lambda: kind.__new__(kind), lambda: object.__new__(kind)):
        try:
            made.append(make())
        except TypeError:
            pass
    for obj in made:
        for use in (repr, lambda o: o(), inspect.signature, lambda o: o.__reduce__()):
            try:
                use(obj)
            except Exception:  # noqa: BLE001 - any ordinary answer will do
                pass
    if made:
        return True, f"{kind.__name__}() made {len(made)} object(s) from Python"
    return False, "refused"


def run_case(ctx, modules, fns, case):
    fn = fns[case.fn]
    if case.kind == "function type":
        return poke_function_type(fn.target(modules[fn.module]))
    kwargs, same_type = prepare(ctx, fn, case)
    if kwargs is None:
        return False, "not applicable"
    module = modules[fn.module]
    call = (lambda: fn.call(module, kwargs)) if fn.call else (
        lambda: fn.target(module)(**kwargs))
    faulthandler.dump_traceback_later(CALL_TIMEOUT, exit=True)
    try:
        call()
    except BaseException as e:  # noqa: B902 - judged below, also what is no Exception
        failed, outcome = judge(e, same_type)
    else:
        failed, outcome = False, "returned"
    finally:
        faulthandler.cancel_dump_traceback_later()
    if case.kind == "baseline" and outcome != "returned":
        failed, outcome = True, f"baseline call does not work: {outcome}"
    return failed, outcome


def reset(ctx, root_handlers, levels):
    import matplotlib.pyplot as plt
    plt.close("all")
    os.chdir(ctx.dir)
    root = logging.getLogger()
    for h in root.handlers[:]:
        if h not in root_handlers:
            root.removeHandler(h)
            h.close()
    for h in root_handlers:
        if h not in root.handlers:
            root.addHandler(h)
    root.setLevel(logging.DEBUG)
    for name, level in levels.items():
        logging.getLogger(name).setLevel(level)


def limit_memory():
    """A runaway allocation ends in MemoryError instead of eating the machine; a
    sanitizer runtime reserves address space of its own and is left alone."""
    if "asan" in os.environ.get("LD_PRELOAD", "") or "asan" in os.environ.get("ASAN_OPTIONS", ""):
        return
    import resource
    limit = 8 << 30
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    if hard == resource.RLIM_INFINITY or hard > limit:
        resource.setrlimit(resource.RLIMIT_AS, (limit, hard))


def offline_maps(natural_earth_dir, downloads):
    import cartopy
    from cartopy.io import Downloader, shapereader

    cartopy.config["pre_existing_data_dir"] = natural_earth_dir
    cartopy.config["data_dir"] = downloads

    def no_download(self, target_path, format_dict):
        raise RuntimeError(f"map data download attempted: {target_path}")

    for downloader in (Downloader, shapereader.NEShpDownloader):
        downloader.acquire_resource = no_download


def setup(workdir, natural_earth_dir):
    faulthandler.enable(all_threads=True)
    limit_memory()
    warnings.simplefilter("ignore")
    import matplotlib
    matplotlib.use("Agg")
    import importlib
    modules = {m: importlib.import_module(f"kvelo.py.{m}") for m in MODULES}
    expected = os.environ.get("KVELO_ODD_PACKAGE")
    loaded = os.path.dirname(os.path.abspath(modules["io"].__file__))
    if expected and loaded != expected:
        raise SystemExit(f"the campaign child loaded {loaded}, the test {expected}")
    # The location map spreads its labels with adjust_text, which takes about a
    # second a call; a stand-in keeps the campaign quick.
    modules["geoplex"].adjust_text = lambda *a, **kw: None
    # The maps' tight_layout (no arguments of ours) lays out cartopy's grid labels,
    # two thirds of a map's cost; figures that are saved still get their tight box.
    import matplotlib.pyplot as plt
    plt.tight_layout = lambda *a, **kw: None
    offline_maps(natural_earth_dir, os.path.join(workdir, "downloads"))
    ctx = Context(workdir)
    os.chdir(workdir)
    fns = {fn.qualname: fn for fn in all_functions()}
    cases = all_cases()
    root = logging.getLogger()
    for h in root.handlers[:]:
        root.removeHandler(h)
    root.addHandler(Records())
    root_handlers = root.handlers[:]
    levels = {n: logging.getLogger(n).level for n in ("matplotlib", "PIL", "fiona",
                                                      "fiona.env", "rasterio", "gdal")}
    reset(ctx, root_handlers, levels)
    return ctx, modules, fns, cases, lambda: reset(ctx, root_handlers, levels)


def child(workdir, natural_earth_dir, fd):
    proto = os.fdopen(fd, "w", buffering=1)
    ctx, modules, fns, cases, after = setup(workdir, natural_earth_dir)
    proto.write("ready\n")
    for line in sys.stdin:
        i = int(line)
        sys.stderr.write(f"\n@@ case {i}\n")
        sys.stderr.flush()
        began = time.perf_counter()
        failed, outcome = run_case(ctx, modules, fns, cases[i])
        after()
        proto.write(json.dumps({"i": i, "failed": failed, "outcome": outcome,
                                "seconds": time.perf_counter() - began}) + "\n")


def reproduce(described):
    """Runs the one case whose description (as the test reports it) is given, in a
    fresh temporary directory, and prints its outcome."""
    import tempfile

    from support.natural_earth import write_natural_earth
    workdir = tempfile.mkdtemp(prefix="odd_case_")
    ne = write_natural_earth(pathlib.Path(workdir, "natural_earth"))
    ctx, modules, fns, cases, after = setup(os.path.join(workdir, "run"), str(ne))
    wanted = [c for c in cases if c.describe() == described]
    if not wanted:
        raise SystemExit(f"no case is described as {described!r}")
    failed, outcome = run_case(ctx, modules, fns, wanted[0])
    print(("FAILED: " if failed else "ok: ") + outcome)
    shutil.rmtree(workdir, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    if sys.argv[1] == "repro":
        sys.exit(reproduce(sys.argv[2]))
    child(sys.argv[1], sys.argv[2], int(sys.argv[3]))
