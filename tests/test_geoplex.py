"""Station maps, module load and the location map: one numbered point per
distinct station position."""
import inspect
import logging
import os
import sys

import matplotlib

matplotlib.use("Agg")
import cartopy.crs as ccrs  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402
from PIL import Image  # noqa: E402

from kvelo.py import geoplex  # noqa: E402
from support.child import output  # noqa: E402
from support.figures import layers  # noqa: E402
from support.logs import own_records  # noqa: E402
from support.station_maps import LOCATION, VALUE, location, value  # noqa: E402
from support.texts import end, start  # noqa: E402

pytestmark = pytest.mark.usefixtures("offline_and_closed")


@pytest.fixture
def spread(monkeypatch):
    """adjust_text replaced by a recorder (the real one takes a second per call)."""
    calls = []
    monkeypatch.setattr(geoplex, "adjust_text", lambda *a, **kw: calls.append((a, kw)))
    return calls


@pytest.fixture
def drawn(monkeypatch):
    """The keywords of every scatter and text call on a map axes."""
    from cartopy.mpl.geoaxes import GeoAxes
    calls = {"scatter": [], "text": []}
    for name in calls:
        real = getattr(GeoAxes, name)

        def record(self, *a, _real=real, _name=name, **kw):
            calls[_name].append(kw)
            return _real(self, *a, **kw)
        monkeypatch.setattr(GeoAxes, name, record)
    return calls


def positions_table(lats, lons, ids=None):
    n = len(lats)
    return pd.DataFrame({"site_id": ids or [f"S{i:02d}" for i in range(n)],
                         "time": pd.Timestamp("2024-01-01"), "lat": lats, "lon": lons,
                         "O3_obs": np.arange(n, dtype=float)})


# ---- module load -----------------------------------------------------------

def test_functions_read_as_their_signature_lines():
    loc = ("station_location_map_plot_from_file(data_file_base, data_format, region, obs_type, "
           "region_bounds, plot_file_base, save_plot_formats, plot_title, start_date=None, "
           "end_date=None, variable=None, debug=False, exp=None)")
    val = ("station_value_map_plot_from_file(data_file_base, data_format, region, obs_type, "
           "time_avg, region_bounds, plot_file_base, save_plot_formats, plot_title, start_date, "
           "end_date, variable=None, exp=None, debug=False)")
    for fn, line in [(geoplex.station_location_map_plot_from_file, loc),
                     (geoplex.station_value_map_plot_from_file, val)]:
        assert fn.__doc__ == line
        assert f"{fn.__name__}{inspect.signature(fn)}" == line


def test_load_binds_the_libraries_and_sibling_names():
    import adjustText
    import cartopy.feature
    import datetime
    import matplotlib.colors
    import matplotlib.dates
    import matplotlib.ticker
    import seaborn
    import xarray
    from mpl_toolkits.axes_grid1 import make_axes_locatable

    from kvelo.py import figdefaults, io, style, utils

    g = vars(geoplex)
    assert (g["np"], g["pd"], g["xr"], g["sns"]) == (np, pd, xarray, seaborn)
    assert (g["ccrs"], g["cfeature"], g["plt"]) == (ccrs, cartopy.feature, plt)
    assert g["mcolors"] is g["colors"] is matplotlib.colors
    assert (g["ticker"], g["mdates"]) == (matplotlib.ticker, matplotlib.dates)
    assert g["datetime"] is datetime.datetime
    assert g["adjust_text"] is adjustText.adjust_text
    assert g["make_axes_locatable"] is make_axes_locatable
    for name in ["os", "re", "csv", "sys", "glob", "time", "cftime", "logging"]:
        assert g[name] is sys.modules[name]
    assert (g["read_data"], g["save_data"]) == (io.read_data, io.save_data)
    assert g["select_label_stations_by_density"] is utils.select_label_stations_by_density
    assert g["set_kvelo_plot_style"] is figdefaults.set_kvelo_plot_style
    for name in ["get_readable_region_name", "get_variable_colorbar_limits",
                 "get_variable_mapping", "load_variable_columns", "calculate_color_norm",
                 "setup_cartopy_map", "setup_cartopy_map1", "get_marker_style", "convert_units"]:
        assert g[name] is getattr(style, name)


