"""Collocated bias figures: regional mean bias with its band, station figures,
debug dumps, printed diagnostics and log lines."""

import logging
import math
import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.axes  # noqa: E402
import matplotlib.dates as mdates  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402

from kvelo.py import chronoplex  # noqa: E402
from support.bias import call  # noqa: E402
from support.figures import band_bounds, drawn_lines, legend_texts  # noqa: E402
from support.stations import T, station  # noqa: E402
from support.texts import NO_VALID_BIAS_DATA, end, start  # noqa: E402

START = start("plot_station_timeseries_bias3")
END = end("plot_station_timeseries_bias3")


def run(data, tmp_path, *args, **kwargs):
    call(chronoplex.plot_station_timeseries_bias3, data, tmp_path, *args, **kwargs)


@pytest.fixture
def ab_data():
    # Station A: biases 1, 3 at t1, t2; station B: 5, 7 at t2, t3.
    return {
        "B": station("B", T[1:3], [0, 0], name="Beta", ctrl=[5, 7]),
        "A": station("A", T[0:2], [10, 10], name="Alpha", ctrl=[11, 13]),
    }


def test_regional_mean_and_band_of_two_stations(ab_data, tmp_path, figures, caplog, capsys):
    caplog.set_level(logging.DEBUG)
    before = {sid: dict(sd) for sid, sd in ab_data.items()}
    config = {"experiments": "ctrl", "exp_labels": "Control", "plot_region": "EU",
              "start_date": "2024-01-01", "end_date": "2024-01-05"}
    run(ab_data, tmp_path, config, formats=["png", "pdf"], debug=True)

    assert len(figures) == 1
    ax = figures[0].axes[0]
    (line,) = drawn_lines(ax)
    assert line.get_label() == "Control"
    assert line.get_linewidth() == 1.5
    np.testing.assert_allclose(line.get_ydata(), [1.0, 4.0, 7.0])
    np.testing.assert_allclose(line.get_xdata().astype("datetime64[ns]").astype("int64"),
                               T[:3].asi8)
    bounds = band_bounds(ax.collections[0])
    expected = {mdates.date2num(t): b for t, b in zip(T[:3], [(1, 1), (3, 5), (7, 7)])}
    assert bounds.keys() == expected.keys()
    for x, b in expected.items():
        np.testing.assert_allclose(bounds[x], b)
    assert matplotlib.colors.same_color(ax.collections[0].get_facecolor()[0][:3],
                                        line.get_color())
    assert legend_texts(ax) == ["Control", "Control ±RMSE"]
    region = chronoplex.get_readable_region_name("EU")
    assert ax.get_title() == (
        f"{region}: O3 Bias [model - obs] — 2024-01-01 to 2024-01-05 (daily)")
    assert ax.get_ylabel() == "O3 Bias [ppb]" and ax.get_xlabel() == "Time"
    (zero,) = [ln for ln in ax.get_lines() if ln.get_label().startswith("_")]
    assert list(zero.get_ydata()) == [0, 0] and zero.get_linestyle() == "--"

    names = sorted(p.name for p in tmp_path.iterdir())
    assert names == ["run_regional_bias.pdf", "run_regional_bias.png"]
    saved = [r.getMessage() for r in caplog.records if r.getMessage().startswith("Saved")]
    assert saved == [f"Saved: {tmp_path}/run_regional_bias.{f}" for f in ("png", "pdf")]
    messages = [r.getMessage() for r in caplog.records]
    assert messages[0] == START
    assert messages[-2:] == ["Total stations with bias: 2 / 2", END]
    assert capsys.readouterr().out.splitlines() == [
        "[O3_ctrl] Bias mean shape: (3,)",
        "[O3_ctrl] RMSE shape: (3,)",
        "[O3_ctrl] RMSE band NaNs: 0 / 3",
        "[O3_ctrl] RMSE band min/max: 0.0 / 1.0",
    ]
    assert {sid: dict(sd) for sid, sd in ab_data.items()} == before


