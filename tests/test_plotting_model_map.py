"""Maps of an in-memory model field: mesh, extent, colour bar, station overlay."""

import logging

import matplotlib

matplotlib.use("Agg")
import cartopy.crs as ccrs  # noqa: E402
import cartopy.feature as cfeature  # noqa: E402
import numpy as np  # noqa: E402
import pytest  # noqa: E402
import xarray as xr  # noqa: E402

from kvelo.py import plotting  # noqa: E402
from support.figures import feature_artists, gridline_labels  # noqa: E402
from support.logs import own_messages  # noqa: E402
from support.texts import end, start  # noqa: E402

pytestmark = pytest.mark.usefixtures("offline_natural_earth")  # map data, never a download

BOUNDS = (40.0, 50.0, 0.0, 20.0)  # lat_min, lat_max, lon_min, lon_max
LAT = np.array([41.0, 44.0, 47.0])
LON = np.array([2.0, 6.0, 10.0, 14.0])
FIELD = np.arange(12.0).reshape(3, 4) + 20.0


def dataset(lat="lat", lon="lon", time_step=False, units="ppb", name="O3"):
    values, dims = FIELD, (lat, lon)
    if time_step:
        values, dims = FIELD[np.newaxis], ("time",) + dims
    attrs = {} if units is None else {"units": units}
    return xr.Dataset({name: (dims, values, attrs)}, coords={lat: LAT, lon: LON})


def draw(tmp_path, ds, formats=("png",), **kw):
    args = dict(ds_model=ds, region="EU", variable="O3", data_type="model", time_avg="daily",
                output_base=str(tmp_path / "m"), save_formats=list(formats),
                start_date="2024-01-01", end_date="2024-01-31", region_bounds=BOUNDS)
    args.update(kw)
    plotting.process_model_map_plot(**args)


def parts(fig):
    """(map axes, mesh, colour-bar axes)"""
    ax = fig.axes[0]
    (mesh,) = [c for c in ax.collections if isinstance(c, matplotlib.collections.QuadMesh)]
    return ax, mesh, fig.axes[1]


def test_model_map_with_stations(tmp_path, figures, saves, caplog):
    caplog.set_level(logging.DEBUG)
    stations = [{"lat": 42.0, "lon": 3.0, "name": "a"}, {"lat": None, "lon": 8.0},
                {"lat": 45.0, "lon": None}, {"lat": 48.0, "lon": 12.0}]
    draw(tmp_path, dataset(), formats=["png", "pdf"], station_coords=stations,
         exp_name="ctrl", debug=True)
    files = [str(tmp_path / f"m_model_EU_O3_ctrl.{fmt}") for fmt in ("png", "pdf")]
    assert saves == [((f,), {"dpi": 300, "bbox_inches": "tight"}) for f in files]
    assert own_messages(caplog) == [
        start("process_model_map_plot"), "Mapping variable O3 \u2794 O3 for plotting",
        "Plotting model map for experiment ctrl, variable O3 over Europe",
        *[f"Saved model map plot: {f}" for f in files], end("process_model_map_plot")]
    (fig,) = figures
    assert tuple(fig.get_size_inches()) == (10, 6)
    ax, mesh, cbar = parts(fig)
    assert isinstance(ax.projection, ccrs.PlateCarree)
    np.testing.assert_allclose(ax.get_extent(ccrs.PlateCarree()), (0, 20, 40, 50))
    np.testing.assert_array_equal(mesh.get_array(), FIELD)
    assert mesh.cmap.name == "viridis" and mesh.get_clim() == (20.0, 31.0)
    assert cbar.get_ylabel() == "O3 (ppb)"
    assert ax.get_title() == "ctrl - O3 over Europe (daily)"
    features = feature_artists(ax)
    assert [f._feature for f in features] == [cfeature.COASTLINE, cfeature.BORDERS]
    assert features[1]._kwargs == {"linestyle": ":"}
    assert gridline_labels(ax) == [(True,) * 4]
    (sc,) = [c for c in ax.collections if c is not mesh and c not in features]
    np.testing.assert_array_equal(sc.get_offsets(), [[3.0, 42.0], [12.0, 48.0]])
    assert sc.get_label() == "Stations" and list(sc.get_sizes()) == [20]
    np.testing.assert_array_equal(sc.get_facecolor(), [matplotlib.colors.to_rgba("red")])
    np.testing.assert_array_equal(sc.get_edgecolor(), [[0, 0, 0, 1]])
    legend = ax.get_legend()
    assert [t.get_text() for t in legend.get_texts()] == ["Stations"]
    assert legend._loc == 3  # lower left


