"""The collocated road end to end: one call goes from a station table to the
collocated figures, the bias figures, the statistics file beside the table
and its three bar charts."""

import copy
import logging

import matplotlib

matplotlib.use("Agg")
import matplotlib.figure  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402
from scipy.stats import pearsonr  # noqa: E402

from kvelo.py import chronoplex  # noqa: E402
from support.texts import end  # noqa: E402

SITES = {"ST1": "Hilltop", "ST2": "Lakeside", "ST3": "Harbour"}
GROUPS = ["Correlation_Metrics", "Error_Metrics", "Descriptive_Statistics"]
FORMATS = ["png", "pdf"]


def make_table():
    """Three stations, six days, rows interleaved, a few gaps."""
    rng = np.random.default_rng(11)
    times = pd.date_range("2024-05-01", periods=6, freq="D")
    rows = []
    for t in times:
        for i, (sid, name) in enumerate(SITES.items()):
            obs = 30 + 5 * i + rng.normal(0, 2)
            rows.append({"site_id": sid, "time": t, "site_name": name, "lat": 45.0 + i,
                         "lon": 7.0 + i, "elevation_m": 100.0 * i,
                         "O3_obs": obs, "O3_ctrl": obs + 2 + rng.normal(0, 1),
                         "O3_test": obs - 1 + rng.normal(0, 1)})
    table = pd.DataFrame(rows)
    table.loc[[1, 8], "O3_obs"] = np.nan
    table.loc[[4, 12, 13], "O3_test"] = np.nan
    return table


@pytest.fixture
def road(tmp_path):
    """The table written beside nothing else, and an empty plot directory."""
    (tmp_path / "tables").mkdir()
    (tmp_path / "plots").mkdir()
    table = make_table()
    path = tmp_path / "tables" / "O3.day.csv"
    table.rename(columns=lambda c: f"{c} [ppb]" if c.startswith("O3_") else c).to_csv(
        path, index=False)
    return {"table": table, "path": path, "plots": tmp_path / "plots",
            "base": tmp_path / "plots" / "o3"}


CONFIG = {"plot_region": "EU", "start_date": "2024-05-01", "end_date": "2024-05-06",
          "experiments": "ctrl,test", "exp_labels": "Control,Test", "show_stations": True,
          "nested": {"kept": [1, 2]}}


def run_road(road, config, formats=FORMATS, debug=False):
    chronoplex.process_time_series_plot_from_file(
        data_file_base=str(road["path"]),
        data_format="csv",
        model_files_dict="",
        plot_file_base=str(road["base"]),
        save_plot_formats=list(formats),
        config=config,
        plot_title="Ozone",
        variable="O3",
        tavg="daily",
        debug=debug,
        use_collocation=True,
    )


def expected_statistics(table):
    """The regional pool computed plainly: every (station, time) pair counts."""
    rows = {}
    obs_all = table["O3_obs"].dropna().to_numpy()
    rows["obs"] = {"STD_dev": np.std(obs_all), "Mean": np.mean(obs_all),
                   "Min": obs_all.min(), "Max": obs_all.max(), "Median": np.median(obs_all),
                   "Count": len(obs_all)}
    for exp in ("ctrl", "test"):
        pairs = table[["O3_obs", f"O3_{exp}"]].dropna()
        o, m = pairs["O3_obs"].to_numpy(), pairs[f"O3_{exp}"].to_numpy()
        r = pearsonr(o, m)[0]
        rows[exp] = {"R": r, "R2": r * r, "RMSE": np.sqrt(np.mean((m - o) ** 2)),
                     "MB": np.mean(m - o), "Bias": np.mean(o - m), "STD_dev": np.std(o - m),
                     "Mean": np.mean(m), "Min": m.min(), "Max": m.max(),
                     "Average": np.mean(m), "Median": np.median(m), "Count": len(m)}
    return rows


