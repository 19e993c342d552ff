"""Matched files turned into processed model tables, bias maps and scatter plots."""

import datetime
import inspect
import logging
import sys

import matplotlib

matplotlib.use("Agg")
import cartopy.crs as ccrs  # noqa: E402
import cartopy.feature as cfeature  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402
import xarray as xr  # noqa: E402

from kvelo.py import matched, plotting  # noqa: E402
from support.child import output  # noqa: E402
from support.figures import feature_artists, gridline_labels  # noqa: E402
from support.logs import messages  # noqa: E402
from support.texts import end, start  # noqa: E402

pytestmark = pytest.mark.usefixtures("offline_natural_earth")  # map data, never a download

COLUMNS = ["station_id", "time", "lat", "lon", "O3"]
ARGS = dict(region="EU", var="O3", time_avg="daily")


def write_csv(path, rows, columns=COLUMNS):
    pd.DataFrame(rows, columns=columns).to_csv(path, index=False)
    return str(path)


@pytest.fixture
def files(tmp_path):
    """An observation file and two experiments; station C only in the
    observation, station D only in the model files."""
    obs = write_csv(tmp_path / "obs.csv", [
        ("A", "2024-01-01", 45.0, 5.0, 30.0),
        ("A", "2024-01-02", 45.0, 5.0, 40.0),
        ("B", "2024-01-01", 50.0, 10.0, 20.0),
        ("C", "2024-01-01", 55.0, 15.0, 10.0),
    ])
    ctrl = write_csv(tmp_path / "ctrl.csv", [
        ("B", "2024-01-01", 50.5, 10.5, 100.0),
        ("A", "2024-01-02", 45.5, 5.5, 35.0),
        ("A", "2024-01-01", 45.5, 5.5, 110.0),
        ("D", "2024-01-01", 60.0, 20.0, 1.0),
    ])
    test = write_csv(tmp_path / "test.csv", [
        ("A", "2024-01-01", 45.5, 5.5, np.nan),
        ("B", "2024-01-01", 50.5, 10.5, 12.0),
    ])
    out = tmp_path / "out"
    out.mkdir()
    return {"obs": obs, "models": {"ctrl": ctrl, "test": test}, "out": out,
            "base": str(out / "run")}


# ---- module load -------------------------------------------------------------

def test_load_binds_every_name_in_order():
    import cftime
    import seaborn
    from mpl_toolkits.axes_grid1 import make_axes_locatable

    from kvelo.py import io, style

    bound = {
        "os": __import__("os"), "re": __import__("re"), "csv": __import__("csv"),
        "sys": sys, "glob": __import__("glob"), "time": __import__("time"), "cftime": cftime,
        "logging": logging, "np": np, "pd": pd, "xr": xr, "sns": seaborn, "ccrs": ccrs,
        "cfeature": cfeature, "mcolors": matplotlib.colors, "colors": matplotlib.colors,
        "ticker": matplotlib.ticker, "mdates": matplotlib.dates, "plt": plt,
        "datetime": datetime.datetime, "make_axes_locatable": make_axes_locatable,
        "load_matched_data": matched.load_matched_data, "read_data": io.read_data,
        "save_data": io.save_data, "get_readable_region_name": style.get_readable_region_name,
        "get_variable_mapping": style.get_variable_mapping,
    }
    functions = ["process_time_series", "process_bias_plot", "process_scatter_plot",
                 "process_model_map_plot"]
    names = [n for n in vars(plotting) if not n.startswith("__")]
    assert names == list(bound) + functions
    for name, value in bound.items():
        assert getattr(plotting, name) is value, name


