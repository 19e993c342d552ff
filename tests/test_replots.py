"""Replots of saved tables: the bias map (offsetplex) and the scatter plot (pairplex)."""
import datetime
import inspect
import logging

import matplotlib

matplotlib.use("Agg")
import matplotlib.colors  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402
import xarray as xr  # noqa: E402

import kvelo.py.io  # noqa: E402
from kvelo.py import offsetplex, pairplex  # noqa: E402
from support.child import run_python  # noqa: E402
from support.logs import own_messages  # noqa: E402
from support.texts import end, start  # noqa: E402

BIAS = "plot_bias_from_file"
SCATTER = "plot_scatter_from_file"

# (module, function name, file parameter, printed kind, stem tag)
REPLOTS = [
    (offsetplex, BIAS, "bias_file", "bias", "BIAS"),
    (pairplex, SCATTER, "scatter_file", "scatter", "SCATTER"),
]
GLOBALS = ["os", "re", "csv", "sys", "glob", "time", "cftime", "logging", "np", "pd", "xr",
           "sns", "ccrs", "cfeature", "mcolors", "colors", "ticker", "mdates", "plt",
           "datetime", "make_axes_locatable", "read_data", "save_data"]


def function(module, name):
    return getattr(module, name)


def bias_table(path, lon, lat, bias, **extra):
    pd.DataFrame({"station_id": [f"S{i}" for i in range(len(bias))], "lon_obs": lon,
                  "lat_obs": lat, "bias": bias, **extra}).to_csv(path, index=False)
    return str(path)


def scatter_table(path, obs, mod):
    pd.DataFrame({"O3_obs": obs, "O3_mod": mod, "other": range(len(obs))}).to_csv(path,
                                                                                 index=False)
    return str(path)


# ---- loading and function objects ------------------------------------------------

@pytest.mark.parametrize("module, name, file_param, kind, tag", REPLOTS)
def test_globals_signature_defaults_and_doc(module, name, file_param, kind, tag):
    names = [k for k in vars(module) if not k.startswith("__")]
    assert names == GLOBALS + [name]
    assert module.np is np and module.pd is pd and module.xr is xr and module.plt is plt
    assert module.colors is module.mcolors is matplotlib.colors
    assert module.datetime is datetime.datetime
    assert module.read_data is kvelo.py.io.read_data
    assert module.save_data is kvelo.py.io.save_data
    fn = function(module, name)
    params = inspect.signature(fn).parameters
    assert list(params) == [file_param, "var", "output_base", "save_formats"]
    assert fn.__defaults__ == (["png", "pdf"],) and fn.__kwdefaults__ is None
    assert params["save_formats"].default is fn.__defaults__[0]
    line = f'{name}({file_param}, var, output_base, save_formats=["png", "pdf"])'
    assert fn.__doc__.startswith(line + "\n\n")
    with pytest.raises(TypeError):
        fn("t.csv", "O3")


@pytest.mark.parametrize("module, name, file_param, kind, tag", REPLOTS)
def test_omitted_formats_use_the_one_default_list(module, name, file_param, kind, tag,
                                                  tmp_path, figures, quick_save,
                                                  offline_natural_earth):
    path = (bias_table(tmp_path / "t.csv", [1.0], [2.0], [3.0]) if kind == "bias"
            else scatter_table(tmp_path / "t.csv", [1.0], [2.0]))
    default = function(module, name).__defaults__[0]
    default.append("svg")
    try:
        function(module, name)(path, "O3", str(tmp_path / "out"))
    finally:
        default.remove("svg")
    stem = f"out_region_O3_time_avg_{tag}_exp"
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["t.csv", f"{stem}.png", f"{stem}.pdf", f"{stem}.svg"])
    assert default == ["png", "pdf"]


