"""Plain (observation-only) station figures: regional mean figure, single panel,
group figures and the subplot figure, as the run dispatch calls them."""
import inspect
import logging

import matplotlib
import matplotlib.axes
import matplotlib.figure
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
import seaborn as sns

from kvelo.py import chronoplex
from support.compare import bits
from support.figures import legend_texts
from support.reference import plain_regional
from support.texts import end

FUNC = chronoplex.plot_station_timeseries_grouped_or_subplots
END = end("plot_station_timeseries_grouped_or_subplots")


def station(sid, times, values, name="", lat=47.5, lon=7.6, elevation=316.0):
    """One station_data entry of the plain layout, as the intake builds it."""
    times = pd.Series(pd.to_datetime(times), name="time")
    return {
        "site_id": sid,
        "site_name": name,
        "lat": lat,
        "lon": lon,
        "elevation_m": elevation,
        "time": times,
        "value": pd.Series(np.asarray(values, dtype=float), index=times.index, name="O3"),
    }


def stations(n, start=10.0, stop=30.0, days=4):
    """n stations, ids ST01.., values spread evenly over [start, stop]."""
    values = np.linspace(start, stop, n * days).reshape(n, days)
    times = pd.date_range("2024-01-01", periods=days, freq="D")
    return {f"ST{k + 1:02d}": station(f"ST{k + 1:02d}", times, values[k], name=f"Site {k + 1}")
            for k in range(n)}


def run(data, config, base="out/o3", formats=("png",), debug=False, **kw):
    """Call the function as the run dispatch does: every argument by keyword."""
    FUNC(config=config, data=data, data_file_base=base, data_format="csv", model_files_dict="",
         plot_file_base=base, save_plot_formats=list(formats), plot_title="Ozone", variable="O3",
         unit="ppb", debug=debug, **kw)


class Closed(list):
    """Figures in the order they were closed; `saved(fig)` lists its paths."""

    @staticmethod
    def saved(fig):
        return getattr(fig, "saved_paths", [])


@pytest.fixture
def figs(monkeypatch):
    closed = Closed()
    real_close = plt.close

    def close(fig=None):
        if isinstance(fig, matplotlib.figure.Figure) and fig not in closed:
            closed.append(fig)
        return real_close(fig)

    def savefig(self, path, **kwargs):
        assert kwargs == {"dpi": 300, "bbox_inches": "tight"}
        self.saved_paths = getattr(self, "saved_paths", []) + [str(path)]

    monkeypatch.setattr(plt, "close", close)
    monkeypatch.setattr(matplotlib.figure.Figure, "savefig", savefig)
    yield closed
    assert plt.get_fignums() == []


@pytest.fixture
def bands(monkeypatch):
    """(x, low, high) of every station-range band drawn."""
    calls = []
    real = matplotlib.axes.Axes.fill_between

    def fill_between(self, x, y1, y2=0, **kwargs):
        calls.append((x, y1, y2))
        return real(self, x, y1, y2, **kwargs)

    monkeypatch.setattr(matplotlib.axes.Axes, "fill_between", fill_between)
    return calls


def mean_line(ax):
    lines = [ln for ln in ax.get_lines() if ln.get_label() == "Observations (mean)"]
    return lines[0] if lines else None


def station_lines(ax):
    return [ln for ln in ax.get_lines() if ln.get_label() != "Observations (mean)"]


def saved_names(figs):
    return [p for f in figs for p in Closed.saved(f)]


def test_signature_as_the_dispatch_sees_it():
    sig = inspect.signature(FUNC)
    assert list(sig.parameters) == [
        "config", "data", "data_file_base", "data_format", "model_files_dict", "plot_file_base",
        "save_plot_formats", "plot_title", "variable", "unit", "debug"]
    assert FUNC.__defaults__ == (None, None, False)


# ---- regional table ---------------------------------------------------------