@pytest.mark.parametrize("name, params, defaults, doc", [
    ("process_time_series",
     ["matched_obs_file", "matched_model_files", "region", "var", "time_avg", "output_base",
      "save_data_format", "debug"], ("csv", False),
     'process_time_series(matched_obs_file, matched_model_files, region, var, time_avg, '
     'output_base, save_data_format="csv", debug=False)'),
    ("process_bias_plot",
     ["matched_obs_file", "matched_model_files", "region", "var", "time_avg", "output_base",
      "save_formats", "debug"], (False,),
     "process_bias_plot(matched_obs_file, matched_model_files, region, var, time_avg, "
     "output_base, save_formats, debug=False)"),
    ("process_scatter_plot",
     ["matched_obs_file", "matched_model_files", "region", "var", "time_avg", "output_base",
      "save_formats", "debug"], (False,),
     "process_scatter_plot(matched_obs_file, matched_model_files, region, var, time_avg, "
     "output_base, save_formats, debug=False)"),
    ("process_model_map_plot",
     ["ds_model", "region", "variable", "data_type", "time_avg", "output_base", "save_formats",
      "start_date", "end_date", "region_bounds", "station_coords", "exp_name", "debug"],
     (None, "EXP", False),
     'process_model_map_plot(ds_model, region, variable, data_type, time_avg, output_base, '
     'save_formats, start_date, end_date, region_bounds, station_coords=None, exp_name="EXP", '
     'debug=False)'),
])
def test_signatures_defaults_and_docs(name, params, defaults, doc):
    fn = getattr(plotting, name)
    assert list(inspect.signature(fn).parameters) == params
    assert fn.__defaults__ == defaults
    assert fn.__doc__.startswith(doc + "\n\n")
    assert fn.__module__ == "kvelo.py.plotting"
    with pytest.raises(TypeError, match="missing 1 required positional argument"):
        fn(*range(len(params) - len(defaults) - 1))
    with pytest.raises(TypeError, match="positional argument"):
        fn(*range(len(params) + 1))


def test_loading_selects_no_drawing_backend():
    code = ("import matplotlib, matplotlib.rcsetup as r\n"
            "import kvelo.py.plotting\n"
            "print(matplotlib.rcParams._get('backend') is r._auto_backend_sentinel)\n")
    env = {k: v for k, v in __import__("os").environ.items() if k != "MPLBACKEND"}
    assert output(code, env=env).strip() == "True"


# ---- processed model tables --------------------------------------------------

@pytest.mark.parametrize("word, ext, as_csv", [
    ("csv", "csv", True), ("CSV", "CSV", False), ("netcdf", "netcdf", False), ("nc", "nc", False),
])
def test_processed_tables_keep_the_model_table(files, word, ext, as_csv, caplog):
    caplog.set_level(logging.DEBUG)
    plotting.process_time_series(files["obs"], files["models"], **ARGS,
                                 output_base=files["base"], save_data_format=word)
    names = sorted(p.name for p in files["out"].iterdir())
    assert names == [f"run_EU_O3_daily_{exp}_mod.{ext}" for exp in ("ctrl", "test")]
    assert caplog.messages == []  # nothing above debug without debug, loader included
    for exp, path in files["models"].items():
        table = matched.load_matched_data(path)
        written = files["out"] / f"run_EU_O3_daily_{exp}_mod.{ext}"
        if as_csv:
            assert written.read_text() == table.to_csv(index=False)
        else:
            with xr.open_dataset(written) as ds:
                assert list(ds.dims) == ["time"] and list(ds.data_vars) == COLUMNS[:1] + COLUMNS[2:]
                back = ds.to_dataframe()
            pd.testing.assert_frame_equal(back, table.set_index("time"))


def test_processed_tables_with_debug_and_a_missing_model(files, capsys, caplog):
    caplog.set_level(logging.DEBUG)
    models = {"gone": str(files["out"] / "gone.csv"), "ctrl": files["models"]["ctrl"]}
    plotting.process_time_series(files["obs"], models, **ARGS, output_base=files["base"],
                                 debug=True)
    written = f"{files['base']}_EU_O3_daily_ctrl_mod.csv"
    assert [p.name for p in files["out"].iterdir()] == ["run_EU_O3_daily_ctrl_mod.csv"]
    assert capsys.readouterr().out == f"[ERROR] Matched data file not found: {models['gone']}\n"
    own = [m for m in caplog.messages if "load_matched_data" not in m and "Loaded" not in m]
    assert own == [start("process_time_series"),
                   f"Saved processed model data: {written}",
                   end("process_time_series")]
    assert messages(caplog, logging.WARNING) == []