def test_loading_selects_no_backend():
    code = ("import matplotlib\n"
            "before = dict.__getitem__(matplotlib.rcParams, 'backend')\n"
            "import kvelo.py.offsetplex, kvelo.py.pairplex\n"
            "print(dict.__getitem__(matplotlib.rcParams, 'backend') is before)\n")
    out = run_python(code)
    assert out.stdout.strip() == "True", out.stderr


# ---- paths that are not read, files that are missing -------------------------------

@pytest.mark.parametrize("module, name, file_param, kind, tag", REPLOTS)
@pytest.mark.parametrize("ending", [".CSV", ".NC", ".netcdf", ".csv.bak", ".txt"])
def test_other_endings_print_one_line_and_draw_nothing(module, name, file_param, kind, tag,
                                                       ending, tmp_path, caplog, capsys,
                                                       monkeypatch):
    caplog.set_level(logging.DEBUG)
    path = str(tmp_path / f"table{ending}")
    (tmp_path / f"table{ending}").write_text("lon_obs,lat_obs,bias,O3_obs,O3_mod\n1,2,3,4,5\n")
    monkeypatch.setattr(plt, "figure", lambda *a, **k: pytest.fail("a figure was made"))
    assert function(module, name)(path, "O3", str(tmp_path / "out"), ["png"]) is None
    assert capsys.readouterr().out == f"[ERROR] Could not load {kind} file: {path}\n"
    assert own_messages(caplog) == [start(name)]
    assert sorted(p.name for p in tmp_path.iterdir()) == [f"table{ending}"]


def test_printed_line_goes_through_builtins_print(tmp_path, monkeypatch):
    import builtins
    lines = []
    monkeypatch.setattr(builtins, "print", lambda *a, **k: lines.append(a))
    offsetplex.plot_bias_from_file("x.CSV", "O3", "out", [])
    pairplex.plot_scatter_from_file("x.netcdf", "O3", "out", [])
    assert lines == [("[ERROR] Could not load bias file: x.CSV",),
                     ("[ERROR] Could not load scatter file: x.netcdf",)]


@pytest.mark.parametrize("module, name, file_param, kind, tag", REPLOTS)
@pytest.mark.parametrize("ending", [".csv", ".nc"])
def test_missing_file_raises_the_readers_error(module, name, file_param, kind, tag, ending,
                                               tmp_path, caplog, capsys, figures):
    caplog.set_level(logging.DEBUG)
    with pytest.raises(FileNotFoundError):
        function(module, name)(str(tmp_path / f"missing{ending}"), "O3", str(tmp_path / "o"))
    assert own_messages(caplog) == [start(name)]
    assert capsys.readouterr().out == "" and figures == []


# ---- errors while drawing or saving close the figure ----------------------------------

@pytest.mark.parametrize("module, name, file_param, kind, tag", REPLOTS)
def test_missing_column_propagates_and_closes_the_figure(module, name, file_param, kind, tag,
                                                         tmp_path, caplog, figures,
                                                         offline_natural_earth):
    caplog.set_level(logging.DEBUG)
    path = tmp_path / "t.csv"
    pd.DataFrame({"lon_obs": [1.0], "lat_obs": [2.0], "O3_obs": [3.0]}).to_csv(path, index=False)
    with pytest.raises(KeyError):
        function(module, name)(str(path), "O3", str(tmp_path / "o"), ["png"])
    assert len(figures) == 1
    assert own_messages(caplog) == [start(name)]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["t.csv"]


