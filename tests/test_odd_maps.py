"""Odd settings and scalar arguments of the map figures and the sibling
stand-ins: Python's own outcome, never a lost error, a hang or a refused text."""

import itertools
import logging
import os

import matplotlib

matplotlib.use("Agg")
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402

from kvelo.py import geoplex, io, offsetplex, plotting, style, utils  # noqa: E402
from support.texts import SURROGATE as S  # noqa: E402

pytestmark = pytest.mark.usefixtures("offline_natural_earth")  # map data, never a download


# ---- bias map: a row left out leaves nothing on the map ------------------------

def dark_pixels_around(fig, ax, lon, lat, radius=12):
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    canvas = FigureCanvasAgg(fig)  # the closed figure is drawn again
    canvas.draw()
    image = np.asarray(canvas.buffer_rgba())[..., :3].astype(int)
    x, y = ax.transData.transform((lon, lat))
    row, col = int(round(image.shape[0] - y)), int(round(x))
    patch = image[row - radius:row + radius, col - radius:col + radius]
    return int((patch.max(axis=2) < 80).sum())


@pytest.mark.parametrize("model_value", ["nan", "inf", "-inf"])
def test_bias_map_row_without_a_finite_bias_shows_no_marker_ring(tmp_path, figures,
                                                                 model_value):
    # Open sea, away from the offline coastlines: only markers can be dark there.
    obs = tmp_path / "obs.csv"
    mod = tmp_path / "mod.csv"
    header = "station_id,time,lat,lon,O3\n"
    obs.write_text(header + "A,t,30.0,-40.0,10.0\nB,t,38.0,-30.0,10.0\n")
    mod.write_text(header + f"A,t,30.0,-40.0,2.0\nB,t,38.0,-30.0,{model_value}\n")
    plotting.process_bias_plot(str(obs), {"x": str(mod)}, "EU", "O3", "daily",
                               str(tmp_path / "b"), [])
    (fig,) = figures
    ax = fig.axes[0]
    markers = ax.collections[0]
    assert np.ma.getmaskarray(markers.get_array()).tolist() == [False, True]
    edges = markers.get_edgecolor()
    assert edges.tolist() == [[0.0, 0.0, 0.0, 1.0], [0.0, 0.0, 0.0, 0.0]]
    assert dark_pixels_around(fig, ax, -40.0, 30.0) > 0  # the finite row keeps its ring
    assert dark_pixels_around(fig, ax, -30.0, 38.0) == 0


# ---- label counts: Python's rounding and comparisons ---------------------------

def stations(n):
    return pd.DataFrame({"site_id": [f"S{i}" for i in range(n)],
                         "lat": np.linspace(40.0, 60.0, n), "lon": np.linspace(-10.0, 30.0, n)})


@pytest.mark.parametrize("n, kwargs, count", [
    # round() halves to even: 2.5 -> 2, 3.5 -> 4, 1.5 -> 2, 0.5 -> 0
    (5, {"density": 0.5, "min_labels": 0}, 2),
    (7, {"density": 0.5, "min_labels": 0}, 4),
    (3, {"density": 0.5, "min_labels": 0}, 2),
    (1, {"density": 0.5, "min_labels": 0}, 0),
    # bounds beyond any machine integer are just large or small
    (6, {"min_labels": 2**70}, 6),
    (6, {"max_labels": -2**70}, 0),
    (6, {"max_labels": 2**70, "density": 1}, 6),
    (6, {"min_labels": -2**70, "density": 0.0}, 0),
    (6, {"density": 10**400}, 6),
    (6, {"min_labels": np.int64(5), "max_labels": np.uint64(4)}, 4),
    (6, {"min_labels": True, "density": False}, 1),
    # a bound that loses the comparison is never used as a count
    (6, {"min_labels": float("nan")}, 2),
    (6, {"min_labels": 0.5}, 2),
])
def test_label_count_with_odd_bounds(n, kwargs, count):
    assert len(utils.select_label_stations_by_density(stations(n), **kwargs)) == count


class Column:
    def __init__(self, values):
        self.values = values

    def to_numpy(self, dtype=None, na_value=None):
        return self.values


class TextPositions:
    """A table whose longitudes are words: numpy's conversion error must reach the caller."""

    def __len__(self):
        return 2

    def __getitem__(self, name):
        return Column(["east", "west"] if name == "lon" else [1.0, 2.0])


@pytest.mark.parametrize("table, kwargs, error, match", [
    (stations(6), {"min_labels": None}, TypeError, "'>' not supported"),
    (stations(6), {"min_labels": 3.0}, TypeError, "cannot be interpreted as an integer"),
    (stations(6), {"density": "0.5"}, TypeError, "'>' not supported"),
    (TextPositions(), {"density": 1.0}, ValueError, "could not convert string to float: 'east'"),
])
def test_label_selection_raises_python_errors(table, kwargs, error, match):
    with pytest.raises(error, match=match):
        utils.select_label_stations_by_density(table, **kwargs)


def test_marker_place_beyond_machine_integers():
    shape, size = style.get_marker_style("e", 2**70)
    assert (shape, size) == (style.get_marker_style("e", 2**70 % 10)[0],
                             style.get_marker_style("e", 10)[1])
    assert style.get_marker_style("e", -2**70) == style.get_marker_style("e", 0)