def random_stations(seed, n=30, rows=200):
    rng = np.random.default_rng(seed)
    data = {}
    for k in range(n):
        m = 0 if k == 5 else int(rng.integers(1, rows))
        # Few distinct stamps, so duplicates and partly shared stamps are common.
        hours = pd.to_timedelta(rng.integers(0, rows, m), "h")
        t = pd.Series(pd.to_datetime("2024-01-01") + hours, dtype="datetime64[ns]")
        t[rng.random(m) < 0.05] = pd.NaT
        v = rng.normal(40, 15, m) * 10.0 ** rng.integers(-3, 4)
        v[rng.random(m) < 0.2] = np.nan
        if k == 3:
            v[:] = np.nan
        data[f"S{k:03d}"] = {"site_id": f"S{k:03d}", "time": t, "value": pd.Series(v, dtype=float)}
    return data


def as_text_times(data):
    for st in data.values():
        st["time"] = st["time"].dt.strftime("%Y-%m-%d %H:%M:%S")
    return data


def as_utc_times(data):
    for st in data.values():
        st["time"] = st["time"].dt.tz_localize("UTC")
    return data


def as_int_values(data):
    for st in data.values():
        st["value"] = pd.Series(np.nan_to_num(st["value"].values).astype(np.int64))
    return data


def as_nullable_values(data):
    for st in data.values():
        st["value"] = st["value"].astype("Float64")
    return data


def as_lists(data):
    del data["S005"]  # an empty list infers no dtype, the figure cannot draw its object column
    for st in data.values():
        st["time"] = list(st["time"])
        st["value"] = list(st["value"])
    return data


@pytest.mark.parametrize("shape", [lambda d: d, as_text_times, as_utc_times, as_int_values,
                                   as_nullable_values, as_lists],
                         ids=["float", "text-times", "utc-times", "int", "nullable", "lists"])
@pytest.mark.parametrize("seed", [0, 1])
def test_regional_aggregates_equal_the_pandas_formulation(figs, bands, shape, seed):
    data = shape(random_stations(seed))
    mean, lo, hi = plain_regional(data)
    run(data, {"show_min_max": True}, formats=())
    (fig,) = figs
    ax = fig.axes[0]
    x, y1, y2 = bands[0]
    line = mean_line(ax)
    assert list(pd.DatetimeIndex(x)) == list(mean.index)
    np.testing.assert_array_equal(np.asarray(line.get_ydata(), dtype=float),
                                  mean.to_numpy(dtype=float))
    np.testing.assert_array_equal(np.asarray(y1, dtype=float), lo.to_numpy(dtype=float))
    np.testing.assert_array_equal(np.asarray(y2, dtype=float), hi.to_numpy(dtype=float))


def test_duplicates_are_averaged_and_stamps_joined(figs, bands):
    data = {"A": station("A", ["2024-01-01", "2024-01-02", "2024-01-02"], [5.0, 1.0, 3.0]),
            "B": station("B", ["2024-01-03"], [7.0])}
    run(data, {"show_min_max": True}, formats=())
    x, lo, hi = bands[0]
    assert list(pd.DatetimeIndex(x)) == list(pd.to_datetime(["2024-01-01", "2024-01-02",
                                                              "2024-01-03"]))
    assert list(mean_line(figs[0].axes[0]).get_ydata()) == [5.0, 2.0, 7.0]
    assert list(lo) == list(hi) == [5.0, 2.0, 7.0]


def test_many_stations_sum_in_the_same_order_as_pandas(figs):
    rng = np.random.default_rng(7)
    times = pd.date_range("2024-01-01", periods=500, freq="h")
    data = {f"S{k:03d}": station(f"S{k:03d}", times, rng.normal(0, 1e6, 500)) for k in range(300)}
    mean, _, _ = plain_regional(data)
    run(data, {}, formats=())
    np.testing.assert_array_equal(mean_line(figs[0].axes[0]).get_ydata(), mean.to_numpy())


def as_float32_values(data):
    for st in data.values():
        st["value"] = st["value"].astype(np.float32)
    return data