@pytest.mark.parametrize("module, name, file_param, kind, tag", REPLOTS)
def test_unknown_format_word_keeps_earlier_files_and_closes(module, name, file_param, kind,
                                                            tag, tmp_path, caplog, figures,
                                                            quick_save, monkeypatch,
                                                            offline_natural_earth):
    caplog.set_level(logging.DEBUG)
    path = (bias_table(tmp_path / "t.csv", [1.0], [2.0], [3.0]) if kind == "bias"
            else scatter_table(tmp_path / "t.csv", [1.0], [2.0]))
    empty_file = matplotlib.figure.Figure.savefig

    def savefig(self, fname, **kw):
        if str(fname).endswith(".nope"):
            raise ValueError("Format 'nope' is not supported")
        empty_file(self, fname, **kw)

    monkeypatch.setattr(matplotlib.figure.Figure, "savefig", savefig)
    with pytest.raises(ValueError, match="nope"):
        function(module, name)(path, "O3", str(tmp_path / "o"), ["png", "nope", "pdf"])
    stem = f"o_region_O3_time_avg_{tag}_exp"
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["t.csv", f"{stem}.png"])
    assert own_messages(caplog) == [start(name), f"Saved {kind} plot: {tmp_path}/{stem}.png"]
    assert len(figures) == 1


# ---- the bias map ---------------------------------------------------------------------

def marker_colours(collection):
    collection.update_scalarmappable()
    return collection.get_facecolors().tolist()


def drawn_offsets(collection):
    """Marker positions that are drawn: the scatter masks rows with a NaN value."""
    return np.ma.compress_rows(np.ma.asarray(collection.get_offsets())).tolist()


def map_parts(ax):
    """The marker collection, the feature artists and the grid liners of a map."""
    from cartopy.mpl.feature_artist import FeatureArtist
    from cartopy.mpl.gridliner import Gridliner
    markers, *features = ax.collections
    assert all(isinstance(f, FeatureArtist) for f in features)
    return markers, features, [a for a in ax.artists if isinstance(a, Gridliner)]


def test_bias_map_markers_norm_features_colour_bar_and_title(tmp_path, caplog, figures,
                                                             quick_save, offline_natural_earth):
    import cartopy.crs as ccrs
    import cartopy.feature as cfeature
    caplog.set_level(logging.DEBUG)
    path = bias_table(tmp_path / "b.csv", [5.0, 10.0, 15.0, 20.0, 5.0, 25.0],
                      [45.0, 50.0, 55.0, 60.0, 45.0, 40.0], [80.0, -80.0, 0.0, np.nan, 50.0, -50.0])
    offsetplex.plot_bias_from_file(path, "O3", str(tmp_path / "out"), ["png"])

    (fig,) = figures
    assert tuple(fig.get_size_inches()) == (10.0, 6.0)
    ax = fig.axes[0]
    assert isinstance(ax.projection, ccrs.PlateCarree)
    assert ax.get_title() == "Bias exp - O3 - region (time_avg)"
    markers, features, gridliners = map_parts(ax)
    # The NaN row is left out; the repeated station keeps both of its markers.
    assert drawn_offsets(markers) == [[5.0, 45.0], [10.0, 50.0], [15.0, 55.0], [5.0, 45.0],
                                      [25.0, 40.0]]
    norm = markers.norm
    assert isinstance(norm, matplotlib.colors.TwoSlopeNorm)
    assert (norm.vmin, norm.vcenter, norm.vmax) == (-50, 0, 50)
    assert markers.cmap.name == "RdBu_r"
    cmap = matplotlib.colormaps["RdBu_r"]
    colours = marker_colours(markers)
    assert colours[0] == colours[4] == list(cmap(1.0))
    assert colours[1] == colours[5] == list(cmap(0.0))
    assert colours[2] == list(cmap(0.5))
    assert colours[3][3] == 0.0  # NaN: transparent
    assert [f._feature for f in features] == [cfeature.COASTLINE, cfeature.BORDERS]
    assert [f._kwargs for f in features] == [{}, {"linestyle": ":"}]
    assert [(g.left_labels, g.bottom_labels, g.top_labels, g.right_labels) for g in gridliners] \
        == [(True, True, True, True)]
    (cbar_ax,) = [a for a in fig.axes if a is not ax]
    assert cbar_ax.get_ylabel() == "O3 Bias ()"
    assert cbar_ax.get_position().x0 > ax.get_position().x1  # vertical, to the right
    stem = f"{tmp_path}/out_region_O3_time_avg_BIAS_exp"
    assert own_messages(caplog) == [start(BIAS), f"Saved bias plot: {stem}.png", end(BIAS)]
    assert own_messages(caplog, logging.INFO) == [f"Saved bias plot: {stem}.png"]