def test_station_figures_have_constant_population_band(tmp_path, figures, quick_save,
                                                      caplog):
    caplog.set_level(logging.DEBUG)
    data = {
        "S1": station("S1", T[:3], [1, 1, 1], name="Alpha", ctrl=[1, 1, 4]),
        "S2": station("S2", T[:3], [1, 1, 1], name=None, ctrl=[2, 2, 2]),
    }
    run(data, tmp_path, {"show_stations": True}, formats=["png"], debug=True)

    regional, first, second = figures
    ax = first.axes[0]
    (line,) = drawn_lines(ax)
    np.testing.assert_allclose(line.get_ydata(), [0, 0, 3])
    for x, (low, high) in band_bounds(ax.collections[0]).items():
        np.testing.assert_allclose(high - low, 2 * math.sqrt(2))
    assert ax.get_title().endswith("(Alpha): O3 Bias [model - obs] — None to None (daily)")
    assert legend_texts(ax) == ["O3_ctrl", "O3_ctrl ±RMSE"]
    # A constant bias has a band of zero width; a station without a name is named by its id.
    assert "(S2)" in second.axes[0].get_title()
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "run_Alpha_bias.png", "run_S2_bias.png", "run_regional_bias.png"]
    assert [r.getMessage() for r in caplog.records][-2:] == [
        "Total stations with bias: 2 / 2", END]


@pytest.mark.parametrize("times", [T, pd.DatetimeIndex(
    ["2024-01-01", "2024-01-02", "2024-01-05", "2024-01-09", "2024-01-20"])],
    ids=["equal", "unequal"])
def test_band_gaps_are_interpolated_then_filled(times, tmp_path, figures, monkeypatch, capsys):
    # Two stations of opposite bias give the band 0, 2, 0, 4, 0 around a zero mean;
    # the square root used for the band is made to lose t1, t3 and t5.
    class GappyNumpy:
        def __getattr__(self, name):
            return getattr(np, name)

        def sqrt(self, x):
            out = np.sqrt(x)
            out.iloc[[0, 2, 4]] = np.nan
            return out

    monkeypatch.setattr(chronoplex, "np", GappyNumpy())
    data = {
        "A": station("A", times, [0] * 5, ctrl=[0, 2, 0, 4, 0]),
        "B": station("B", times, [0] * 5, ctrl=[0, -2, 0, -4, 0]),
    }
    run(data, tmp_path, debug=True)
    bounds = band_bounds(figures[0].axes[0].collections[0])
    highs = [bounds[mdates.date2num(t)][1] for t in times]
    np.testing.assert_allclose(highs, [2.0, 2.0, 3.0, 4.0, 4.0])
    out = capsys.readouterr().out.splitlines()
    assert out[2:] == ["[O3_ctrl] RMSE band NaNs: 0 / 5", "[O3_ctrl] RMSE band min/max: 2.0 / 4.0"]


def test_all_nan_band_leaves_the_experiment_out(tmp_path, figures, caplog):
    caplog.set_level(logging.DEBUG)
    data = {"A": station("A", T[:2], [0, 0], bad=[np.inf, np.inf], ctrl=[1, 2])}
    run(data, tmp_path, {"experiments": "bad", "exp_labels": "Broken"})
    ax = figures[0].axes[0]
    assert legend_texts(ax) == ["O3_ctrl", "O3_ctrl ±RMSE"]
    warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert warnings == ["RMSE band for Broken is all NaN — skipping shading."]


@pytest.mark.filterwarnings("ignore:No artists with labels")
def test_nothing_drawn_regionally_skips_the_axis_format(tmp_path, figures, caplog, monkeypatch):
    calls = []
    monkeypatch.setattr(chronoplex, "apply_time_axis_format", lambda *a: calls.append(a))
    data = {"A": station("A", T[:2], [0, 0], bad=[np.inf, np.inf])}
    run(data, tmp_path, formats=["png"])
    assert calls == []
    assert "No valid time series for regional bias plot — axis format skipped." in caplog.messages
    assert (tmp_path / "run_regional_bias.png").exists()


