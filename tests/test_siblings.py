"""The sibling stand-ins io, style, utils and version as their callers use them."""
import textwrap

import matplotlib

matplotlib.use("Agg")
import matplotlib.colors as mcolors  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402

from kvelo.py import io, style, utils, version  # noqa: E402
from support.child import output  # noqa: E402


# ---- loading: a missing sibling name fails the importing module -------------

@pytest.mark.parametrize("sibling, name, importer", [
    ("utils", "extract_keys", "chronoplex"),
    ("version", "KVELO_DISTRIBUTION", "runjournal"),
])
def test_missing_sibling_name_fails_the_load(sibling, name, importer):
    code = textwrap.dedent(f"""
        import kvelo.py.{sibling} as sibling
        delattr(sibling, "{name}")
        try:
            import kvelo.py.{importer}
        except ImportError as e:
            # the loader reports the missing name as the cause of the failed load
            text = str(e) + str(e.__cause__)
            assert "cannot import name '{name}'" in text, text
        else:
            raise SystemExit("loaded without {name}")
    """)
    output(code)


def test_version_texts():
    for name in ("KVELO_VERSION", "KVELO_RELEASE_DATE", "KVELO_DISTRIBUTION"):
        assert isinstance(getattr(version, name), str) and getattr(version, name)


# ---- io.read_data / io.save_data ---------------------------------------------

@pytest.fixture
def station_table():
    return pd.DataFrame({
        "site_id": ["A", "A", "B"],
        "time": pd.to_datetime(["2024-01-01", "2024-01-02", "2024-01-01"]),
        "lat": [50.0, 50.0, 45.5],
        "o3_obs": [30.0, np.nan, 25.5],
        "o3_exp1": [31.0, 29.0, 24.0],
    })


def test_csv_units_come_from_the_header(tmp_path):
    path = tmp_path / "table.csv"
    path.write_text("site_id,time,o3_obs [ppb],o3_exp1 [ppb],lat\n"
                    "A,2024-01-01 00:00,30.5,31,50\n")
    df, units = io.read_data(path, data_format="csv", debug=False, return_units=True)
    assert list(df.columns) == ["site_id", "time", "o3_obs", "o3_exp1", "lat"]
    assert units == {"o3_obs": "ppb", "o3_exp1": "ppb"}
    assert pd.api.types.is_datetime64_any_dtype(df["time"])
    assert df["time"].iloc[0] == pd.Timestamp("2024-01-01")


@pytest.mark.parametrize("suffix, data_format", [
    ("csv", "csv"), ("csv", "CSV"), ("nc", "netcdf"), ("nc", "nc"), ("nc", "NetCDF4"), ("nc", None),
])
def test_save_and_read_round_trip(tmp_path, station_table, suffix, data_format):
    path = tmp_path / f"table.{suffix}"
    io.save_data(station_table, path, data_format, {"o3_obs": "ppb"})
    df, units = io.read_data(str(path), data_format=data_format, return_units=True)
    assert units.get("o3_obs") == "ppb"
    assert pd.api.types.is_datetime64_any_dtype(df["time"])
    key = ["site_id", "time"]
    got = df.sort_values(key).dropna(subset=["o3_exp1"]).reset_index(drop=True)
    want = station_table.sort_values(key).reset_index(drop=True)
    pd.testing.assert_frame_equal(got[want.columns], want, check_dtype=False)


def test_without_return_units_gives_the_bare_table(tmp_path, station_table):
    path = tmp_path / "t.csv"
    station_table.to_csv(path, index=False)
    df = io.read_data(path)
    assert isinstance(df, pd.DataFrame) and len(df) == 3
    _, units = io.read_data(path, return_units=True)
    assert units == {}