def test_bias_map_from_netcdf_takes_the_units_of_its_bias(tmp_path, figures, offline_natural_earth):
    ds = xr.Dataset(
        {"bias": (("station_id", "time"), [[1.0, 2.0], [3.0, np.nan]], {"units": "ppb"}),
         "lon_obs": ("station_id", [5.0, 10.0]), "lat_obs": ("station_id", [45.0, 50.0])},
        coords={"station_id": ["A", "B"], "time": pd.date_range("2024-01-01", periods=2)})
    ds.to_netcdf(tmp_path / "b.nc")
    offsetplex.plot_bias_from_file(str(tmp_path / "b.nc"), "NO2", str(tmp_path / "o"), [])
    (fig,) = figures
    ax, cbar_ax = fig.axes
    assert drawn_offsets(ax.collections[0]) == [[5.0, 45.0], [5.0, 45.0], [10.0, 50.0]]
    assert cbar_ax.get_ylabel() == "NO2 Bias (ppb)"
    (tmp_path / "b.nc").unlink()  # the file was closed after reading


def test_bias_map_without_rows_still_saves_every_format(tmp_path, figures, quick_save,
                                                        offline_natural_earth):
    (tmp_path / "b.csv").write_text("station_id,lon_obs,lat_obs,bias\n")
    offsetplex.plot_bias_from_file(str(tmp_path / "b.csv"), "O3", str(tmp_path / "o"))
    (fig,) = figures
    markers, features, gridliners = map_parts(fig.axes[0])
    assert len(markers.get_offsets()) == 0
    assert len(fig.axes) == 2 and len(features) == 2 and len(gridliners) == 1
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "b.csv", "o_region_O3_time_avg_BIAS_exp.pdf", "o_region_O3_time_avg_BIAS_exp.png"]


# ---- the scatter plot -------------------------------------------------------------------

NAN = float("nan")


@pytest.mark.parametrize("obs, mod, line_end", [
    ([1.0, 4.0, 2.0], [2.0, 9.0, 1.0], 9.0),        # a model value above every observation
    ([1.0, 9.0, 2.0], [2.0, 4.0, 1.0], 9.0),
    ([1.0, 5.0], [5.0, 2.0], 5.0),                  # equal maxima
    ([1.0, NAN, 7.0], [NAN, NAN, NAN], 7.0),        # model maximum NaN: the observation's
    ([NAN, NAN], [3.0, 4.0], NAN),                  # observation maximum NaN: no visible line
    ([-3.0, -1.0], [-4.0, -2.0], -1.0),              # runs from the origin downwards
])
def test_one_to_one_line_ends_at_the_larger_maximum(obs, mod, line_end, tmp_path, figures):
    path = scatter_table(tmp_path / "s.csv", obs, mod)
    pairplex.plot_scatter_from_file(path, "O3", str(tmp_path / "o"), [])
    (fig,) = figures
    ax = fig.axes[0]
    (line,) = ax.get_lines()
    x, y = (np.asarray(d, dtype=float) for d in line.get_data())
    assert np.array_equal(x, [0.0, line_end], equal_nan=True)
    assert np.array_equal(y, [0.0, line_end], equal_nan=True)
    assert line.get_linestyle() == "--" and line.get_color() == "k"


