"""Collocated figures: the regional mean figure and the station figures."""
import logging
import math
import os
import textwrap

import matplotlib.axes
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest

from kvelo.py import chronoplex
from support.child import output
from support.compare import bits
from support.odd_values import MappingOnly
from support.reference import collocated_regional
from support.texts import DASH, short_end, start

START = start("plot_station_timeseries_collocation")
END = short_end("plot_station_timeseries_collocation")


class Drawn:
    """What the figures showed when saved, and the data each line was drawn from."""

    def __init__(self, monkeypatch, write=False):
        self.saved, self.plots, self.bands = [], [], []
        real_plot, real_fill, real_save = (matplotlib.axes.Axes.plot,
                                           matplotlib.axes.Axes.fill_between, plt.savefig)

        def plot(ax, x, y, **kw):
            self.plots.append((ax, x, y, kw))
            return real_plot(ax, x, y, **kw)

        def fill_between(ax, x, lo, hi, **kw):
            self.bands.append((ax, x, lo, hi, kw))
            return real_fill(ax, x, lo, hi, **kw)

        def savefig(path, **kw):
            ax = plt.gcf().axes[0]
            legend = ax.get_legend()
            self.saved.append({
                "path": path, "kw": kw, "ax": ax, "title": ax.get_title(),
                "xlabel": ax.get_xlabel(), "ylabel": ax.get_ylabel(),
                "legend": [t.get_text() for t in legend.get_texts()] if legend else [],
                "yscale": ax.get_yscale(), "ylim": ax.get_ylim()})
            if write:
                real_save(path, **kw)

        monkeypatch.setattr(matplotlib.axes.Axes, "plot", plot)
        monkeypatch.setattr(matplotlib.axes.Axes, "fill_between", fill_between)
        monkeypatch.setattr(plt, "savefig", savefig)

    def paths(self):
        return [s["path"] for s in self.saved]

    def lines(self, index=0):
        """(label, x, y) of the lines drawn on the index-th saved figure."""
        ax = self.saved[index]["ax"]
        return [(kw.get("label"), x, y, kw) for a, x, y, kw in self.plots if a is ax]


@pytest.fixture
def drawn(monkeypatch):
    return Drawn(monkeypatch)


@pytest.fixture(autouse=True)
def no_open_figures():
    yield
    assert plt.get_fignums() == []


def station(sid, times, name=None, **series):
    sd = {"site_id": sid, "site_name": sid if name is None else name, "lat": 1.0, "lon": 2.0,
          "elevation_m": 3.0, "time": list(pd.to_datetime(times)), "n_valid": math.nan}
    for key, values in series.items():
        sd[key] = [np.float64(v) for v in values]
    return sd


DAYS = pd.date_range("2021-03-01", periods=10, freq="D")


def two_stations():
    return {"S2": station("S2", DAYS, "Beta", O3_obs=np.arange(10.0) + 20,
                          O3_exp1=np.arange(10.0) + 22, O3_exp2=np.arange(10.0) + 18),
            "S1": station("S1", DAYS, "Alpha", O3_obs=np.arange(10.0) + 10,
                          O3_exp1=np.arange(10.0) + 12, O3_exp2=np.arange(10.0) + 8)}


def draw(data, config=None, unit="ppb", debug=False, formats=("png",), base="out/o3"):
    return chronoplex.plot_station_timeseries_collocation(
        {} if config is None else config, data, "unused", "csv", "", base, list(formats),
        "never shown", "O3", unit, "daily", debug)