@pytest.mark.parametrize(
    "experiments, exp_labels, expected",
    [
        ("ctrl, test", "Control,Test run",
         ["Control", "Control ±RMSE", "O3_new", "O3_new ±RMSE"]),
        ("ctrl", None, ["O3_ctrl", "O3_ctrl ±RMSE", "O3_new", "O3_new ±RMSE"]),
        (None, "Control", ["O3_ctrl", "O3_ctrl ±RMSE", "O3_new", "O3_new ±RMSE"]),
    ],
)
def test_label_map_pairs_experiments_with_labels(experiments, exp_labels, expected, tmp_path,
                                                 figures):
    data = {"A": station("A", T[:3], [0, 0, 0], ctrl=[1, 2, 3], new=[3, 2, 1])}
    run(data, tmp_path, {"experiments": experiments, "exp_labels": exp_labels})
    assert legend_texts(figures[0].axes[0]) == expected


def test_totals_and_skips_in_both_passes(tmp_path, figures, caplog):
    caplog.set_level(logging.DEBUG)
    data = {
        "S1": station("S1", T[:3], [1, 1, 1], ctrl=[2, 2, 2]),
        "S2": station("S2", T[:3], [1, None, None], ctrl=[2, 2, 2]),  # 1 pair only
        "S3": station("S3", T[:3], None, ctrl=[2, 2, 2]),
        "S4": station("S4", T[:3], [1, 1, None], ctrl=[2, 2, 2]),  # 2 pairs count
    }
    run(data, tmp_path, debug=True)
    skip = "[S2] Skipping bias for O3_ctrl: insufficient overlap (1 valid points)."
    assert skip in caplog.messages
    assert caplog.messages[-2] == "Total stations with bias: 3 / 4"

    caplog.clear()
    figures.clear()
    run(data, tmp_path, {"show_stations": 1}, debug=True)
    assert "[S2] Skipping bias for O3_ctrl: not enough overlap." in caplog.messages
    assert "[S2] No valid bias entries → excluded from plotting." in caplog.messages
    assert caplog.messages[-2:] == ["Total stations with bias: 2 / 4", END]
    assert len(figures) == 4  # regional, S1, S2 (closed unsaved), S4


def test_time_axis_follows_the_last_series_drawn(tmp_path, figures, monkeypatch):
    calls = []
    monkeypatch.setattr(chronoplex, "apply_time_axis_format",
                        lambda ax, times, full: calls.append((list(times), full)))
    data = {"A": station("A", T, [0, 0, 0, 0, 0], a=[1, 1, 1, None, None],
                         b=[None, 1, 1, 1, None], c=[None, None, None, None, 1])}
    run(data, tmp_path, {"show_stations": True, "force_full_year": "yes"})
    assert calls == [(list(T[1:4]), "yes"), (list(T[1:4]), "yes")]


def test_no_valid_data_warns_and_writes_nothing(tmp_path, figures, caplog):
    caplog.set_level(logging.DEBUG)
    data = {"A": station("A", T[:3], [1, 1, 1]), "B": station("B", T[:3], None, ctrl=[1, 2, 3])}
    run(data, tmp_path, {"show_stations": True}, formats=["png"], debug=True)
    assert caplog.messages == [START, NO_VALID_BIAS_DATA, END]
    assert figures == [] and list(tmp_path.iterdir()) == []


def test_debug_dumps(tmp_path, figures, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "output").mkdir()
    data = {
        "A": station("A", T[:3], [1, 2, 3], name="Alpha", ctrl=[2, 2, None]),
        "B": station("B", T[:3], [1, 2, 3], name=None, ctrl=[None, 5, None]),
    }
    run(data, tmp_path, {"debug_extended": True})
    assert sorted(os.listdir("output")) == sorted([
        "debug_obs_Alpha.csv", "debug_mod_O3_ctrl_Alpha.csv", "debug_bias_O3_ctrl_Alpha.csv",
        "debug_obs_unknown_site.csv", "debug_mod_O3_ctrl_unknown_site.csv",
        "debug_bias_O3_ctrl_unknown_site.csv",
        "debug_bias_mean_O3_ctrl.csv", "debug_bias_matrix_O3_ctrl.csv"])
    obs = pd.read_csv("output/debug_obs_Alpha.csv")
    assert list(obs.columns) == ["time", "O3_obs"] and list(obs["O3_obs"]) == [1, 2, 3]
    bias = pd.read_csv("output/debug_bias_O3_ctrl_Alpha.csv")
    assert list(bias["time"]) == ["2024-01-01", "2024-01-02"] and list(bias.iloc[:, 1]) == [1, 0]
    assert len(pd.read_csv("output/debug_bias_O3_ctrl_unknown_site.csv")) == 1
    mean = pd.read_csv("output/debug_bias_mean_O3_ctrl.csv")
    assert list(mean.columns) == ["0"] and list(mean["0"]) == [1.0, 0.0]
    matrix = pd.read_csv("output/debug_bias_matrix_O3_ctrl.csv")
    assert list(matrix.columns) == ["0"]