def child_output(code, **env):
    return output(code, env={**os.environ, **env}).strip()


def test_load_chooses_no_backend_and_loads_figdefaults():
    code = ("import sys, matplotlib\nimport kvelo.py.geoplex\n"
            "print(matplotlib.get_backend(), 'kvelo.py.figdefaults' in sys.modules)")
    assert child_output(code, MPLBACKEND="svg") == "svg True"


@pytest.mark.parametrize("owner, name", [("style", "convert_units"),
                                         ("figdefaults", "set_kvelo_plot_style")])
def test_a_missing_name_that_is_never_called_still_fails_the_load(owner, name):
    code = (f"import kvelo.py.{owner} as o\ndel o.{name}\n"
            "try:\n    import kvelo.py.geoplex\nexcept ImportError as e:\n    print(e)\n")
    assert child_output(code).startswith(f"cannot import name {name!r}")


# ---- reading: shared by both maps -------------------------------------------

DRAW = {LOCATION: location, VALUE: value}


@pytest.mark.parametrize("name", [LOCATION, VALUE])
@pytest.mark.parametrize("result, text", [
    (OSError("no such table"), "no such table"),
    ((pd.DataFrame(), {}, "extra"), "too many values to unpack (expected 2)"),
    ((pd.DataFrame(),), "not enough values to unpack (expected 2, got 1)"),
])
def test_read_failure_is_logged_and_nothing_drawn(name, result, text, reads, caplog, tmp_path):
    calls = reads(result)
    caplog.set_level(logging.DEBUG)
    DRAW[name](tmp_path / "m", ["png"], debug=True)
    assert calls == [(("stations.csv",),
                      {"data_format": "csv", "debug": True, "return_units": True})]
    assert [(r.levelname, r.getMessage()) for r in own_records(caplog)] == [
        ("DEBUG", start(name)),
        ("ERROR", f"Could not load station data for plotting: {text}")]
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("name", [LOCATION, VALUE])
def test_errors_outside_the_exception_family_pass(name, reads, tmp_path):
    reads(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        DRAW[name](tmp_path / "m")


# ---- location map -----------------------------------------------------------

@pytest.mark.parametrize("table, line", [
    (pd.DataFrame(), "No valid station coordinates found in data."),
    (pd.DataFrame(columns=["site_id", "lat", "lon"]), "No valid station coordinates found in data."),
    (pd.DataFrame({"site_id": ["A"], "lat": [45.0]}), "No valid station coordinates found in data."),
    (pd.DataFrame({"site_id": ["A"], "lon": [5.0]}), "No valid station coordinates found in data."),
    (pd.DataFrame({"site_id": ["A", "B"], "lat": [45.0, np.nan], "lon": [np.nan, 6.0]}),
     "All station entries missing lat/lon."),
])
def test_location_map_without_usable_positions_warns_and_writes_nothing(
        table, line, reads, caplog, tmp_path):
    reads((table, {}))
    caplog.set_level(logging.DEBUG)
    location(tmp_path / "m", ["png"], debug=True)
    assert [(r.levelname, r.getMessage()) for r in own_records(caplog)] == [
        ("DEBUG", start(LOCATION)), ("WARNING", line)]
    assert list(tmp_path.iterdir()) == []


def test_one_point_per_position_the_earlier_row_kept(reads, spread, saved, monkeypatch,
                                                     caplog, tmp_path):
    # A at one place on three days, B at A's place later, C elsewhere, D without lon
    table = pd.DataFrame({
        "site_id": ["A", "A", "B", "C", "A", "D"],
        "lat": [45.0, 45.0, 45.0, 50.0, 45.0, 47.0],
        "lon": [5.0, 5.0, 5.0, 10.0, 5.0, np.nan],
        "O3_obs": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
    }, index=[10, 11, 12, 13, 14, 15])
    reads(table)  # a bare table works like the pair
    seen = []

    def select(**kw):
        seen.append(kw)
        return kw["station_df"]
    monkeypatch.setattr(geoplex, "select_label_stations_by_density", select)
    caplog.set_level(logging.DEBUG)
    location(tmp_path / "m", ["png"], debug=True)

    (kw,) = seen
    station_df = kw.pop("station_df")
    assert kw == {"density": 0.4, "min_labels": 1, "max_labels": 100}
    expected = pd.DataFrame({"site_id": ["A", "C"], "lat": [45.0, 50.0], "lon": [5.0, 10.0]})
    pd.testing.assert_frame_equal(station_df, expected)
    assert not np.shares_memory(station_df["lat"].to_numpy(), table["lat"].to_numpy())

    ax = saved.fig.axes[0]
    (points,) = layers(ax)
    np.testing.assert_array_equal(points.get_offsets(), [[5.0, 45.0], [10.0, 50.0]])
    assert [t.get_text() for t in ax.texts] == ["1", "2"]
    assert [r.getMessage() for r in own_records(caplog)] == [
        start(LOCATION),
        "Reduced from 5 to 2 stations after deduplication",
        f"Saved: {tmp_path / 'm'}.png",
        end(LOCATION)]


def test_station_points_and_labels_are_drawn_as_asked(reads, spread, saved, drawn, monkeypatch,
                                                      tmp_path):
    lats = [40.0 + i for i in range(10)]
    lons = [-5.0 + 2 * i for i in range(10)]
    reads((positions_table(lats, lons), {"O3_obs": "ppb"}))
    # the selection's own order and index labels decide the texts
    monkeypatch.setattr(geoplex, "select_label_stations_by_density",
                        lambda station_df, **kw: station_df.loc[[7, 2]])
    location(tmp_path / "m", ["png"])

    fig = saved.fig
    ax = fig.axes[0]
    (points,) = layers(ax)
    np.testing.assert_array_equal(points.get_offsets(), np.column_stack([lons, lats]))
    np.testing.assert_allclose(points.get_facecolor(), [[1.0, 0.0, 0.0, 0.8]])
    np.testing.assert_allclose(points.get_edgecolor(), [[0.0, 0.0, 0.0, 0.8]])
    assert list(points.get_sizes()) == [70]
    assert list(points.get_linewidths()) == [0.6]
    assert points.get_label() == "Stations"
    assert [type(kw["transform"]) for kw in drawn["scatter"]] == [ccrs.PlateCarree]

    assert [(t.get_text(), t.get_position()) for t in ax.texts] == [
        ("8", (lons[7], lats[7])), ("3", (lons[2], lats[2]))]
    for t in ax.texts:
        box = t.get_bbox_patch()
        assert (t.get_fontsize(), t.get_color(), t.get_weight(), t.get_zorder()) == (
            7, "black", "bold", 10)
        assert (box.get_facecolor(), box.get_alpha(), box.get_linewidth()) == (
            (1.0, 1.0, 1.0, 0.6), 0.6, 0)
        assert box.get_boxstyle().pad == 0.2
    assert [type(kw["transform"]) for kw in drawn["text"]] == [ccrs.PlateCarree] * 2
    assert drawn["text"][0]["bbox"] == {"boxstyle": "round,pad=0.2", "fc": "white",
                                        "alpha": 0.6, "lw": 0}

    ((texts,), kw) = spread[0]
    assert texts == list(ax.texts) and kw == {"ax": ax, "expand_text": (1.05, 1.2),
                                        "expand_points": (1.05, 1.2), "arrowprops": None}
    assert [t.get_text() for t in ax.get_legend().get_texts()] == ["Stations"]
    assert ax.get_legend()._loc == 2 and ax.get_legend()._fontsize == 9
    assert saved.calls[0]["kw"] == {"dpi": 300, "bbox_inches": "tight"}


def test_an_empty_selection_still_spreads_an_empty_list(reads, spread, saved, monkeypatch,
                                                        tmp_path):
    reads(positions_table([45.0, 46.0], [5.0, 6.0]))
    monkeypatch.setattr(geoplex, "select_label_stations_by_density",
                        lambda station_df, **kw: station_df.iloc[:0])
    location(tmp_path / "m", ["png"])
    assert list(saved.fig.axes[0].texts) == []
    assert [(list(a[0]), kw["ax"]) for a, kw in spread] == [([], saved.fig.axes[0])]


@pytest.mark.parametrize("title, kw, shown", [
    ("", {}, "Station Locations - Europe (None) [None to None]"),
    (None, {"exp": "ctrl", "start_date": "2024-01-01", "end_date": "2024-02-01"},
     "Station Locations - Europe (ctrl) [2024-01-01 to 2024-02-01]"),
    ("My stations", {}, "My stations"),
])
def test_location_title(title, kw, shown, reads, spread, saved, monkeypatch, tmp_path):
    reads(positions_table([45.0], [5.0]))
    if title:
        def no_lookup(region):
            raise AssertionError("region name looked up for a given title")
        monkeypatch.setattr(geoplex, "get_readable_region_name", no_lookup)
    location(tmp_path / "m", ["png"], title=title, **kw)
    ax = saved.fig.axes[0]
    assert ax.get_title() == shown
    assert ax.title.get_fontsize() == 12


def test_location_map_files_in_format_order(reads, monkeypatch, caplog, tmp_path):
    lats = [44.0, 45.5, 47.0, 48.5, 50.0, 52.0, 41.0]
    lons = [0.0, 4.0, 8.0, 12.0, 16.0, -4.0, 20.0]
    reads(positions_table(lats, lons))
    closed = []
    real_close = plt.close
    monkeypatch.setattr(plt, "close", lambda fig=None: (closed.append(fig), real_close(fig)))
    caplog.set_level(logging.DEBUG)  # and with debug false, no debug line
    location(tmp_path / "stations", ["png", "pdf"])
    png, pdf = tmp_path / "stations.png", tmp_path / "stations.pdf"
    assert [r.getMessage() for r in own_records(caplog)] == [f"Saved: {png}", f"Saved: {pdf}"]
    assert len(closed) == 1
    with Image.open(png) as im:
        assert round(im.info["dpi"][0]) == 300
    assert pdf.read_bytes().startswith(b"%PDF")


@pytest.mark.parametrize("failure", ["selection", "spreading", "saving"])
def test_an_error_after_the_figure_exists_propagates_and_closes_it(
        failure, reads, spread, monkeypatch, tmp_path):
    reads(positions_table([45.0, 46.0], [5.0, 6.0]))
    if failure == "selection":
        monkeypatch.setattr(geoplex, "select_label_stations_by_density",
                            lambda **kw: (_ for _ in ()).throw(RuntimeError("selection")))
        expected = RuntimeError
    elif failure == "spreading":
        monkeypatch.setattr(geoplex, "adjust_text",
                            lambda *a, **kw: (_ for _ in ()).throw(RuntimeError("spreading")))
        expected = RuntimeError
    else:
        expected = (ValueError, OSError)
    with pytest.raises(expected):
        # the first format is written before the second fails
        location(tmp_path / "m", ["png", "no-such-format"] if failure == "saving" else ["png"])
    assert plt.get_fignums() == []
    assert (tmp_path / "m.png").exists() == (failure == "saving")


def test_a_table_without_site_id_raises_before_any_figure(reads, tmp_path):
    reads(pd.DataFrame({"lat": [45.0], "lon": [5.0]}))
    with pytest.raises(KeyError):
        location(tmp_path / "m", ["png"])


@pytest.mark.parametrize("result", [(1, 2, 3), np.float64(1.0)])
def test_a_map_set_up_that_is_not_a_pair_raises(result, reads, monkeypatch, tmp_path):
    reads(positions_table([45.0], [5.0]))
    monkeypatch.setattr(geoplex, "setup_cartopy_map1", lambda region_bounds: result)
    with pytest.raises((TypeError, ValueError)) as python:
        fig, ax = result
    with pytest.raises(python.type) as ours:
        location(tmp_path / "m")
    assert str(ours.value) == str(python.value)  # the interpreter's own words