def test_regional_and_station_figures(drawn):
    config = {"experiments": "exp1, exp2 ,exp3", "exp_labels": "Run one,, Run two",
              "plot_region": "EU", "start_date": "2021-03-01", "end_date": "2021-03-10"}
    assert draw(two_stations(), config, formats=("png", "pdf")) is None
    region = chronoplex.get_readable_region_name("EU")
    dates = f"2021-03-01 to 2021-03-10 (daily)"
    assert drawn.paths() == ["out/o3_regional_mean_minmax.png", "out/o3_regional_mean_minmax.pdf",
                             "out/o3_Alpha_logFalse_minmax.png", "out/o3_Alpha_logFalse_minmax.pdf",
                             "out/o3_Beta_logFalse_minmax.png", "out/o3_Beta_logFalse_minmax.pdf"]
    regional, alpha = drawn.saved[0], drawn.saved[2]
    assert all(s["kw"] == {"dpi": 300, "bbox_inches": "tight"} for s in drawn.saved)
    assert regional["title"] == f"{region}: O3 {DASH} {dates}"
    assert alpha["title"] == f"{region} (Alpha): O3 {DASH} {dates}"
    assert (regional["xlabel"], regional["ylabel"]) == ("Time", "O3 [ppb]")
    # A name without a label keeps its full key; the station obs line shows its key.
    assert regional["legend"] == ["Station range", "Observation (mean)", "Run one", "Run two"]
    assert alpha["legend"] == ["O3_obs", "Run one", "Run two"]
    assert regional["yscale"] == "linear"

    (label, x, y, kw), *exps = drawn.lines(0)
    assert label == "Observation (mean)" and kw["marker"] == "o" and kw["zorder"] == 3
    assert "linewidth" not in kw
    np.testing.assert_array_equal(np.asarray(y), np.arange(10.0) + 15)
    assert [e[3]["linewidth"] for e in exps] == [1.5, 1.5] and exps[0][3]["zorder"] == 2
    (_, bx, lo, hi, bkw), = [b for b in drawn.bands if b[0] is regional["ax"]]
    assert bkw == {"color": "gray", "alpha": 0.2, "label": "Station range"}
    np.testing.assert_array_equal(lo, np.arange(10.0) + 10)
    np.testing.assert_array_equal(hi, np.arange(10.0) + 20)
    alpha_lines = drawn.lines(2)
    np.testing.assert_array_equal(alpha_lines[0][2], np.arange(10.0) + 10)
    assert all(kw["linewidth"] == 1.5 and "zorder" not in kw for *_, kw in alpha_lines)


def test_renders_real_files(monkeypatch, tmp_path):
    data = two_stations()
    data["S1"]["O3_obs"][3] = np.nan
    data["S3"] = station("S3", DAYS, "Gamma/Delta", O3_obs=np.arange(10.0) * 2)
    draw(data, {"fix_y_axis": True, "experiments": "exp1", "exp_labels": "Model A"},
         base=str(tmp_path / "o3"))
    assert sorted(os.listdir(tmp_path)) == [
        "o3_Alpha_logFalse_minmax_yfixed.png", "o3_Beta_logFalse_minmax_yfixed.png",
        "o3_Gamma_Delta_logFalse_minmax_yfixed.png", "o3_regional_mean_minmax_yfixed.png"]
    assert all(p.stat().st_size > 10000 for p in tmp_path.iterdir())


@pytest.mark.parametrize("log_y_axis, unit, scale, regional, station", [
    (None, "ppb", "linear", "", "_logFalse"),
    (None, "molec/cm2", "log", "_log", "_logTrue"),
    (1, "ppb", "log", "_log", "_log1"),
    (False, "molec/cm2", "linear", "", "_logFalse"),
    (0, "molec/cm2", "linear", "", "_log0"),
])
def test_log_choice(drawn, monkeypatch, log_y_axis, unit, scale, regional, station):
    asked = []
    real = chronoplex.is_log_unit
    monkeypatch.setattr(chronoplex, "is_log_unit", lambda u: asked.append(u) or real(u))
    config = {"show_min_max": False}
    if log_y_axis is not None:
        config["log_y_axis"] = log_y_axis
    draw({"S1": two_stations()["S1"]}, config, unit=unit)
    assert drawn.paths() == [f"out/o3_regional_mean{regional}.png", f"out/o3_Alpha{station}.png"]
    assert [s["yscale"] for s in drawn.saved] == [scale, scale]
    assert asked == ([unit] if log_y_axis is None else [])


def test_fixed_limits_shared_by_every_figure(drawn):
    data = two_stations()
    data["S1"]["O3_exp1"] = [np.float64(v) for v in np.arange(10.0) + 100]  # far above
    draw(data, {"fix_y_axis": True, "show_min_max": False})
    assert drawn.paths()[0] == "out/o3_regional_mean_yfixed.png"
    # Band of the observation: 10 .. 29, margin 5 % of 19.
    assert all(s["ylim"] == pytest.approx((10 - 0.95, 29 + 0.95)) for s in drawn.saved)