def test_debug_dump_without_output_directory_fails_before_any_figure(tmp_path, figures,
                                                                     monkeypatch):
    monkeypatch.chdir(tmp_path)
    data = {"A": station("A", T[:3], [1, 2, 3], ctrl=[2, 2, 2])}
    with pytest.raises(OSError):
        run(data, tmp_path, {"debug_extended": True})
    assert figures == []


def test_site_name_with_separators_stays_in_the_output_directory(tmp_path, figures, quick_save,
                                                                caplog):
    data = {"A": station("A", T[:3], [1, 2, 3], name="../up/x", ctrl=[2, 2, 2]),
            "B": station("B", T[:3], [1, 2, 3], name="", ctrl=[2, 2, 2])}
    run(data, tmp_path, {"show_stations": True}, formats=["png"])
    assert {p.name for p in tmp_path.iterdir()} == {
        "run__bias.png", "run_.._up_x_bias.png", "run_regional_bias.png"}
    assert not (tmp_path.parent / "up").exists()
    assert "(../up/x)" in figures[1].axes[0].get_title()


def test_empty_formats_and_none_texts(tmp_path, figures, caplog):
    caplog.set_level(logging.INFO)
    data = {"A": station("A", T[:3], [1, 2, 3], ctrl=[2, 2, 2])}
    run(data, tmp_path, {"show_stations": True}, unit=None, tavg=None)
    assert len(figures) == 2 and list(tmp_path.iterdir()) == []
    assert not [m for m in caplog.messages if m.startswith("Saved")]
    ax = figures[0].axes[0]
    assert ax.get_ylabel() == "O3 Bias [None]"
    assert ax.get_title().endswith("— None to None (None)")


@pytest.mark.filterwarnings("ignore:invalid value encountered")
def test_native_pairing_matches_the_table_library(tmp_path, figures, monkeypatch):
    """Float lists are paired natively; lists holding other items go through
    pandas. Both must give the same figures and dumps."""
    rng = np.random.default_rng(3)
    times = pd.date_range("2024-01-01", periods=40, freq="6h")

    def make(as_float):
        data = {}
        for i in range(11):
            obs = rng.integers(0, 50, 40).astype(float)
            obs[rng.random(40) < 0.2] = np.nan
            sd = station(f"S{i:02d}", times, obs, name=f"N{i}")
            for exp in ("a", "b"):
                mod = rng.integers(0, 50, 40).astype(float)
                mod[rng.random(40) < 0.2] = np.nan
                if exp == "b" and i == 0:
                    mod[5] = np.inf
                sd[f"O3_{exp}"] = list(mod)
            if not as_float:  # whole numbers as Python ints send every list through pandas
                for key in ("O3_obs", "O3_a", "O3_b"):
                    sd[key] = [v if not np.isfinite(v) else int(v) for v in sd[key]]
            data[f"S{i:02d}"] = sd
        return data

    results = []
    for as_float in (True, False):
        state = rng.bit_generator.state
        data = make(as_float)
        rng.bit_generator.state = state
        out = tmp_path / str(as_float)
        (out / "output").mkdir(parents=True)
        monkeypatch.chdir(out)
        figures.clear()
        run(data, out, {"show_stations": True, "debug_extended": True})
        drawn = []
        for fig in figures:
            ax = fig.axes[0]
            drawn.append([(ln.get_label(), np.asarray(ln.get_xdata(), dtype="datetime64[ns]"),
                           np.asarray(ln.get_ydata())) for ln in drawn_lines(ax)])
            drawn.append([p.vertices for c in ax.collections for p in c.get_paths()])
        dumps = {p.name: p.read_text() for p in sorted((out / "output").iterdir())}
        results.append((drawn, dumps))
        rng.bit_generator.state = state
    (native, native_dumps), (library, library_dumps) = results
    assert native_dumps == library_dumps and len(native_dumps) == 11 * 5 + 4
    assert len(native) == len(library) == 2 * 12
    for got, want in zip(native, library):
        assert len(got) == len(want)
        for g, w in zip(got, want):
            if isinstance(g, tuple):
                assert g[0] == w[0]
                np.testing.assert_array_equal(g[1], w[1])
                np.testing.assert_array_equal(g[2], w[2])
            else:
                np.testing.assert_array_equal(g, w)