@pytest.mark.parametrize("name, content, data_format, error", [
    ("missing.csv", None, "csv", FileNotFoundError),
    ("table.xlsx", "x", None, ValueError),
    ("table.csv", "x", "parquet", ValueError),
    ("broken.nc", "this is no netcdf file", "netcdf", ValueError),
    ("broken.csv", 'a,b\n1,"unclosed\n', "csv", ValueError),
    ("empty.csv", "", "csv", ValueError),
])
def test_read_errors_name_the_path(tmp_path, name, content, data_format, error):
    path = tmp_path / name
    if content is not None:
        path.write_text(content)
    with pytest.raises(error) as info:
        io.read_data(path, data_format=data_format, return_units=True)
    assert str(path) in str(info.value)
    if content is not None:
        assert path.read_text() == content


@pytest.mark.parametrize("name, data_format, shown", [
    ("table.csv", "cvs", "cvs"),      # the word as given
    ("table.csv", "NetCDF3", "NetCDF3"),
    ("table.xlsx", None, "xlsx"),     # no word: the extension
])
def test_an_unknown_format_names_every_accepted_word(tmp_path, station_table, name, data_format,
                                                     shown):
    path = tmp_path / name
    expected = (f"Unsupported data format '{shown}' for {path} "
                "(expected csv, nc, netcdf or netcdf4)")
    with pytest.raises(ValueError) as read:
        io.read_data(path, data_format=data_format)
    with pytest.raises(ValueError) as save:
        io.save_data(station_table, path, data_format)
    assert str(read.value) == str(save.value) == expected
    assert not path.exists()


def test_read_does_not_modify_the_file(tmp_path, station_table):
    path = tmp_path / "t.csv"
    io.save_data(station_table, path, "csv", {"o3_obs": "ppb"})
    before = path.read_bytes()
    io.read_data(path, data_format="csv", debug=True, return_units=True)
    assert path.read_bytes() == before


# ---- style ---------------------------------------------------------------------

def test_region_names():
    assert style.get_readable_region_name("eu") == "Europe"
    assert style.get_readable_region_name("Nowhere") == "Nowhere"
    assert style.get_readable_region_name(None) == "None"


def test_load_variable_columns_in_drawing_order():
    df = pd.DataFrame(columns=["site_id", "o3_exp1", "lat", "o3", "o3_obs", "o3_exp2", "no2_obs",
                               "o3x"])
    columns, obs, experiments = style.load_variable_columns(df, "o3")
    assert columns == ["o3_obs", "o3", "o3_exp1", "o3_exp2"]
    assert obs == "o3_obs"
    assert experiments == ["exp1", "exp2"]
    assert style.load_variable_columns(df, "so2")[0] == []


def test_marker_styles_are_valid_and_distinct():
    from matplotlib.markers import MarkerStyle
    styles = [style.get_marker_style("obs", 0)] + [style.get_marker_style(f"e{i}", i)
                                                   for i in range(1, 6)]
    for marker, size in styles:
        MarkerStyle(marker)
        assert size > 0
    assert len({m for m, _ in styles}) == len(styles)
    # later layers are drawn smaller, so earlier ones stay visible around them
    sizes = [s for _, s in styles]
    assert sizes == sorted(sizes, reverse=True)


@pytest.mark.parametrize("values, kind, limits", [
    ([np.nan, np.nan], None, None),
    ([], None, None),
    ([np.inf, np.nan], None, None),
    ([10.0, np.nan, 30.0, 20.0], mcolors.Normalize, (10.0, 30.0)),
    ([-5.0, 5.0, np.inf], mcolors.Normalize, (-5.0, 5.0)),
    ([1e9, 1e12, 5e10], mcolors.LogNorm, (1e9, 1e12)),
    ([0.0, 1e12], mcolors.Normalize, (0.0, 1e12)),
])
def test_color_norm_spans_the_finite_values(values, kind, limits):
    norm = style.calculate_color_norm(np.array(values), "o3", "ppb", debug=False)
    if kind is None:
        assert norm is None
    else:
        assert type(norm) is kind
        assert (norm.vmin, norm.vmax) == pytest.approx(limits)