def test_debug_lines_and_percentages(drawn, caplog):
    caplog.set_level(logging.DEBUG)
    data = two_stations()
    obs = data["S1"]["O3_obs"]
    for i in (1, 4, 7):
        obs[i] = np.nan
    data["S0"] = station("S0", [], O3_obs=[])           # no time: ignored everywhere
    data["S9"] = station("S9", DAYS, O3=np.ones(10))      # bare variable key: valid, no data key
    draw(data, debug=True)
    messages = [r.getMessage() for r in caplog.records]
    assert messages[:3] == [START, "Using 3 valid stations out of 4",
                            "Detected keys: ['O3_obs', 'O3_exp1', 'O3_exp2']"]
    assert "[O3_exp1] valid data: 100.0%" in messages
    assert "[S1] O3_obs: 70.0% valid" in messages
    assert messages[-1] == END
    assert "out/o3_S9_logFalse_minmax.png" not in drawn.paths()


def test_no_valid_station(drawn, caplog):
    caplog.set_level(logging.DEBUG)
    data = {"A": station("A", [], O3_obs=[]), "B": station("B", DAYS, O3_obs=[np.nan] * 10)}
    assert draw(data, debug=True) is None
    assert drawn.saved == []
    assert [r.getMessage() for r in caplog.records] == [
        START, "No valid stations available for plotting."]


def test_only_bare_variable_keys_end_without_figure(drawn, caplog):
    # Valid stations, but no key gives the regional figure its time axis.
    caplog.set_level(logging.DEBUG)
    data = {"A": station("A", DAYS, O3=np.arange(10.0)), "B": station("B", DAYS, O3max=[1] * 10)}
    assert draw(data, debug=True) is None
    assert drawn.saved == [] and drawn.plots == []
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("DEBUG", START), ("DEBUG", "Using 2 valid stations out of 2"),
        ("DEBUG", "Detected keys: []"),
        ("WARNING", "No data keys starting with 'O3_' found; nothing to plot.")]


def test_experiment_warnings(drawn, caplog):
    data = {"S1": station("S1", DAYS[:5], O3_obs=[1, 2, 3, 4, 5], O3_exp1=[np.nan] * 5),
            "S2": station("S2", DAYS[5:], O3_exp2=[1, 2, 3, 4, 5])}
    draw(data)
    warnings = [r.getMessage() for r in caplog.records if r.levelname == "WARNING"]
    assert warnings == ["Skipping experiment O3_exp1: all values are NaN.",
                        "Skipping experiment O3_exp2: not enough data to plot (only 0 points)."]
    assert drawn.saved[0]["legend"][-1] == "Observation (mean)"
    # Station S2 has its experiment with enough points.
    assert drawn.paths()[1:] == ["out/o3_S1_logFalse_minmax.png", "out/o3_S2_logFalse_minmax.png"]


def test_without_observation_key_the_first_experiment_leads(drawn):
    data = {"S1": station("S1", DAYS[:6], O3_exp2=np.arange(6.0), O3_exp1=np.arange(6.0) * 2),
            "S2": station("S2", DAYS[3:], O3_exp2=np.arange(7.0))}
    draw(data)
    (_, x, lo, hi, _), = drawn.bands
    assert list(x) == list(DAYS[:6])          # the band describes O3_exp1
    np.testing.assert_array_equal(hi, np.arange(6.0) * 2)
    lines = drawn.lines(0)
    assert [line[0] for line in lines] == ["O3_exp1", "O3_exp2"]
    assert list(lines[1][1]) == list(DAYS[:6])  # O3_exp2 aligned to the O3_exp1 stamps
    np.testing.assert_array_equal(lines[1][2], [0, 1, 2, 1.5, 2.5, 3.5])


def test_station_figures_gate_and_short_series(drawn, caplog):
    caplog.set_level(logging.DEBUG)
    data = two_stations()
    data["S3"] = station("S3", DAYS, O3_obs=[1] + [np.nan] * 9, O3_exp1=[np.nan] * 9 + [1],
                         O3_exp2=[np.nan] * 10)
    draw(data, debug=True)
    assert not any("S3" in p for p in drawn.paths())
    assert not any(m.startswith("[S3]") for m in caplog.messages)
    caplog.clear()
    drawn.saved.clear()
    draw(data, {"show_stations": 0}, debug=True)
    assert drawn.paths() == ["out/o3_regional_mean_minmax.png"]
    assert END not in caplog.messages


def test_site_name_rules(drawn):
    data = {"S1": station("S1", DAYS, "../up/and away", O3_obs=np.arange(10.0)),
            "S2": station("S2", DAYS, "", O3_obs=np.arange(10.0))}
    del data["S1"]["lat"]
    data["S3"] = station("S3", DAYS, O3_obs=np.arange(10.0))
    del data["S3"]["site_name"]
    draw(data, {"show_min_max": False})
    assert drawn.paths()[1:] == ["out/o3_.._up_and away_logFalse.png", "out/o3__logFalse.png",
                                 "out/o3_S3_logFalse.png"]
    titles = [s["title"].split(":")[0] for s in drawn.saved[1:]]
    region = chronoplex.get_readable_region_name("Region")
    assert titles == [f"{region} (../up/and away)", f"{region} ()", f"{region} (S3)"]