@pytest.mark.parametrize("fn, warning", [
    ("process_time_series", "No matched obs data for O3 EU"),
    ("process_bias_plot", "No matched observation data for O3 EU"),
    ("process_scatter_plot", "No matched observation data for O3 EU"),
])
@pytest.mark.parametrize("obs_name, printed", [
    ("missing.csv", "[ERROR] Matched data file not found: {}"),
    ("obs.netcdf", "[ERROR] Unsupported file format: {}"),
])
def test_unusable_observation_warns_and_returns(files, fn, warning, obs_name, printed, capsys,
                                                caplog, figures):
    caplog.set_level(logging.DEBUG)
    obs = files["out"] / obs_name
    if obs_name.endswith(".netcdf"):
        obs.write_text("x")
    getattr(plotting, fn)(str(obs), files["models"], **ARGS, output_base=files["base"],
                          **({} if fn == "process_time_series" else {"save_formats": ["png"]}),
                          debug=True)
    assert capsys.readouterr().out == printed.format(obs) + "\n"
    assert messages(caplog, logging.WARNING) == [warning]
    assert caplog.messages[0] == start(fn)
    assert not any(m.startswith("End:") and fn in m for m in caplog.messages)
    assert figures == [] and [p.name for p in files["out"].iterdir()] == [obs_name] * obs.exists()


def test_empty_model_mapping_writes_nothing(files, caplog):
    caplog.set_level(logging.DEBUG)
    plotting.process_time_series(files["obs"], {}, **ARGS, output_base=files["base"], debug=True)
    assert list(files["out"].iterdir()) == []
    own = [m for m in caplog.messages if "process_time_series" in m]
    assert own == [start("process_time_series"),
                   end("process_time_series")]


def test_netcdf_table_without_time_fails_and_keeps_earlier_files(files, tmp_path):
    no_time = write_csv(tmp_path / "no_time.csv", [("A", 45.0, 5.0, 1.0)],
                        ["station_id", "lat", "lon", "O3"])
    models = {"ctrl": files["models"]["ctrl"], "bad": no_time, "test": files["models"]["test"]}
    with pytest.raises(KeyError, match="time"):
        plotting.process_time_series(files["obs"], models, **ARGS, output_base=files["base"],
                                     save_data_format="nc")
    assert [p.name for p in files["out"].iterdir()] == ["run_EU_O3_daily_ctrl_mod.nc"]


# ---- the merged table ----------------------------------------------------------

def scatter_of(fig):
    """(map or plot axes, its marker collection); a colour bar comes after it."""
    ax = fig.axes[0]
    return ax, ax.collections[0]


def test_bias_map_of_each_experiment(files, figures, saves, caplog):
    caplog.set_level(logging.INFO)
    plotting.process_bias_plot(files["obs"], files["models"], **ARGS, output_base=files["base"],
                               save_formats=["png", "pdf"])
    stems = [f"{files['base']}_EU_O3_daily_BIAS_{exp}" for exp in ("ctrl", "test")]
    assert saves == [((f"{s}.{fmt}",), {}) for s in stems for fmt in ("png", "pdf")]
    assert caplog.messages == [f"Saved bias plot: {s}.{fmt}" for s in stems
                               for fmt in ("png", "pdf")]
    assert len(figures) == 2
    # ctrl: rows of the observation in order, each with its model partner.
    fig = figures[0]
    assert tuple(fig.get_size_inches()) == (10, 6)
    ax, sc = scatter_of(fig)
    assert isinstance(ax.projection, ccrs.PlateCarree)
    assert ax.get_title() == "Bias ctrl - O3 - EU (daily)"
    np.testing.assert_array_equal(sc.get_offsets(), [[5.0, 45.0], [5.0, 45.0], [10.0, 50.0]])
    np.testing.assert_array_equal(sc.get_array(), [80.0, -5.0, 80.0])
    assert sc.cmap.name == "RdBu_r" and sc.get_clim() == (-50, 50)
    assert list(sc.get_sizes()) == [50]
    np.testing.assert_array_equal(sc.get_edgecolor(), [[0, 0, 0, 1]])
    cbar_ax = [a for a in fig.axes if a is not ax]
    assert len(cbar_ax) == 1 and cbar_ax[0].get_ylabel() == "Bias (O3)"
    assert cbar_ax[0].get_ylim() == (-50, 50)
    features = feature_artists(ax)
    assert [f._feature for f in features] == [cfeature.COASTLINE, cfeature.BORDERS]
    assert features[1]._kwargs == {"linestyle": ":"}
    assert gridline_labels(ax) == [(True,) * 4]
    # test: the NaN model value gives a NaN bias and no colour.
    ax, sc = scatter_of(figures[1])
    assert ax.get_title() == "Bias test - O3 - EU (daily)"
    bias = sc.get_array()
    assert np.ma.getmaskarray(bias).tolist() == [True, False] and bias[1] == -8.0