def as_bool_values(data):
    for st in data.values():
        st["value"] = st["value"] > 40
    return data


def as_uint8_values(data):
    for st in data.values():
        st["value"] = pd.Series(np.nan_to_num(st["value"].values).clip(0, 255).astype(np.uint8))
    return data


def as_float32_beside_float64(data):
    for sid in list(data)[::2]:
        data[sid]["value"] = data[sid]["value"].astype(np.float32)
    return data


def as_arrays_with_signed_zeros(data):
    rng = np.random.default_rng(3)
    for st in data.values():
        st["value"] = rng.choice([0.0, -0.0, 1.0, -5e-324, 5e-324, np.nan], len(st["time"]))
    return data


@pytest.mark.parametrize("shape", [as_float32_values, as_bool_values, as_uint8_values,
                                   as_float32_beside_float64, as_arrays_with_signed_zeros],
                         ids=["float32", "bool", "uint8", "float32-and-float64", "signed-zeros"])
def test_regional_aggregates_keep_the_library_dtype(figs, bands, shape):
    data = shape(random_stations(2))
    mean, lo, hi = plain_regional(data)
    run(data, {"show_min_max": True, "fix_y_axis": True}, formats=())
    ax = figs[0].axes[0]
    x, y1, y2 = bands[0]
    assert bits(x) == bits(mean.index)
    assert bits(mean_line(ax).get_ydata()) == bits(mean)
    assert (bits(y1), bits(y2)) == (bits(lo), bits(hi))


def test_empty_dictionary_raises_the_table_error_before_any_figure(figs):
    with pytest.raises(ValueError, match="No objects to concatenate"):
        run({}, {"show_stations": True})
    assert figs == []


# ---- regional figure --------------------------------------------------------

@pytest.mark.parametrize("config, suffix", [
    ({}, "_regional_mean"),
    ({"fix_y_axis": True}, "_regional_mean_yfixed"),
    ({"show_min_max": 1, "fix_y_axis": "yes"}, "_regional_mean_minmax_yfixed"),
    ({"show_min_max": True}, "_regional_mean_minmax"),
])
def test_regional_figure_names_and_artists(figs, caplog, config, suffix):
    caplog.set_level(logging.DEBUG)
    run(stations(3), config, formats=("png", "pdf"), debug=True)
    (fig,) = figs
    assert figs.saved(fig) == [f"out/o3{suffix}.png", f"out/o3{suffix}.pdf"]
    ax = fig.axes[0]
    assert ax.get_title() == "Ozone" and ax.title.get_fontsize() == 12
    assert ax.get_xlabel() == "Time" and ax.get_ylabel() == "O3 [ppb]"
    band = ["Station range"] if config.get("show_min_max") else []
    assert legend_texts(ax) == band + ["Observations (mean)"]
    line = mean_line(ax)
    assert (line.get_color(), line.get_marker(), line.get_linewidth()) == ("black", "o", 1.6)
    assert (line.get_markersize(), line.get_linestyle(), line.get_zorder()) == (4, "-", 3)
    if band:
        assert matplotlib.colors.same_color(ax.collections[0].get_facecolor()[0][:3], "gray")
        assert ax.collections[0].get_alpha() == 0.2
    assert ax.title.get_fontsize() == 12 and ax.xaxis.label.get_fontsize() == 10
    legend = ax.get_legend()
    assert (legend._loc, legend._ncols, legend._fontsize, legend.get_frame_on()) == (
        1, 2, 9, False)
    assert ax.xaxis._major_tick_kw["grid_linewidth"] == 0.3 and ax.get_axisbelow() is True
    assert ax.xaxis._minor_tick_kw["grid_linestyle"] == ":"
    assert tuple(fig.get_size_inches()) == (12, 6)
    messages = [r.getMessage() for r in caplog.records]
    assert [m for m in messages if m.startswith("Saved")] == [
        f"Saved: out/o3{suffix}.png", f"Saved: out/o3{suffix}.pdf"]
    assert messages[-1] == END