def test_stations_sharing_a_name_keep_their_own_files(drawn, caplog):
    data = {sid: station(sid, DAYS, name, O3_obs=np.arange(10.0))
            for sid, name in [("S1", "Alpha"), ("S2", "Alpha"), ("S3", math.nan), ("S4", "nan"),
                              ("x/y", "Alpha")]}
    draw(data, {"show_min_max": False})
    assert drawn.paths()[1:] == ["out/o3_Alpha_logFalse.png", "out/o3_Alpha_S2_logFalse.png",
                                 "out/o3_nan_logFalse.png", "out/o3_nan_S4_logFalse.png",
                                 "out/o3_Alpha_x_y_logFalse.png"]
    assert [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING] == [
        "Stations S1 and S2 share the file name 'Alpha'; figures of S2 are named 'Alpha_S2'.",
        "Stations S3 and S4 share the file name 'nan'; figures of S4 are named 'nan_S4'.",
        "Stations S1 and x/y share the file name 'Alpha'; figures of x/y are named 'Alpha_x_y'."]
    assert [s["title"].split(":")[0].split(" ", 1)[1] for s in drawn.saved[1:]] == [
        "(Alpha)", "(Alpha)", "(nan)", "(nan)", "(Alpha)"]


def test_any_mapping_draws_as_a_dict_does(drawn):
    draw(two_stations())
    as_dict = [(s["path"], s["legend"]) for s in drawn.saved]
    drawn.saved.clear()
    draw(MappingOnly({sid: MappingOnly(sd) for sid, sd in two_stations().items()}))
    assert [(s["path"], s["legend"]) for s in drawn.saved] == as_dict


def test_empty_format_list_draws_and_closes(drawn):
    draw(two_stations(), formats=())
    assert drawn.saved == [] and len(drawn.plots) == 3 + 6


@pytest.mark.parametrize("failing_call, saved", [(1, []), (2, ["out/o3_regional_mean_minmax.png"])])
def test_error_in_a_figure_closes_it_and_propagates(drawn, monkeypatch, caplog, failing_call,
                                                    saved):
    caplog.set_level(logging.DEBUG)
    calls = []

    def apply_time_axis_format(ax, times, force_full_year):
        calls.append(ax)
        if len(calls) == failing_call:
            raise RuntimeError("axis trouble")

    monkeypatch.setattr(chronoplex, "apply_time_axis_format", apply_time_axis_format)
    with pytest.raises(RuntimeError, match="axis trouble"):
        draw(two_stations(), debug=True)
    assert drawn.paths() == saved
    assert END not in caplog.messages


def test_length_mismatch_closes_the_figure(drawn):
    data = two_stations()
    data["S1"]["O3_exp1"] = data["S1"]["O3_exp1"][:-1]
    with pytest.raises(ValueError):
        draw(data)


def random_stations(seed, n, complete=False, object_values=False):
    rng = np.random.default_rng(seed)
    stamps = pd.date_range("2022-01-01", periods=60, freq="h")
    data = {}
    for i in range(n):
        sid = f"ST{i:03d}"
        t = stamps if complete else stamps[np.sort(rng.integers(0, 60, size=40))]
        vals = {k: rng.normal(40, 10, len(t)) * 10.0 ** rng.integers(-3, 4)
                for k in ["O3_obs", "O3_exp1", "O3_exp2"]}
        if not complete:
            for v in vals.values():
                v[rng.random(len(t)) < 0.2] = np.nan
        sd = station(sid, t, **vals)
        if not complete and i % 7 == 0:
            sd["time"][0] = pd.NaT
        if object_values and i == 3:
            sd["O3_exp1"] = [None if math.isnan(v) else float(v) for v in sd["O3_exp1"]]
        data[sid] = sd
    return data