def test_scatter_markers_labels_grid_title_and_log(tmp_path, caplog, figures, quick_save):
    caplog.set_level(logging.DEBUG)
    path = scatter_table(tmp_path / "s.csv", [1.0, NAN, 3.0, 4.0], [2.0, 5.0, NAN, 6.0])
    pairplex.plot_scatter_from_file(path, "O3", str(tmp_path / "out"), ["png", "pdf"])
    (fig,) = figures
    assert tuple(fig.get_size_inches()) == (8.0, 8.0) and len(fig.axes) == 1
    ax = fig.axes[0]
    (markers,) = ax.collections
    assert drawn_offsets(markers) == [[1.0, 2.0], [4.0, 6.0]]  # NaN rows left out
    assert markers.get_edgecolor().tolist() == [list(matplotlib.colors.to_rgba("black", 0.7))]
    assert markers.get_alpha() == 0.7
    assert (ax.get_xlabel(), ax.get_ylabel(), ax.get_title()) == (
        "Observation", "Model", "Scatter Plot O3")
    assert all(g.get_visible() for g in ax.xaxis.get_gridlines() + ax.yaxis.get_gridlines())
    assert ax.get_legend() is None
    stem = f"{tmp_path}/out_region_O3_time_avg_SCATTER_exp"
    assert own_messages(caplog) == [start(SCATTER), f"Saved scatter plot: {stem}.png",
                                f"Saved scatter plot: {stem}.pdf", end(SCATTER)]


def test_scatter_from_netcdf_and_without_rows(tmp_path, figures):
    ds = xr.Dataset({"O3_obs": ("station_id", [1.0, 2.0]), "O3_mod": ("station_id", [3.0, 1.0])},
                    coords={"station_id": ["A", "B"]})
    ds.to_netcdf(tmp_path / "s.nc")
    pairplex.plot_scatter_from_file(str(tmp_path / "s.nc"), "O3", str(tmp_path / "a"), [])
    (tmp_path / "empty.csv").write_text("O3_obs,O3_mod\n")
    pairplex.plot_scatter_from_file(str(tmp_path / "empty.csv"), "O3", str(tmp_path / "b"),
                                    ["png"])
    nc_fig, empty_fig = figures
    assert drawn_offsets(nc_fig.axes[0].collections[0]) == [[1.0, 3.0], [2.0, 1.0]]
    assert nc_fig.axes[0].get_lines()[0].get_xdata()[1] == 3.0
    assert len(empty_fig.axes[0].collections[0].get_offsets()) == 0
    assert np.isnan(float(empty_fig.axes[0].get_lines()[0].get_xdata()[1]))
    assert (tmp_path / "b_region_O3_time_avg_SCATTER_exp.png").stat().st_size > 0


# ---- real files ---------------------------------------------------------------------

@pytest.mark.parametrize("module, name, file_param, kind, tag", REPLOTS)
def test_second_replot_with_the_same_base_replaces_the_files(module, name, file_param, kind,
                                                             tag, tmp_path, figures,
                                                             monkeypatch, offline_natural_earth):
    monkeypatch.setitem(plt.rcParams, "savefig.dpi", 40)  # small real files
    out = tmp_path / "out"
    out.mkdir()
    if kind == "bias":
        first = bias_table(tmp_path / "first.csv", [0.0, 10.0], [40.0, 50.0], [-30.0, 30.0])
        second = bias_table(tmp_path / "second.csv", [5.0, 20.0, 12.0], [42.0, 55.0, 48.0],
                            [45.0, -20.0, 5.0])
    else:
        first = scatter_table(tmp_path / "first.csv", [1.0, 2.0], [2.0, 1.0])
        second = scatter_table(tmp_path / "second.csv", [1.0, 5.0, 3.0], [4.0, 2.0, 6.0])
    fn = function(module, name)
    fn(first, "O3", str(out / "run"), ["png"])
    before = (out / f"run_region_O3_time_avg_{tag}_exp.png").read_bytes()
    fn(second, "O3", str(out / "run"), ["png"])
    assert [p.name for p in out.iterdir()] == [f"run_region_O3_time_avg_{tag}_exp.png"]
    after = (out / f"run_region_O3_time_avg_{tag}_exp.png").read_bytes()
    assert after != before and after.startswith(b"\x89PNG")