@pytest.mark.filterwarnings("ignore:invalid value encountered")
@pytest.mark.parametrize("n_stations, layout", [
    (n, layout) for n in (1, 9) for layout in ("complete", "gaps", "shifted", "infinite")
] + [(130, "gaps")])  # more than 128 stations: the split pairwise sums
def test_native_regional_series_equal_the_library_bit_for_bit(n_stations, layout, tmp_path,
                                                             figures, monkeypatch):
    """The regional mean and band are computed natively unless the bias table
    is dumped; both ways give the same numbers to the last bit."""
    rng = np.random.default_rng(n_stations)
    times = pd.date_range("2024-01-01", periods=30, freq="h")
    data = {}
    for i in range(n_stations):
        t = times[i % 5:] if layout == "shifted" else times
        obs = rng.normal(30, 5, len(t))
        mod = obs + rng.normal(1, 3, len(t)) * 10.0 ** rng.uniform(-3, 3)
        if layout == "gaps":
            obs[rng.random(len(t)) < 0.2] = np.nan
        if layout == "infinite" and i == 0:
            mod[3] = np.inf
        data[i] = {"time": list(t), "O3_obs": list(obs), "O3_a": list(mod)}
    calls = []
    real = matplotlib.axes.Axes.fill_between

    def fill_between(self, x, y1, y2, **kw):
        calls.append((np.array(x), np.array(y1), np.array(y2)))
        return real(self, x, y1, y2, **kw)

    monkeypatch.setattr(matplotlib.axes.Axes, "fill_between", fill_between)
    monkeypatch.chdir(tmp_path)
    (tmp_path / "output").mkdir()
    run(data, tmp_path)
    run(data, tmp_path, {"debug_extended": True})
    (native, library) = calls
    for got, want in zip(native, library):
        np.testing.assert_array_equal(got, want)


def test_repeated_time_stamps_of_a_station_are_averaged_in_the_regional_series(tmp_path, figures,
                                                                              capsys):
    # A's two rows at t2 give biases 2 and 1, averaged to 1.5 before B's 4 joins them.
    data = {"A": station("A", [T[0], T[1], T[1], T[2]], [1, 1, 2, 1], ctrl=[2, 3, 3, 2]),
            "B": station("B", T[:3], [1, 1, 1], ctrl=[5, 5, 5])}
    run(data, tmp_path, debug=True)
    ax = figures[0].axes[0]
    (line,) = drawn_lines(ax)
    np.testing.assert_allclose(line.get_ydata(), [2.5, 2.75, 2.5])
    highs = [band_bounds(ax.collections[0])[mdates.date2num(t)][1] for t in T[:3]]
    np.testing.assert_allclose(highs, [4.0, 4.0, 4.0])  # mean plus the spread 1.5, 1.25, 1.5
    assert "[O3_ctrl] Bias mean shape: (3,)" in capsys.readouterr().out


