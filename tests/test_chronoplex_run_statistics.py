"""Statistics of a collocated run written beside the station table."""

import inspect
import logging
import os

import numpy as np
import pandas as pd
import pytest

from kvelo.py import chronoplex
from support.texts import end, start

STATS = pd.DataFrame({"Experiment": ["exp1", "exp2"], "Count": [3, 3], "R": [0.5, np.nan]})


class Log(list):
    """Recorded calls; `state` holds what the regional statistics return."""


@pytest.fixture
def calls(monkeypatch):
    """Records the statistics calls; the regional table is STATS unless replaced."""
    log = Log()
    state = {"table": STATS}

    def compute_regional_statistics(*args, **kwargs):
        log.append(("compute_regional_statistics", args, kwargs))
        return state["table"]

    def plot_statistics(*args, **kwargs):
        log.append(("plot_statistics", args, kwargs))
        assert os.path.exists(kwargs["stats_file"])  # the charts read the written file

    def compute_statistics_from_collocated_df(*args, **kwargs):
        log.append(("compute_statistics_from_collocated_df", args, kwargs))
        meta = kwargs["station_metadata"]
        return pd.DataFrame({"SID": [meta["SID"]] * len(kwargs["experiments"]),
                             "Experiment": kwargs["experiments"]})

    monkeypatch.setattr(chronoplex, "compute_regional_statistics", compute_regional_statistics)
    monkeypatch.setattr(chronoplex, "plot_statistics", plot_statistics)
    monkeypatch.setattr(chronoplex, "compute_statistics_from_collocated_df",
                        compute_statistics_from_collocated_df)
    log.state = state
    return log


def extend(path, use_collocation=True, formats=("png", "pdf"), data=None, debug=True):
    return chronoplex.extend_process_time_series_with_stats(
        data_file_base=str(path), variable="O3", tavg="daily", debug=debug,
        use_collocation=use_collocation, save_plot_formats=list(formats),
        data={} if data is None else data)


@pytest.mark.parametrize(
    "table, stats, charts",
    [
        ("O3_daily.csv", "O3_daily_stats.csv", "O3_daily_stats_plot"),
        ("set.b/O3.day.csv", "set.b/O3.day_stats.csv", "set.b/O3.day_stats_plot"),
        ("O3", "O3_stats.csv", "O3_stats_plot"),
        ("set.b/.hidden", "set.b/.hidden_stats.csv", "set.b/.hidden_stats_plot"),
    ],
)
def test_statistics_file_and_chart_base(table, stats, charts, tmp_path, monkeypatch, caplog):
    caplog.set_level(logging.DEBUG)
    log = []
    monkeypatch.setattr(chronoplex, "compute_regional_statistics",
                        lambda **kw: log.append(("compute", kw)) or STATS)
    monkeypatch.setattr(chronoplex, "plot_statistics", lambda **kw: log.append(("plot", kw)))
    (tmp_path / "set.b").mkdir()
    data = {"S1": {"time": []}}
    assert extend(tmp_path / table, data=data) is None

    stats_path = str(tmp_path / stats)
    (compute, plot) = log
    assert compute == ("compute", {"data": data, "variable": "O3", "tavg": "daily",
                                   "debug": True})
    assert compute[1]["data"] is data
    assert plot == ("plot", {"stats_file": stats_path,
                             "output_file": f"{tmp_path / charts}.['png', 'pdf']",
                             "save_plot_formats": ["png", "pdf"], "debug": True})
    # The charts cut their own name back at the dot, whatever dots the base holds.
    assert os.path.splitext(plot[1]["output_file"])[0] == str(tmp_path / charts)
    pd.testing.assert_frame_equal(pd.read_csv(stats_path), STATS)
    name = "extend_process_time_series_with_stats"
    assert caplog.messages == [start(name),
                               f"Saved station statistics to: {stats_path}",
                               end(name)]


@pytest.mark.parametrize("use_collocation", [None, False, 0, ""])
def test_plain_run_computes_nothing(use_collocation, tmp_path, calls, caplog):
    caplog.set_level(logging.DEBUG)
    extend(tmp_path / "t.csv", use_collocation=use_collocation)
    assert calls == [] and list(tmp_path.iterdir()) == []
    assert caplog.messages == [start("extend_process_time_series_with_stats")]


@pytest.mark.parametrize("empty", [pd.DataFrame(), pd.DataFrame(columns=["Experiment"])])
def test_empty_regional_table_warns_and_writes_nothing(empty, tmp_path, calls, caplog):
    caplog.set_level(logging.DEBUG)
    calls.state["table"] = empty
    extend(tmp_path / "t.csv")
    assert [c[0] for c in calls] == ["compute_regional_statistics"]
    assert list(tmp_path.iterdir()) == []
    assert caplog.messages[1:] == ["No statistics were computed."]
    assert caplog.records[1].levelno == logging.WARNING