def test_one_call_writes_every_product(road, quick_save, monkeypatch, caplog):
    caplog.set_level(logging.INFO)
    calls = []
    for name in ("plot_station_timeseries_collocation", "plot_station_timeseries_bias3",
                 "extend_process_time_series_with_stats"):
        real = getattr(chronoplex, name)

        def recorder(*args, _real=real, _name=name, **kwargs):
            calls.append((_name, args, kwargs))
            if "config" in kwargs:
                kwargs["config"]["touched_by"] = _name  # a callee changing its copy
            return _real(*args, **kwargs)

        monkeypatch.setattr(chronoplex, name, recorder)
    config = copy.deepcopy(CONFIG)
    run_road(road, config)

    # The three calls, in order, all by keyword.
    assert [c[0] for c in calls] == ["plot_station_timeseries_collocation",
                                     "plot_station_timeseries_bias3",
                                     "extend_process_time_series_with_stats"]
    assert all(args == () for _, args, _ in calls)
    (_, _, coll), (_, _, bias), (_, _, stats) = calls
    assert coll.keys() == bias.keys() and len(coll) == 12
    for kw in (coll, bias):
        assert kw["data_file_base"] == kw["plot_file_base"] == str(road["base"])
        assert kw["model_files_dict"] == "" and kw["unit"] == "ppb"
    assert coll["config"] is bias["config"] and coll["config"] is not config
    assert coll["data"] is bias["data"] is stats["data"]
    assert stats == {"data_file_base": str(road["path"]), "variable": "O3", "tavg": "daily",
                     "debug": False, "use_collocation": True, "save_plot_formats": FORMATS,
                     "data": coll["data"]}
    assert config == CONFIG

    # Every figure once per format word; the statistics beside the table.
    figures = ["o3_regional_mean_minmax", "o3_regional_bias"]
    for name in SITES.values():
        figures += [f"o3_{name}_logFalse_minmax", f"o3_{name}_bias"]
    assert sorted(p.name for p in road["plots"].iterdir()) == sorted(
        f"{f}.{fmt}" for f in figures for fmt in FORMATS)
    tables = road["path"].parent
    assert sorted(p.name for p in tables.iterdir()) == sorted(
        ["O3.day.csv", "O3.day_stats.csv"]
        + [f"O3.day_stats_plot_{g}.{fmt}" for g in GROUPS for fmt in FORMATS])
    assert f"Saved station statistics to: {tables / 'O3.day_stats.csv'}" in caplog.messages

    # The statistics numbers against a plain computation of the pool.
    stats_table = pd.read_csv(tables / "O3.day_stats.csv")
    assert list(stats_table["Experiment"]) == ["obs", "ctrl", "test"]
    assert set(stats_table["SID"]) == {"REGIONAL"}
    assert list(stats_table[["SDATE", "EDATE"]].iloc[0]) == ["2024-05-01", "2024-05-06"]
    for exp, values in expected_statistics(road["table"]).items():
        row = stats_table.set_index("Experiment").loc[exp]
        for column, value in values.items():
            assert row[column] == pytest.approx(value, rel=1e-12), (exp, column)
    assert plt.get_fignums() == []


def test_figures_of_the_road_show_the_table(road, monkeypatch):
    """A real rendering: the regional bias figure draws each experiment's
    pooled bias, whose mean over time matches the table."""
    saved = []
    real_save = matplotlib.figure.Figure.savefig
    monkeypatch.setattr(matplotlib.figure.Figure, "savefig",
                        lambda self, *a, **kw: saved.append(self) or real_save(self, *a, **kw))
    run_road(road, dict(CONFIG, show_stations=False), formats=["png"])
    (fig,) = [f for f in saved if "Bias" in f.axes[0].get_title()]
    ax = fig.axes[0]
    lines = {ln.get_label(): ln for ln in ax.get_lines() if not ln.get_label().startswith("_")}
    assert list(lines) == ["Control", "Test"]
    table = road["table"]
    for label, exp in (("Control", "ctrl"), ("Test", "test")):
        per_time = (table[f"O3_{exp}"] - table["O3_obs"]).groupby(table["time"]).mean()
        np.testing.assert_allclose(lines[label].get_ydata(), per_time.dropna().to_numpy())
    assert (road["plots"] / "o3_regional_bias.png").stat().st_size > 10_000
    assert [p.name for p in road["plots"].glob("*bias*")] == ["o3_regional_bias.png"]


def test_an_error_in_the_bias_figures_leaves_no_statistics(road, quick_save, tmp_path,
                                                          monkeypatch, caplog):
    caplog.set_level(logging.DEBUG)
    # The bias debug dumps need output/ below the working directory; it is missing.
    monkeypatch.chdir(tmp_path)
    config = dict(CONFIG, debug_extended=True)
    with pytest.raises(OSError):
        run_road(road, config, debug=True)
    names = {p.name for p in road["plots"].iterdir()}
    assert "o3_regional_mean_minmax.png" in names
    assert not any("bias" in n for n in names)
    assert [p.name for p in road["path"].parent.iterdir()] == ["O3.day.csv"]
    assert end("process_time_series_plot_from_file") not in caplog.messages
    assert plt.get_fignums() == []