def test_figure_layout_and_styles(tmp_path, figures):
    data = {"A": station("A", T[:3], [1, 1, 1], name="Alpha", ctrl=[2, 3, 4])}
    run(data, tmp_path, {"show_stations": True})
    # The zero line is fainter in the regional figure than in a station figure.
    for fig, zero_alpha in zip(figures, (0.7, 0.9)):
        ax = fig.axes[0]
        assert tuple(fig.get_size_inches()) == (10, 6)
        assert type(fig.get_layout_engine()).__name__ == "ConstrainedLayoutEngine"
        assert (ax.title.get_fontsize(), ax.title.get_alpha()) == (18, 0.8)
        assert ax.xaxis.label.get_fontsize() == ax.yaxis.label.get_fontsize() == 14
        (zero,) = [ln for ln in ax.get_lines() if ln.get_label().startswith("_")]
        assert (zero.get_color(), zero.get_linewidth(), zero.get_alpha()) == ("black", 1.0,
                                                                               zero_alpha)
        legend = ax.get_legend()
        assert (legend._loc, legend._ncols, legend._fontsize, legend.get_frame_on()) == (
            1, 2, 12, False)  # 1 is "upper right"
        for axis in (ax.xaxis, ax.yaxis):
            assert axis._major_tick_kw["labelsize"] == 12 and axis._major_tick_kw["pad"] == 6
            assert axis._major_tick_kw["grid_linewidth"] == 0.3
            assert axis._minor_tick_kw["grid_linestyle"] == ":"
        assert ax.get_axisbelow() is True
        assert ax.collections[0].get_alpha() == 0.2


def test_stations_sharing_a_name_keep_their_own_files(tmp_path, figures, quick_save, caplog,
                                                      monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "output").mkdir()
    names = {"S1": "Alpha", "S2": "Alpha", "S3": np.nan, "S4": "nan", "S5": None, "S6": None,
             "S7": "ALPHA", "x/y": "Alpha"}
    data = {sid: station(sid, T[:3], [1, 2, 3], name=name, ctrl=[2, 2, i])
            for i, (sid, name) in enumerate(names.items())}
    run(data, tmp_path, {"show_stations": True, "debug_extended": True}, formats=["png"])

    # The first station keeps the name; later ones add their (file-safe) identifier,
    # also where names differ only in case, as a case-insensitive file system sees it.
    figure_names = ["Alpha", "Alpha_S2", "nan", "nan_S4", "S5", "S6", "ALPHA_S7", "Alpha_x_y"]
    dump_names = ["Alpha", "Alpha_S2", "nan", "nan_S4", "unknown_site", "unknown_site_S6",
                  "ALPHA_S7", "Alpha_x_y"]
    assert sorted(p.name for p in tmp_path.glob("*.png")) == sorted(
        ["run_regional_bias.png"] + [f"run_{n}_bias.png" for n in figure_names])
    assert sorted(os.listdir("output")) == sorted(
        [f"debug_{kind}_{n}.csv" for n in dump_names
         for kind in ("obs", "mod_O3_ctrl", "bias_O3_ctrl")]
        + ["debug_bias_mean_O3_ctrl.csv", "debug_bias_matrix_O3_ctrl.csv"])
    for i, n in enumerate(dump_names):
        assert list(pd.read_csv(f"output/debug_mod_O3_ctrl_{n}.csv")["O3_ctrl"]) == [2, 2, i]

    def taken(first, later, name, kind, new):
        return (f"Stations {first} and {later} share the file name '{name}'; "
                f"{kind} of {later} are named '{new}'.")

    clashes = [("S1", "S2", "Alpha"), ("S3", "S4", "nan"), ("S5", "S6", "unknown_site"),
               ("S1", "S7", "ALPHA"), ("S1", "x/y", "Alpha")]
    suffix = {"S2": "_S2", "S4": "_S4", "S6": "_S6", "S7": "_S7", "x/y": "_x_y"}
    expected = [taken(a, b, n, "debug dumps", n + suffix[b]) for a, b, n in clashes]
    expected += [taken(a, b, n, "figures", n + suffix[b]) for a, b, n in clashes if a != "S5"]
    assert [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING] == expected
    # Titles keep the name itself.
    assert "(Alpha)" in figures[2].axes[0].get_title()