@pytest.mark.parametrize("kind", [
    dict(n=150),                          # gaps, repeated stamps, NaT, more than 128 stations
    dict(n=20, complete=True),            # no missing cell anywhere
    dict(n=12, object_values=True),       # one station's values as plain objects
])
def test_regional_aggregates_equal_library_formulation(drawn, kind):
    data = random_stations(5, **kind)
    draw(data, {"show_stations": False})
    tables = collocated_regional(data, ["O3_obs", "O3_exp1", "O3_exp2"])
    obs = tables["O3_obs"]
    (_, x, y, _), *exps = drawn.lines(0)
    assert np.array_equal(np.asarray(x), obs.index.values)
    assert np.array_equal(np.asarray(y), obs.mean(axis=1).values, equal_nan=True)
    (_, bx, lo, hi, _), = drawn.bands
    assert np.array_equal(np.asarray(lo), obs.min(axis=1).values, equal_nan=True)
    assert np.array_equal(np.asarray(hi), obs.max(axis=1).values, equal_nan=True)
    for (label, ex, ey, _), key in zip(exps, ["O3_exp1", "O3_exp2"]):
        want = tables[key].mean(axis=1).reindex(obs.index).dropna()
        assert label == key
        assert np.array_equal(np.asarray(ex), want.index.values)
        assert np.array_equal(np.asarray(ey), want.values)


@pytest.fixture
def ylims(monkeypatch):
    """The limits every set_ylim call was given."""
    calls, real = [], matplotlib.axes.Axes.set_ylim

    def set_ylim(ax, *args, **kw):
        calls.append(args[0] if args else None)
        return real(ax, *args, **kw)

    monkeypatch.setattr(matplotlib.axes.Axes, "set_ylim", set_ylim)
    return calls


def assert_regional_as_library(drawn, data, ylims=None):
    """The observation's regional mean, band and fixed range are the library's, bit for bit."""
    obs = collocated_regional(data, ["O3_obs"])["O3_obs"]
    mean, lo, hi = obs.mean(axis=1), obs.min(axis=1), obs.max(axis=1)
    (label, x, y, _), = [line for line in drawn.lines(0) if line[0] == "Observation (mean)"]
    (_, bx, blo, bhi, _), = drawn.bands
    assert bits(x) == bits(obs.index) and bits(bx) == bits(obs.index)
    assert bits(y) == bits(mean)
    assert (bits(blo), bits(bhi)) == (bits(lo), bits(hi))
    if ylims is not None:
        low, high = lo.min(), hi.max()
        margin = 0.05 * (high - low)
        assert [bits(v) for v in ylims[0]] == [bits(low - margin), bits(high + margin)]


def typed_values(kind, rng, n):
    v = rng.normal(40, 10, n) * 10.0 ** rng.integers(-3, 4)
    v[rng.random(n) < 0.2] = np.nan
    whole = np.nan_to_num(v).round()
    return {
        "float32": lambda: [np.float32(x) for x in v],
        "float32 array": lambda: v.astype(np.float32),
        "int": lambda: [np.int64(x) for x in whole],
        "python int": lambda: [int(x) for x in whole],
        "bool": lambda: [np.bool_(x > 40) for x in whole],
        # Objects the library turns into float64 (None among numbers).
        "none": lambda: [None if np.isnan(x) else float(x) for x in v],
        "float32 and float": lambda: [np.float32(v[0])] + [float(x) for x in v[1:]],
    }[kind]()


@pytest.mark.parametrize("kinds", [
    ["float32"], ["float32 array"], ["int"], ["python int"], ["bool"], ["none"],
    ["float32 and float"],
    ["float32", "float32 array"],
    ["float32", None],                    # float32 stations beside float64 ones
    ["int", "bool", None],                # all averaged as float64
])
@pytest.mark.parametrize("complete", [False, True])
def test_regional_aggregates_keep_the_library_dtype(drawn, ylims, kinds, complete):
    rng = np.random.default_rng(11)
    data = random_stations(3, 25, complete=complete)
    for k, sid in enumerate(sorted(data)):
        kind = kinds[k % len(kinds)]
        if kind is not None:
            data[sid]["O3_obs"] = typed_values(kind, rng, len(data[sid]["time"]))
    draw(data, {"show_stations": False, "fix_y_axis": True})
    assert_regional_as_library(drawn, data, ylims)


def test_object_values_stay_with_the_library(drawn):
    # A bool among numbers: the library keeps objects and averages them as such.
    data = two_stations()
    data["S1"]["O3_obs"] = [True] + [float(v) for v in data["S1"]["O3_obs"][1:]]
    draw(data, {"show_stations": False, "show_min_max": False})
    mean = collocated_regional(data, ["O3_obs"])["O3_obs"].mean(axis=1)
    (_, _, y, _), = [line for line in drawn.lines(0) if line[0] == "Observation (mean)"]
    assert np.asarray(y).dtype == object == mean.dtype
    assert [(type(a), a) for a in y] == [(type(b), b) for b in mean]