def test_color_norm_of_constant_values_is_not_degenerate(caplog):
    caplog.set_level("DEBUG")
    norm = style.calculate_color_norm(pd.Series([4.0, 4.0]), "o3", "ppb", True)
    assert norm.vmin < 4.0 < norm.vmax
    assert norm(4.0) == pytest.approx(0.5)
    assert any("o3" in r.getMessage() for r in caplog.records)


def test_colorbar_limits_and_unit_conversion():
    assert style.get_variable_colorbar_limits("O3") == (0.0, 80.0)
    assert style.get_variable_colorbar_limits("unknown") is None
    assert style.convert_units(np.array([1.0, 2.5]), "ppm", "ppb") == pytest.approx([1000, 2500])
    assert style.convert_units(2000.0, "ng/m3", "ug/m3") == pytest.approx(2.0)
    series = pd.Series([1.0])
    assert style.convert_units(series, "ppb", "PPB") is series
    with pytest.raises(ValueError, match="'ppb' to 'ug/m3'"):
        style.convert_units(1.0, "ppb", "ug/m3")


@pytest.mark.usefixtures("offline_natural_earth")
def test_map_setup_gives_current_figure_with_lon_lat_axes(tmp_path):
    import cartopy.crs as ccrs
    from cartopy.mpl.geoaxes import GeoAxes
    fig, ax = style.setup_cartopy_map1(region_bounds=(35.0, 65.0, -12.0, 30.0))
    try:
        assert plt.gcf() is fig and isinstance(ax, GeoAxes)
        assert isinstance(ax.projection, ccrs.PlateCarree)
        assert ax.get_extent() == pytest.approx((-12.0, 30.0, 35.0, 65.0))
        # longitude and latitude are the axes' own data coordinates
        assert ax.transData.transform((9.0, 50.0)) == pytest.approx(
            ax.transData.transform(ax.projection.transform_point(9.0, 50.0, ccrs.PlateCarree())))
        ax.scatter([2.35, 13.4], [48.85, 52.5], c=[1.0, 2.0], s=60, edgecolors="black")
        ax.text(2.35, 48.85, "1", transform=ccrs.PlateCarree())
        from mpl_toolkits.axes_grid1 import make_axes_locatable
        cax = make_axes_locatable(ax).append_axes("right", size="3%", pad=0.1,
                                                  axes_class=plt.Axes)
        plt.colorbar(ax.collections[-1], cax=cax)
        out = tmp_path / "map.png"
        plt.savefig(out, dpi=60, bbox_inches="tight")
        assert out.stat().st_size > 1000
        assert any(type(c).__name__ == "FeatureArtist" for c in ax.get_children())
    finally:
        plt.close(fig)


@pytest.mark.parametrize("bounds", [(35, 65, -12), (65, 35, -12, 30), (35, 65, 30, -12),
                                    (35, 95, 0, 10), (35, 65, float("nan"), 30), "abcd", None])
def test_map_setup_refuses_bad_bounds_without_leaving_a_figure(bounds):
    open_before = plt.get_fignums()
    with pytest.raises(ValueError, match="region_bounds"):
        style.setup_cartopy_map1(region_bounds=bounds)
    assert plt.get_fignums() == open_before


@pytest.mark.usefixtures("offline_natural_earth")
def test_map_setup_on_existing_axes():
    import cartopy.crs as ccrs
    fig = plt.figure()
    try:
        ax = fig.add_subplot(projection=ccrs.PlateCarree())
        assert style.setup_cartopy_map(ax, [-40, 40, 100, 160]) is ax
        assert ax.get_extent() == pytest.approx((100, 160, -40, 40))
        fig.canvas.draw()
    finally:
        plt.close(fig)


# ---- utils ---------------------------------------------------------------------