def test_regional_figure_without_formats_writes_nothing(figs, caplog):
    caplog.set_level(logging.INFO)
    run(stations(2), {}, formats=())
    assert len(figs) == 1 and saved_names(figs) == []
    assert not [r for r in caplog.records if r.getMessage().startswith("Saved")]


def test_all_nan_with_fixed_range_fails_and_closes_the_figure(figs):
    data = {"A": station("A", ["2024-01-01", "2024-01-02"], [np.nan, np.nan])}
    with pytest.raises(ValueError):
        run(data, {"fix_y_axis": True})
    assert len(figs) == 1


# ---- station figures --------------------------------------------------------

def test_few_stations_give_the_single_panel_and_no_end_banner(figs, caplog):
    caplog.set_level(logging.DEBUG)
    run(stations(3), {"show_stations": True, "plot_mode": "subplots"}, debug=True)
    regional, single = figs
    assert figs.saved(single) == ["out/o3_all.png"]
    ax = single.axes[0]
    assert single._suptitle is None
    assert ax.get_title() == "Ozone" and ax.title.get_fontsize() == 14
    assert legend_texts(ax) == ["ST01", "ST02", "ST03"]
    palette = sns.color_palette("colorblind", n_colors=15)
    assert [ln.get_color() for ln in station_lines(ax)] == list(palette[:3])
    assert all(ln.get_alpha() == 0.7 and ln.get_linewidth() == 0.8 for ln in station_lines(ax))
    messages = [r.getMessage() for r in caplog.records]
    assert not any(m.startswith("End:") for m in messages)
    assert not any("Too many" in m for m in messages)


def test_single_panel_with_small_group_size_shows_metadata(figs):
    run(stations(2), {"show_stations": True, "station_plot_group_size": 5})
    single = figs[1]
    assert single._suptitle.get_text() == "Ozone" and single._suptitle.get_fontsize() == 14
    ax = single.axes[0]
    assert ax.get_title() == ("ST01: Site 1 [lon: 7.6, lat: 47.5, elevation: 316.0 m]\n"
                              "ST02: Site 2 [lon: 7.6, lat: 47.5, elevation: 316.0 m]")
    assert ax.title.get_fontsize() == 10


@pytest.mark.parametrize("entry, line", [
    (dict(name="Hilltop", lon=7.6, lat=47.5, elevation=316.0),
     "ST1: Hilltop [lon: 7.6, lat: 47.5, elevation: 316.0 m]"),
    (dict(name="", lon=7.6, lat=47.5, elevation=0.0), "ST1 [lon: 7.6, lat: 47.5]"),
    (dict(name="Hilltop", lon=7.6, lat=np.nan, elevation=np.nan),
     "ST1: Hilltop [lon: 7.6, lat: nan]"),
    (dict(name=np.nan, lon=np.float64(7.6), lat=47.5, elevation=np.float64(316.0)),
     "ST1 [lon: 7.6, lat: 47.5, elevation: 316.0 m]"),
])
def test_metadata_line(figs, entry, line):
    data = {"ST1": station("ST1", ["2024-01-01", "2024-01-02"], [1.0, 2.0], **entry)}
    run(data, {"show_stations": True, "station_plot_group_size": 5})
    assert figs[1].axes[0].get_title() == line


def test_metadata_line_of_missing_keys_reads_empty(figs):
    st = station("ST1", ["2024-01-01", "2024-01-02"], [1.0, 2.0])
    for key in ("site_name", "lat", "lon", "elevation_m"):
        del st[key]
    run({"ST1": st}, {"show_stations": True, "station_plot_group_size": 5})
    assert figs[1].axes[0].get_title() == "ST1 [lon: , lat: ]"