def test_bias_beyond_the_limits_takes_the_end_colour(tmp_path, figures, saves):
    obs = write_csv(tmp_path / "o.csv", [(s, "t", 0.0, float(i), 0.0)
                                         for i, s in enumerate("abcd")])
    mod = write_csv(tmp_path / "m.csv", [(s, "t", 0.0, 0.0, v)
                                         for s, v in zip("abcd", (80.0, 50.0, -80.0, -50.0))])
    plotting.process_bias_plot(obs, {"x": mod}, **ARGS, output_base=str(tmp_path / "b"),
                               save_formats=[])
    assert saves == []
    (fig,) = figures
    _, sc = scatter_of(fig)
    rgba = sc.to_rgba(sc.get_array())
    assert (rgba[0] == rgba[1]).all() and (rgba[2] == rgba[3]).all()
    assert not (rgba[0] == rgba[2]).all()


def test_repeated_key_pairs_give_every_combination(tmp_path, figures, saves):
    obs = write_csv(tmp_path / "o.csv", [("A", "t1", 1.0, 1.0, 1.0), ("A", "t1", 2.0, 2.0, 2.0)])
    mod = write_csv(tmp_path / "m.csv", [("A", "t1", 0.0, 0.0, v) for v in (10.0, 20.0, 30.0)])
    plotting.process_bias_plot(obs, {"x": mod}, **ARGS, output_base=str(tmp_path / "b"),
                               save_formats=["png"])
    plotting.process_scatter_plot(obs, {"x": mod}, **ARGS, output_base=str(tmp_path / "s"),
                                  save_formats=["png"])
    _, bias = scatter_of(figures[0])
    np.testing.assert_array_equal(bias.get_offsets()[:, 1], [1, 1, 1, 2, 2, 2])
    np.testing.assert_array_equal(bias.get_array(), [9, 19, 29, 8, 18, 28])
    _, sc = scatter_of(figures[1])
    np.testing.assert_array_equal(sc.get_offsets(),
                                  [[o, m] for o in (1, 2) for m in (10, 20, 30)])


def test_bias_map_without_common_rows_is_still_saved(tmp_path, figures, caplog):
    caplog.set_level(logging.INFO)
    obs = write_csv(tmp_path / "o.csv", [("A", "t1", 45.0, 5.0, 1.0)])
    mod = write_csv(tmp_path / "m.csv", [("B", "t1", 45.0, 5.0, 2.0)])
    plotting.process_bias_plot(obs, {"x": mod}, **ARGS, output_base=str(tmp_path / "b"),
                               save_formats=["png"])
    png = tmp_path / "b_EU_O3_daily_BIAS_x.png"
    assert png.stat().st_size > 1000
    assert caplog.messages == [f"Saved bias plot: {png}"]
    (fig,) = figures
    ax = fig.axes[0]
    assert len(ax.collections[0].get_offsets()) == 0
    assert len(feature_artists(ax)) == 2
    assert fig.axes[1].get_ylabel() == "Bias (O3)"