def test_region_bounds_are_read_no_further_than_a_fifth_item():
    drawn = []

    def endless():
        for x in itertools.count(1.0):
            drawn.append(x)
            if len(drawn) > 10**6:  # a reader that takes every item would never stop
                return
            yield x

    with pytest.raises(ValueError, match="region_bounds must be four finite numbers"):
        style.setup_cartopy_map1(region_bounds=endless())
    assert len(drawn) == 5


# ---- text that is no UTF-8 stays Python text ----------------------------------

@pytest.mark.parametrize("call, expected", [
    (lambda: style.get_readable_region_name(f"eu{S}"), f"eu{S}"),
    (lambda: style.get_variable_mapping(data_type=f"hourly{S}")["coords"]["lat"], "LATITUDE"),
    (lambda: style.get_variable_mapping(region="EU", variable=f"O3{S}")["mapped_name"], f"O3{S}"),
    (lambda: style.get_variable_colorbar_limits(f"o3{S}"), None),
    (lambda: style.load_variable_columns(
        pd.DataFrame(columns=[f"O3{S}_a", f"O3{S}_obs", "lat"]), f"O3{S}"),
     ([f"O3{S}_obs", f"O3{S}_a"], f"O3{S}_obs", ["a"])),
    (lambda: style.get_marker_style(S, 2)[1], style.get_marker_style("a", 2)[1]),
    (lambda: utils.get_line_style(f"{S}_obs")["color"], "black"),
    (lambda: utils.is_log_unit(f" CM-3{S} "), False),
    (lambda: utils.extract_keys({f"o3{S}_a": 1, f"o3{S}_obs": 2, "x": 3}, f"o3{S}"), [f"o3{S}_a"]),
    (lambda: utils.extract_date_from_filename(f"st{S}_2024-01-15.nc"), pd.Timestamp("2024-01-15")),
])
def test_sibling_functions_take_text_with_lone_surrogates(call, expected):
    assert call() == expected


def test_unit_error_keeps_the_units_text():
    with pytest.raises(ValueError) as info:
        style.convert_units(1.0, f"pp{S}", "ppb")
    assert str(info.value) == f"Cannot convert from 'pp{S}' to 'ppb'"


@pytest.fixture
def latin1_dir(tmp_path):
    folder = tmp_path / f"caf{S}"
    folder.mkdir()
    return folder


def test_station_table_in_a_latin1_directory(latin1_dir):
    table = pd.DataFrame({"site_id": ["A", "B"], "time": ["2024-01-01", "2024-01-02"],
                          "lat": [45.0, 50.0], "lon": [5.0, 10.0], "O3_obs": [1.0, 2.0]})
    path = latin1_dir / f"st{S}.csv"
    io.save_data(table, str(path), units={"O3_obs": "ppb"})
    assert os.fsencode(path) in [os.fsencode(p) for p in latin1_dir.iterdir()]
    for given in (str(path), path, os.fsencode(path)):
        df, units = io.read_data(given, return_units=True)
        assert units == {"O3_obs": "ppb"} and list(df["site_id"]) == ["A", "B"]
    with pytest.raises(FileNotFoundError) as info:
        io.read_data(str(latin1_dir / f"none{S}.csv"))
    assert str(info.value) == f"Station table not found: {latin1_dir / f'none{S}.csv'}"


@pytest.mark.parametrize("draw, written", [
    (lambda d, table: geoplex.station_location_map_plot_from_file(
        table, "csv", "EU", "x", (35.0, 65.0, -10.0, 30.0), str(d / f"loc{S}"), ["png"], "T"),
     f"loc{S}.png"),
    (lambda d, table: offsetplex.plot_bias_from_file(table, "O3", str(d / f"b{S}"), ["png"]),
     f"b{S}_region_O3_time_avg_BIAS_exp.png"),
])
def test_maps_read_and_write_in_a_latin1_directory(latin1_dir, figures, caplog, draw, written):
    caplog.set_level(logging.ERROR)
    table = latin1_dir / f"t{S}.csv"
    pd.DataFrame({"site_id": ["A", "B"], "lat": [45.0, 50.0], "lon": [5.0, 10.0],
                  "lat_obs": [45.0, 50.0], "lon_obs": [5.0, 10.0],
                  "bias": [1.0, -2.0]}).to_csv(table, index=False)
    draw(latin1_dir, str(table))
    assert caplog.messages == []
    assert (latin1_dir / written).stat().st_size > 0


# ---- the walk over the model files unpacks as Python does -----------------------

class TripleItems(dict):
    def items(self):
        return [(k, v, "extra") for k, v in super().items()]


def test_model_file_items_must_be_pairs(tmp_path):
    obs = tmp_path / "obs.csv"
    obs.write_text("station_id,time,lat,lon,O3\nA,t,30.0,-40.0,10.0\n")
    with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
        plotting.process_time_series(str(obs), TripleItems(x=str(obs)), "EU", "O3", "daily",
                                     str(tmp_path / "p"))
    assert list(tmp_path.iterdir()) == [obs]