def test_errors_propagate(tmp_path, calls, monkeypatch, caplog):
    caplog.set_level(logging.DEBUG)
    with pytest.raises(OSError):
        extend(tmp_path / "missing" / "t.csv")
    assert [c[0] for c in calls] == ["compute_regional_statistics"]

    def broken(**kw):
        raise ValueError("no pool")

    monkeypatch.setattr(chronoplex, "plot_statistics", broken)
    with pytest.raises(ValueError, match="no pool"):
        extend(tmp_path / "t.csv")
    assert end("extend_process_time_series_with_stats") not in caplog.messages


def station(times, name=..., **values):
    sd = {"site_id": "x"}
    if name is not ...:
        sd["site_name"] = name
    sd.update(lat=45.5, lon=7.25, elevation_m=300.0, time=list(pd.to_datetime(times)),
              n_valid=np.nan)
    sd.update({k: [np.float64(v) for v in vals] for k, vals in values.items()})
    return sd


def extend2(path, data, use_collocation=True, debug=True):
    return chronoplex.extend_process_time_series_with_stats2(
        data_file_base=str(path), variable="O3", tavg="daily", debug=debug,
        use_collocation=use_collocation, data=data)


def test_per_station_frames_metadata_and_file(tmp_path, calls, caplog):
    caplog.set_level(logging.DEBUG)
    times = ["2024-03-02", "2024-03-01", "2024-03-05"]
    data = {
        "ST2": station(times, name="Hill", O3_obs=[1, 2, 3], O3_exp2=[2, 3, 4],
                       O3_exp1=[0, 1, 2], O3_O3_x=[5, 5, 5]),
        "ST1": {k: v for k, v in station(times[:2], O3_exp1=[7, 8]).items()
                if k not in ("lat", "lon", "elevation_m")},
    }
    extend2(tmp_path / "O3.day.csv", data)

    first, second = calls
    kw = first[2]
    assert first[1] == () and set(kw) == {"df", "station_metadata", "variable", "experiments",
                                          "tavg", "debug"}
    assert kw["experiments"] == ["exp2", "exp1", "O3_x"]
    frame = kw["df"]
    assert list(frame.columns) == ["time", "O3_obs", "O3_exp2", "O3_exp1", "O3_O3_x"]
    assert frame["time"].dtype.kind == "M"
    assert list(frame["O3_O3_x"]) == [5, 5, 5]
    meta = kw["station_metadata"]
    assert list(meta) == ["SID", "NAME", "LAT", "LON", "ELE", "SDATE", "EDATE"]
    assert meta == {"SID": "ST2", "NAME": "Hill", "LAT": 45.5, "LON": 7.25, "ELE": 300.0,
                    "SDATE": "2024-03-01", "EDATE": "2024-03-05"}
    assert (kw["variable"], kw["tavg"], kw["debug"]) == ("O3", "daily", True)

    # A station without name, position or observations.
    kw = second[2]
    assert kw["station_metadata"]["NAME"] == "ST1"
    assert all(np.isnan(kw["station_metadata"][k]) for k in ("LAT", "LON", "ELE"))
    assert list(kw["df"].columns) == ["time", "O3_obs", "O3_exp1"]
    assert kw["df"]["O3_obs"].isna().all() and len(kw["df"]) == 2

    path = tmp_path / "O3.day_stats.csv"
    table = pd.read_csv(path)
    assert list(table["SID"]) == ["ST2", "ST2", "ST2", "ST1"]
    assert list(table["Experiment"]) == ["exp2", "exp1", "O3_x", "exp1"]
    name = "extend_process_time_series_with_stats2"
    assert caplog.messages == [start(name), f"Saved station statistics to: {path}",
                               end(name)]


def test_per_station_edge_cases(tmp_path, calls, caplog):
    caplog.set_level(logging.DEBUG)
    name = "extend_process_time_series_with_stats2"
    extend2(tmp_path / "t.csv", {})
    assert list(tmp_path.iterdir()) == [] and caplog.messages == [
        start(name), end(name)]

    caplog.clear()
    extend2(tmp_path / "t.csv", {"A": station(["2024-01-01"], O3_obs=[1])}, use_collocation=None)
    assert calls == [] and caplog.messages == [start(name)]

    # An error in a later station ends the call before anything is written.
    good = station(["2024-01-01", "2024-01-02"], O3_obs=[1, 2], O3_a=[1, 2])
    with pytest.raises(ValueError):
        extend2(tmp_path / "t.csv", {"A": good, "B": station([], O3_obs=[])})
    with pytest.raises(KeyError):
        extend2(tmp_path / "t.csv", {"A": good, "B": {"O3_obs": [1.0]}})
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("fn, params", [
    (chronoplex.extend_process_time_series_with_stats,
     ["data_file_base", "variable", "tavg", "debug", "use_collocation", "save_plot_formats",
      "data"]),
    (chronoplex.extend_process_time_series_with_stats2,
     ["data_file_base", "variable", "tavg", "debug", "use_collocation", "data"]),
])
def test_signatures(fn, params):
    sig = inspect.signature(fn)
    assert list(sig.parameters) == params
    assert all(p.default is inspect.Parameter.empty for p in sig.parameters.values())
    assert fn.__doc__.startswith(f"{fn.__name__}({', '.join(params)})")
    with pytest.raises(TypeError):
        fn(*params[:-1])