@pytest.mark.parametrize("ds", [
    dataset(time_step=True),
    dataset(lat="latitude", lon="longitude"),
    dataset(lon="longitude"),
    # a data variable named lat is not a coordinate: latitude is used
    dataset(lat="latitude").assign(lat=("latitude", LAT * 0)),
], ids=["time-step", "long-names", "mixed", "lat-data-variable"])
def test_field_variants_draw_like_the_plain_field(tmp_path, figures, saves, ds):
    draw(tmp_path, dataset(), formats=[])
    draw(tmp_path, ds, formats=[])
    plain, variant = (parts(f)[1] for f in figures)
    np.testing.assert_array_equal(variant.get_array(), plain.get_array())
    np.testing.assert_array_equal(variant.get_coordinates(), plain.get_coordinates())


@pytest.mark.parametrize("stations", [None, [], [{"lat": None, "lon": 1.0}]])
def test_no_usable_station_draws_no_markers_and_no_legend(tmp_path, figures, saves, stations):
    draw(tmp_path, dataset(), station_coords=stations)
    ax, mesh, _ = parts(figures[0])
    assert list(ax.collections) == [mesh] + feature_artists(ax) and ax.get_legend() is None


def test_defaults_and_a_field_without_units(tmp_path, figures, caplog):
    caplog.set_level(logging.DEBUG)
    draw(tmp_path, dataset(units=None), start_date="ignored", end_date=None)
    assert [p.name for p in tmp_path.iterdir()] == ["m_model_EU_O3_EXP.png"]
    assert own_messages(caplog) == []
    ax, _, cbar = parts(figures[0])
    assert cbar.get_ylabel() == "O3 ()"
    assert ax.get_title() == "EXP - O3 over Europe (daily)"


def test_no_dataset_only_warns(tmp_path, figures, monkeypatch, caplog):
    caplog.set_level(logging.DEBUG)
    calls = []
    monkeypatch.setattr(plotting, "get_readable_region_name", lambda *a: calls.append(a))
    draw(tmp_path, None, debug=True)
    assert own_messages(caplog) == [start("process_model_map_plot"), "No model data to plot for EXP"]
    assert calls == [] and figures == [] and list(tmp_path.iterdir()) == []


def test_style_is_called_by_name_and_the_mapping_picks_the_field(tmp_path, figures, saves,
                                                                 monkeypatch):
    calls = []
    monkeypatch.setattr(plotting, "get_readable_region_name",
                        lambda *a, **k: calls.append(("region", a, k)) or "Somewhere")
    monkeypatch.setattr(plotting, "get_variable_mapping",
                        lambda *a, **k: calls.append(("mapping", a, k)) or {"mapped_name": "o3x"})
    draw(tmp_path, dataset(name="o3x"), data_type="cams")
    assert calls == [("region", ("EU",), {}),
                     ("mapping", (), {"data_type": "cams", "region": "EU", "variable": "O3"})]
    ax, _, cbar = parts(figures[0])
    assert ax.get_title() == "EXP - O3 over Somewhere (daily)" and cbar.get_ylabel() == "O3 (ppb)"
    assert saves[0][0] == (str(tmp_path / "m_model_EU_O3_EXP.png"),)


def python_unpack_error(value):
    try:
        lat_min, lat_max, lon_min, lon_max = value  # noqa: F841
    except (TypeError, ValueError) as e:
        return type(e), str(e)


@pytest.mark.parametrize("bounds", [(1, 2, 3), [1, 2, 3, 4, 5], 7, range(0)])
def test_bad_region_bounds_raise_the_unpacking_error(tmp_path, figures, bounds):
    expected = python_unpack_error(bounds)
    with pytest.raises(expected[0]) as err:
        draw(tmp_path, dataset(), region_bounds=bounds)
    assert str(err.value) == expected[1]
    assert figures == []


@pytest.mark.parametrize("case, error", [
    ("three-d", ValueError),  # taken for an RGB image, whose values must lie in 0..1
    ("format", ValueError),
    ("station-without-lat", KeyError),
])
def test_errors_after_the_figure_close_it(tmp_path, figures, case, error):
    ds, kw = dataset(), {}
    if case == "three-d":
        ds = xr.Dataset({"O3": (("time", "lat", "lon"), np.stack([FIELD, FIELD]))},
                        coords={"lat": LAT, "lon": LON})
    elif case == "format":
        kw["formats"] = ["png", "nosuch"]
    else:
        kw["station_coords"] = [{"lon": 1.0}]
    with pytest.raises(error):
        draw(tmp_path, ds, **kw)
    assert len(figures) == 1  # closed by the error
    if case == "format":
        assert [p.name for p in tmp_path.iterdir()] == ["m_model_EU_O3_EXP.png"]