def test_twenty_stations_give_two_group_figures(figs, caplog):
    caplog.set_level(logging.DEBUG)
    run(stations(20), {"show_stations": True}, formats=("png", "pdf"), debug=True)
    regional, g1, g2 = figs
    assert figs.saved(g1) == ["out/o3_group_1of2gs15.png", "out/o3_group_1of2gs15.pdf"]
    assert figs.saved(g2) == ["out/o3_group_2of2gs15.png", "out/o3_group_2of2gs15.pdf"]
    palette = sns.color_palette("colorblind", n_colors=15)
    ax1, ax2 = g1.axes[0], g2.axes[0]
    assert legend_texts(ax1) == [f"ST{k:02d}" for k in range(1, 16)]
    assert legend_texts(ax2) == [f"ST{k:02d}" for k in range(16, 21)]
    assert [ln.get_color() for ln in station_lines(ax2)] == list(palette[:5])
    assert [ln.get_color() for ln in station_lines(ax1)][10:] == list(palette[10:15])
    assert ax2.get_title() == "Ozone (Group 2)" and ax2.title.get_fontsize() == 14
    assert ax2.xaxis.label.get_fontsize() == 10 and ax2.get_ylabel() == "O3 [ppb]"
    assert ax2.get_legend()._ncols == 2 and ax2.get_legend()._fontsize == 8
    assert ax2.xaxis._major_tick_kw.get("gridOn") and ax2.get_axisbelow() is True
    messages = [r.getMessage() for r in caplog.records]
    assert "Too many stations (20), using 'grouped' mode instead of single-plot." in messages
    assert messages[-1] == END


def test_group_figures_with_metadata(figs):
    run(stations(7), {"show_stations": True, "station_plot_group_size": 3, "show_min_max": True,
                      "fix_y_axis": True})
    groups = figs[1:]
    assert saved_names(groups) == [f"out/o3_group_{i}of3gs3_minmax_yfixed.png" for i in (1, 2, 3)]
    last = groups[2]
    assert last._suptitle.get_text() == "Ozone"
    assert last.axes[0].get_title() == "ST07: Site 7 [lon: 7.6, lat: 47.5, elevation: 316.0 m]"
    # Station lines first, then band and mean line.
    assert legend_texts(last.axes[0]) == ["ST07", "Station range", "Observations (mean)"]


def test_seven_stations_in_subplots(figs, caplog):
    caplog.set_level(logging.DEBUG)
    run(stations(7), {"show_stations": True, "station_plot_group_size": 5,
                      "plot_mode": "subplots"}, debug=True)
    regional, sub = figs
    assert figs.saved(sub) == ["out/o3_subplots.png"]
    assert tuple(sub.get_size_inches()) == (14, 10)
    axes = sub.axes
    assert len(axes) == 8
    assert not axes[7].get_lines() and axes[7].get_legend() is None
    assert sub._suptitle.get_text() == "Ozone"
    assert axes[2].get_title().split("\n") == [
        f"ST0{k}: Site {k} [lon: 7.6, lat: 47.5, elevation: 316.0 m]" for k in (1, 2, 3)]
    assert axes[6].get_title().count("\n") == 6
    palette = sns.color_palette("colorblind", n_colors=5)
    assert [station_lines(a)[0].get_color() for a in axes[:7]] == [palette[k % 5] for k in range(7)]
    assert [legend_texts(a) for a in axes[:2]] == [["ST01"], ["ST02"]]
    assert axes[0].get_legend()._fontsize == 7 and axes[0].get_legend()._ncols == 1
    messages = [r.getMessage() for r in caplog.records]
    assert "Too many stations (7), using 'subplots' mode instead of single-plot." in messages
    assert messages[-1] == END


def test_subplots_without_metadata_title_each_panel(figs):
    run(stations(16), {"show_stations": True, "plot_mode": "subplots"})
    sub = figs[1]
    assert sub._suptitle is None
    assert tuple(sub.get_size_inches()) == (14, 20)
    assert {a.get_title() for a in sub.axes} == {"Ozone"}