@pytest.mark.parametrize("key", ["obs", "o3_obs", "o3_exp1", "o3_exp2", "o3_control"])
def test_line_style_is_a_new_mapping_with_a_colour(key):
    first, second = utils.get_line_style(key), utils.get_line_style(key)
    assert isinstance(first, dict) and first is not second and first == second
    assert mcolors.is_color_like(first["color"])
    assert not {"label", "zorder", "marker", "markersize"} & set(first)
    first["linewidth"] = 1.5
    assert "linewidth" not in utils.get_line_style(key)
    fig, ax = plt.subplots()
    ax.plot([0, 1], [0, 1], label="x", zorder=3, marker="o", markersize=3, **first)
    plt.close(fig)


def test_experiments_get_different_colours_than_obs():
    colours = [utils.get_line_style(k)["color"] for k in ("obs", "o3_exp1", "o3_exp2")]
    assert len(set(colours)) == 3


@pytest.mark.parametrize("unit, expected", [
    ("molec/cm2", True), (" Molec cm-2 ", True), ("cm-3", True),
    ("ppb", False), ("ug/m3", False), ("", False), (None, False),
])
def test_is_log_unit(unit, expected):
    assert utils.is_log_unit(unit) is expected


def test_extract_keys():
    data = {"o3_obs": [], "o3_exp1": [], "o3_exp2": [], "time": [], "site_id": "A", 3: 1}
    assert utils.extract_keys(data, "o3") == ["o3_exp1", "o3_exp2"]


def test_time_axis_format_with_full_year():
    import matplotlib.dates as mdates
    times = pd.DatetimeIndex(pd.date_range("2024-03-01", periods=5, freq="D"))
    fig, ax = plt.subplots()
    try:
        ax.plot(times, range(5))
        assert utils.apply_time_axis_format(ax, times, True) is None
        left, right = (mdates.num2date(x).date() for x in ax.get_xlim())
        assert (str(left), str(right)) == ("2024-01-01", "2024-12-31")
        utils.apply_time_axis_format(ax, times, None)
    finally:
        plt.close(fig)


def stations(lons, lats):
    return pd.DataFrame({"site_id": [f"S{i}" for i in range(len(lons))], "lat": lats,
                         "lon": lons})


@pytest.mark.parametrize("n, kwargs, count", [
    (10, {}, 4), (1, {}, 1), (2, {}, 1), (300, {}, 100), (10, {"density": 1.0}, 10),
    (10, {"min_labels": 6}, 6), (10, {"max_labels": 2}, 2), (3, {"min_labels": 8}, 3),
    (0, {}, 0), (10, {"density": 0.0, "min_labels": 0}, 0),
])
def test_label_count_follows_density_within_limits(n, kwargs, count):
    rng = np.random.default_rng(n)
    df = stations(rng.uniform(-10, 30, n), rng.uniform(35, 65, n))
    picked = utils.select_label_stations_by_density(station_df=df, **kwargs)
    assert len(picked) == count
    assert list(picked.columns) == ["site_id", "lat", "lon"]
    # the rows keep their index labels and their values
    pd.testing.assert_frame_equal(picked, df.loc[picked.index])
    assert picked.index.is_monotonic_increasing and picked.index.is_unique


def test_labels_spread_over_the_map():
    # nine stations in one corner, one far away: two labels take one of each
    lons = [0.0, 0.1, 0.2, 0.0, 0.1, 0.2, 0.0, 0.1, 0.2, 25.0]
    lats = [45.0, 45.0, 45.0, 45.1, 45.1, 45.1, 45.2, 45.2, 45.2, 60.0]
    picked = utils.select_label_stations_by_density(station_df=stations(lons, lats), density=0.2)
    assert len(picked) == 2 and 9 in picked.index


def test_labels_skip_stations_without_position_and_keep_index_labels():
    df = stations([0.0, np.nan, 10.0, 20.0], [40.0, 41.0, np.nan, 42.0])
    df.index = [5, 6, 7, 8]
    picked = utils.select_label_stations_by_density(df, 1.0)
    assert list(picked.index) == [5, 8]