def test_scatter_plot_of_each_experiment(files, figures, saves, caplog):
    caplog.set_level(logging.INFO)
    plotting.process_scatter_plot(files["obs"], files["models"], **ARGS,
                                  output_base=files["base"], save_formats=["png"])
    stems = [f"{files['base']}_EU_O3_daily_SCATTER_{exp}" for exp in ("ctrl", "test")]
    assert saves == [((f"{s}.png",), {}) for s in stems]
    assert caplog.messages == [f"Saved scatter plot: {s}.png" for s in stems]
    fig = figures[0]
    assert tuple(fig.get_size_inches()) == (8, 8)
    ax, sc = scatter_of(fig)
    np.testing.assert_array_equal(sc.get_offsets(), [[30, 110], [40, 35], [20, 100]])
    assert sc.get_alpha() == 0.7
    np.testing.assert_array_equal(sc.get_edgecolor(), [[0, 0, 0, 0.7]])
    assert sc.get_facecolor()[0][:3].tolist() == list(matplotlib.colors.to_rgb("C0"))
    (line,) = ax.get_lines()
    # Up to the largest observation of the merged rows (C's 10 is not among them),
    # not to the model's 110.
    assert list(line.get_xdata()) == [0, 40.0] and list(line.get_ydata()) == [0, 40.0]
    assert line.get_color() == "k" and line.get_linestyle() == "--"
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("Observation", "Model")
    assert ax.get_title() == "Scatter ctrl - O3 - EU (daily)"
    assert ax.xaxis.get_gridlines()[0].get_visible()
    assert ax.get_legend() is None
    # test: the NaN model row gives no visible marker.
    ax, sc = scatter_of(figures[1])
    offsets = np.ma.masked_invalid(sc.get_offsets())
    assert offsets.count(axis=0).tolist() == [1, 1] and offsets.compressed().tolist() == [20, 12]


@pytest.mark.parametrize("obs_values, end", [((-5.0, -2.0), -2.0), ((np.nan, np.nan), np.nan)])
def test_scatter_line_ends_at_the_observation_maximum(tmp_path, figures, saves, obs_values, end):
    obs = write_csv(tmp_path / "o.csv", [("A", f"t{i}", 0.0, 0.0, v)
                                         for i, v in enumerate(obs_values)])
    mod = write_csv(tmp_path / "m.csv", [("A", f"t{i}", 0.0, 0.0, 9.0) for i in range(2)])
    plotting.process_scatter_plot(obs, {"x": mod}, **ARGS, output_base=str(tmp_path / "s"),
                                  save_formats=["png"])
    (line,) = figures[0].axes[0].get_lines()
    np.testing.assert_array_equal(line.get_xydata(), [[0, 0], [end, end]])
    assert len(saves) == 1


def test_debug_lines_of_the_figures(files, figures, saves, caplog):
    caplog.set_level(logging.DEBUG)
    for name in ("process_bias_plot", "process_scatter_plot"):
        caplog.clear()
        getattr(plotting, name)(files["obs"], {"ctrl": files["models"]["ctrl"]}, **ARGS,
                                output_base=files["base"], save_formats=[], debug=True)
        own = [m for m in caplog.messages if name in m]
        assert own == [start(name), end(name)]
        assert f"Loaded matched data: {files['models']['ctrl']}" in caplog.messages


# ---- errors: they propagate, and no figure stays open -------------------------

def test_an_unknown_format_closes_the_figure_and_keeps_earlier_files(files, figures):
    for name, kind in (("process_bias_plot", "BIAS"), ("process_scatter_plot", "SCATTER")):
        with pytest.raises(ValueError, match="not supported"):
            getattr(plotting, name)(files["obs"], files["models"], **ARGS,
                                    output_base=files["base"], save_formats=["png", "nosuch"])
        assert (files["out"] / f"run_EU_O3_daily_{kind}_ctrl.png").exists()
        assert not (files["out"] / f"run_EU_O3_daily_{kind}_test.png").exists()
    assert len(figures) == 2


@pytest.mark.parametrize("fn", ["process_bias_plot", "process_scatter_plot"])
@pytest.mark.parametrize("model, error", [
    ("nc", ValueError),        # time as text on one side, time stamps on the other
    ("no_value", KeyError),    # the model table lacks O3: no O3_obs / O3_mod after the join
])
def test_join_errors_propagate(files, tmp_path, fn, model, error, figures):
    if model == "nc":
        matched.save_matched_data([{"station_id": "A", "time": pd.Timestamp("2024-01-01"),
                                    "lat": 1.0, "lon": 1.0, "O3": 1.0}], tmp_path / "m", "nc")
        path = str(tmp_path / "m.nc")
    else:
        path = write_csv(tmp_path / "m.csv", [("A", "2024-01-01", 1.0, 1.0)], COLUMNS[:4])
    with pytest.raises(error):
        getattr(plotting, fn)(files["obs"], {"x": path}, **ARGS, output_base=files["base"],
                              save_formats=["png"])
    assert list(files["out"].iterdir()) == []