@pytest.mark.parametrize("config", [
    {"station_plot_group_size": 3},
    {"station_plot_group_size": 3, "plot_mode": "subplots"},
    {"station_plot_group_size": 15},
])
def test_fixed_range_holds_in_every_figure(figs, config):
    run(stations(5), {"show_stations": True, "fix_y_axis": True, "show_min_max": True, **config})
    assert len(figs) > 1
    for fig in figs:
        for ax in fig.axes:
            if not ax.get_lines():
                continue  # the empty last panel
            assert ax.get_ylim() == pytest.approx((9.0, 31.0), abs=1e-12)
    names = saved_names(figs)
    assert all(n.endswith("_minmax_yfixed.png") for n in names)


def test_mean_line_in_station_figures_only_with_fixed_range(figs):
    run(stations(4), {"show_stations": True, "show_min_max": True, "station_plot_group_size": 2})
    regional, *groups = figs
    assert mean_line(regional.axes[0]) is not None
    for g in groups:
        assert mean_line(g.axes[0]) is None
        assert "Station range" in legend_texts(g.axes[0])


@pytest.mark.parametrize("mode", ["Grouped", None, "single"])
def test_unsupported_mode(figs, caplog, mode):
    caplog.set_level(logging.INFO)
    with pytest.raises(ValueError, match=f"^Unsupported plot_mode: {mode}$"):
        run(stations(20), {"show_stations": True, "plot_mode": mode})
    assert saved_names(figs) == ["out/o3_regional_mean.png"]
    errors = [r for r in caplog.records if r.levelno == logging.ERROR]
    assert [r.getMessage() for r in errors] == [f"Unsupported plot_mode: {mode}"]
    assert f"Too many stations (20), using '{mode}' mode instead of single-plot." in [
        r.getMessage() for r in caplog.records]


def test_unsupported_mode_is_not_examined_after_a_single_panel(figs):
    run(stations(3), {"show_stations": True, "plot_mode": "bogus"})
    assert saved_names(figs) == ["out/o3_regional_mean.png", "out/o3_all.png"]


def test_failed_single_panel_falls_back_to_the_mode(figs, caplog, monkeypatch):
    caplog.set_level(logging.INFO)
    real = matplotlib.axes.Axes.legend

    def legend(self, *args, **kwargs):
        if kwargs.get("fontsize") == 9 and len(self.get_lines()) == 3:
            raise RuntimeError("no room for the legend")
        return real(self, *args, **kwargs)

    monkeypatch.setattr(matplotlib.axes.Axes, "legend", legend)
    run(stations(3), {"show_stations": True, "plot_mode": "subplots"})
    regional, failed, sub = figs
    assert figs.saved(failed) == []
    assert figs.saved(sub) == ["out/o3_subplots.png"]
    warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert warnings == ["Single-panel time series plot failed: no room for the legend. "
                        "Falling back to 'subplots' mode."]


def test_interrupt_in_single_panel_propagates_and_closes(figs, monkeypatch):
    real = matplotlib.axes.Axes.legend

    def legend(self, *args, **kwargs):
        if kwargs.get("fontsize") == 9 and len(self.get_lines()) == 3:
            raise KeyboardInterrupt
        return real(self, *args, **kwargs)

    monkeypatch.setattr(matplotlib.axes.Axes, "legend", legend)
    with pytest.raises(KeyboardInterrupt):
        run(stations(3), {"show_stations": True})
    assert len(figs) == 2


def test_error_in_a_group_closes_it_and_stops(figs, monkeypatch):
    real = matplotlib.figure.Figure.savefig

    def savefig(self, path, **kwargs):
        if "_group_2of" in str(path):
            raise OSError("disk full")
        return real(self, path, **kwargs)

    monkeypatch.setattr(matplotlib.figure.Figure, "savefig", savefig)
    with pytest.raises(OSError, match="disk full"):
        run(stations(9), {"show_stations": True, "station_plot_group_size": 3})
    assert len(figs) == 3
    assert saved_names(figs) == ["out/o3_regional_mean.png", "out/o3_group_1of3gs3.png"]