def test_float32_mean_is_taken_in_float32(drawn, ylims):
    values = [np.float32(39.8), np.float32(39.9), np.float32(39.9)]
    data = {f"S{k}": station(f"S{k}", DAYS[:2]) for k in range(3)}
    for sd, v in zip(data.values(), values):
        sd["O3_obs"] = [v, v]
    draw(data, {"show_stations": False, "fix_y_axis": True})
    (_, _, y, _), = drawn.lines(0)
    assert np.asarray(y).dtype == np.float32
    assert float(np.asarray(y)[0]) == float(np.float32(np.float32(39.8) + np.float32(39.9)
                                                      + np.float32(39.9)) / np.float32(3))
    assert_regional_as_library(drawn, data, ylims)


@pytest.mark.parametrize("values", [
    [0.0, -0.0, 0.0],                     # a -0.0 averaged with +0.0
    [-5e-324, 0.0, 5e-324],               # a tiny negative mean rounds to -0.0
])
def test_signed_zeros_in_the_band(drawn, values):
    t = list(pd.to_datetime(["2021-03-01", "2021-03-01", "2021-03-02"]))
    data = {f"S{k}": {"time": t, "O3_obs": [np.float64(v), 0.0, 1.0]}
            for k, v in enumerate(values)}
    data["S9"] = {"time": t[:1], "O3_obs": [-0.0]}     # a lone -0.0 averages to +0.0
    draw(data, {"show_stations": False})
    assert_regional_as_library(drawn, data)


def test_series_values_are_aligned_on_their_index(drawn):
    # The library aligns a Series on its index; read by position the band
    # would be 10, 20, 30.
    data = two_stations()
    for sd in data.values():
        sd["time"] = sd["time"][:3]
        del sd["O3_exp1"], sd["O3_exp2"]
    data["S1"]["O3_obs"] = pd.Series([30.0, 20.0, 10.0], index=data["S1"]["time"][::-1])
    data["S2"]["O3_obs"] = pd.Series([1.0, 2.0, 3.0])     # no stamp matches: all missing
    draw(data, {"show_stations": False})
    assert_regional_as_library(drawn, data)
    assert list(drawn.bands[0][2]) == [10.0, 20.0, 30.0]


def test_series_of_stamps_as_time(drawn):
    data = two_stations()
    for sd in data.values():
        sd["time"] = pd.Series(sd["time"], index=range(10, 20), name="time")
    draw(data, {"show_stations": False})
    assert_regional_as_library(drawn, data)


def test_value_list_holding_a_list_raises_the_library_error(drawn):
    data = two_stations()
    data["S1"]["O3_obs"] = [[1.0, 2.0], [3.0]] * 5
    with pytest.raises(TypeError) as library:
        collocated_regional(data, ["O3_obs"])["O3_obs"]
    with pytest.raises(TypeError) as ours:
        draw(data)
    assert str(ours.value) == str(library.value)


@pytest.mark.parametrize("call", [
    'chronoplex.plot_station_timeseries_collocation({"show_stations": False}, '
    '{"A": {"time": times, "O3_obs": list(values)}}, "", "", "", "o", [], "", "O3", "ppb")',
    # The plain figures' regional table reads the same stamps.
    'chronoplex.plot_station_timeseries_grouped_or_subplots('
    '{}, {"A": {"time": times, "value": values}}, "", "", "", "o", [], "t", "O3", "ppb")',
], ids=["collocated", "plain"])
def test_stamps_whose_length_lies_are_read_by_their_own_size(call):
    # `time` as a series whose len() reports five stamps fewer than it holds,
    # values of that reported length: paired by the reported length the values
    # would be read past their end.  The library refuses to pair them.
    code = textwrap.dedent("""
        import numpy as np, pandas as pd
        from kvelo.py import chronoplex
        class Stamps(pd.Series):
            @property
            def _constructor(self):
                return Stamps
            def __len__(self):
                return super().__len__() - 5
        times = Stamps(pd.date_range("2024-01-01", periods=2000, freq="h"))
        values = np.arange(1995.0)
        try:
            {call}
            print("no error")
        except Exception as e:
            print(type(e).__name__, e)
    """).format(call=call)
    assert output(code).strip() == ("ValueError Length of values (1995) does not match length "
                                    "of index (2000)")