@pytest.mark.parametrize("mode", ["grouped", "subplots"])
def test_station_times_go_through_the_module_to_datetime(figs, monkeypatch, mode):
    """Times already held as stamps still pass through the module's pandas, so
    a replaced `to_datetime` takes effect in the regional table and the
    station figures alike (the single panel draws `time` as stored)."""
    seen = []

    class ShiftingPandas:
        def __getattr__(self, name):
            return getattr(pd, name)

        def to_datetime(self, arg, *args, **kwargs):
            seen.append(type(arg).__name__)
            return pd.to_datetime(arg, *args, **kwargs) + pd.Timedelta(days=1)

    monkeypatch.setattr(chronoplex, "pd", ShiftingPandas())
    data = stations(3)
    run(data, {"show_stations": True, "station_plot_group_size": 2, "plot_mode": mode},
        formats=())
    regional, *station_figs = figs
    shifted = list(pd.date_range("2024-01-02", periods=4, freq="D"))
    assert list(pd.DatetimeIndex(mean_line(regional.axes[0]).get_xdata())) == shifted
    for fig in station_figs:
        for ax in fig.axes:
            for ln in station_lines(ax):
                assert list(pd.DatetimeIndex(ln.get_xdata())) == shifted
    assert seen.count("Series") == 6  # the regional table, then every station figure


def test_time_axis_gets_the_regional_index(figs, monkeypatch):
    seen = []
    monkeypatch.setattr(chronoplex, "apply_time_axis_format",
                        lambda ax, times, ffy: seen.append((ax, times, ffy)))
    data = {"A": station("A", ["2024-01-01", "2024-01-03"], [1.0, 2.0]),
            "B": station("B", ["2024-01-02"], [3.0])}
    run(data, {"show_stations": True, "plot_mode": "subplots", "station_plot_group_size": 1,
               "force_full_year": "yes"})
    assert len(seen) == 3
    assert all(ffy == "yes" for _, _, ffy in seen)
    assert all(list(t) == list(pd.to_datetime(["2024-01-01", "2024-01-02", "2024-01-03"]))
               for _, t, _ in seen)


def test_theme_and_palette_go_through_module_globals(figs, monkeypatch):
    calls = []

    class FakeSns:
        def set_theme(self, **kw):
            calls.append(("theme", kw))

        def color_palette(self, name, n_colors):
            calls.append(("palette", name, n_colors))
            return ["red", "blue"]

    monkeypatch.setattr(chronoplex, "sns", FakeSns())
    run(stations(3), {"show_stations": True, "station_plot_group_size": 4})
    assert calls == [("theme", {"style": "whitegrid"}), ("palette", "colorblind", 4)]
    assert [ln.get_color() for ln in station_lines(figs[1].axes[0])] == ["red", "blue", "red"]


def test_real_png_files(tmp_path):
    rng = np.random.default_rng(3)
    times = pd.date_range("2024-01-01", periods=30, freq="D")
    data = {f"ST{k}": station(f"ST{k}", times, 20 + 5 * np.sin(np.arange(30) / 4 + k)
                              + rng.normal(0, 1, 30), name=f"Site {k}", elevation=100.0 * k)
            for k in (1, 2, 3)}
    base = str(tmp_path / "o3")
    run(data, {"show_stations": True, "show_min_max": True, "fix_y_axis": True,
               "station_plot_group_size": 2, "plot_mode": "subplots"}, base=base)
    names = sorted(p.name for p in tmp_path.iterdir())
    assert names == ["o3_regional_mean_minmax_yfixed.png", "o3_subplots_minmax_yfixed.png"]
    for p in tmp_path.iterdir():
        assert p.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert plt.get_fignums() == []


@pytest.mark.parametrize("mode", ["grouped", "subplots"])
def test_zero_group_size_fails_as_python_arithmetic_would(figs, mode):
    with pytest.raises(ZeroDivisionError):
        run(stations(3), {"show_stations": True, "station_plot_group_size": 0, "plot_mode": mode})
    assert saved_names(figs) == ["out/o3_regional_mean.png"]

