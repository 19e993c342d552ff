"""Run dispatch of process_time_series_plot_from_file, and what loading chronoplex binds."""
import inspect
import logging

import matplotlib
import matplotlib.colors
import matplotlib.pyplot
import numpy
import pandas as pd
import seaborn
import pytest

from kvelo.py import chronoplex
from support.child import output
from support.texts import end

FIGURE_KEYS = ["config", "data", "data_file_base", "data_format", "model_files_dict",
               "plot_file_base", "save_plot_formats", "plot_title", "variable", "unit"]
END = end("process_time_series_plot_from_file")
INFO = "Generating grouped/subplot time series for variable: O3"


@pytest.fixture
def table(monkeypatch):
    df = pd.DataFrame({"site_id": ["A", "B"], "time": [1, 2], "site_name": ["a", "b"],
                       "lat": [1.0, 2.0], "lon": [1.0, 2.0], "elevation_m": [0.0, 0.0],
                       "O3": [1.0, 2.0], "O3_obs": [1.0, 2.0], "O3_exp1": [1.5, 2.5]})
    monkeypatch.setattr(chronoplex, "read_data", lambda *a, **k: (df, {"O3_obs": "ppb"}))
    return df


class Calls(list):
    """The callees replaced on the module; each call recorded as (name, keywords)."""

    def __init__(self, monkeypatch):
        super().__init__()
        self.monkeypatch = monkeypatch
        for name in ["plot_station_timeseries_collocation", "plot_station_timeseries_bias3",
                     "extend_process_time_series_with_stats",
                     "plot_station_timeseries_grouped_or_subplots"]:
            self.replace(name)

    def replace(self, name, effect=None):
        def callee(*args, **kwargs):
            assert args == ()
            self.append((name, kwargs))
            if effect:
                effect(kwargs)
        self.monkeypatch.setattr(chronoplex, name, callee)


@pytest.fixture
def recorder(monkeypatch):
    return Calls(monkeypatch)


def run(collocated, config, debug=True):
    chronoplex.process_time_series_plot_from_file(
        "in/table.csv", "csv", {"m": 1}, "out/o3", ["png", "pdf"], config, "Title", "O3",
        "daily", debug, collocated)


def test_collocated_run_calls_three_callees_in_order(table, recorder, caplog):
    caplog.set_level(logging.DEBUG)
    config = {"show_stations": True}
    # A callee that changes its copy: later callees see the change, the caller does not.
    recorder.replace("plot_station_timeseries_collocation",
                     lambda kw: kw["config"].update(show_stations=False))
    run("yes", config)
    assert [n for n, _ in recorder] == ["plot_station_timeseries_collocation",
                                        "plot_station_timeseries_bias3",
                                        "extend_process_time_series_with_stats"]
    (_, fig), (_, bias), (_, stats) = recorder
    assert list(fig) == FIGURE_KEYS + ["tavg", "debug"] and list(bias) == list(fig)
    assert fig["data_file_base"] == "out/o3" and fig["model_files_dict"] == ""
    assert fig["unit"] == "ppb" and fig["tavg"] == "daily" and fig["debug"] is True
    assert fig["data_format"] == "csv" and fig["save_plot_formats"] == ["png", "pdf"]
    assert all(bias[k] is fig[k] for k in fig)
    assert fig["config"] is not config and config == {"show_stations": True}
    assert bias["config"] == {"show_stations": False}
    assert stats == {"data_file_base": "in/table.csv", "variable": "O3", "tavg": "daily",
                     "debug": True, "use_collocation": "yes", "save_plot_formats": ["png", "pdf"],
                     "data": fig["data"]}
    assert stats["data"] is fig["data"] and list(fig["data"]) == ["A", "B"]
    messages = [r.getMessage() for r in caplog.records]
    assert INFO in messages and messages[-1] == END


def test_plain_run_calls_grouped_figures_only(table, recorder, caplog):
    caplog.set_level(logging.INFO)
    run(False, {}, debug=False)
    assert [n for n, _ in recorder] == ["plot_station_timeseries_grouped_or_subplots"]
    kw = recorder[0][1]
    assert list(kw) == FIGURE_KEYS + ["debug"]
    assert kw["data_file_base"] == "out/o3" and kw["model_files_dict"] == ""
    assert list(kw["data"]["A"]) == ["site_id", "site_name", "lat", "lon", "elevation_m",
                                     "time", "value"]
    assert [r.getMessage() for r in caplog.records] == [INFO]


def test_callee_error_stops_the_run(table, recorder, caplog):
    caplog.set_level(logging.DEBUG)

    def fail(kw):
        raise RuntimeError("bias failed")

    recorder.replace("plot_station_timeseries_bias3", fail)
    with pytest.raises(RuntimeError, match="bias failed"):
        run(True, {})
    assert [n for n, _ in recorder] == ["plot_station_timeseries_collocation",
                                        "plot_station_timeseries_bias3"]
    assert END not in [r.getMessage() for r in caplog.records]


def test_config_without_copy(table, recorder):
    with pytest.raises(AttributeError):
        run(True, (("show_stations", True),))
    assert recorder == []


def test_module_binds_its_names_and_functions():
    assert matplotlib.get_backend().lower() == "agg"
    assert chronoplex.np is numpy and chronoplex.pd is pd and chronoplex.sns is seaborn
    assert chronoplex.plt is matplotlib.pyplot
    assert chronoplex.mcolors is chronoplex.colors is matplotlib.colors
    for name in ["os", "re", "csv", "sys", "glob", "time", "cftime", "logging", "xr", "ccrs",
                 "cfeature", "ticker", "mdates", "make_axes_locatable", "defaultdict",
                 "datetime", "ceil", "read_data", "save_data", "apply_time_axis_format",
                 "extract_keys", "get_line_style", "is_log_unit",
                 "compute_statistics_from_collocated_df", "compute_regional_statistics",
                 "plot_statistics", "get_readable_region_name"]:
        assert hasattr(chronoplex, name), name
    sig = inspect.signature(chronoplex.process_time_series_plot_from_file)
    assert [str(p) for p in sig.parameters.values()][-4:] == [
        "variable=None", "tavg=None", "debug=False", "use_collocation=None"]
    assert chronoplex.plot_station_timeseries_collocation.__defaults__ == (None, None, None,
                                                                           False)


def test_load_fails_without_an_unused_sibling_name():
    # A stand-in utils module without extract_keys, which no function calls.
    code = (
        "import sys, types, importlib\n"
        "real = importlib.import_module('kvelo.py.utils')\n"
        "fake = types.ModuleType('kvelo.py.utils')\n"
        "for n in ['apply_time_axis_format', 'get_line_style', 'is_log_unit']:\n"
        "    setattr(fake, n, getattr(real, n))\n"
        "sys.modules['kvelo.py.utils'] = fake\n"
        "try:\n"
        "    import kvelo.py.chronoplex\n"
        "except ImportError as e:\n"
        "    print('ImportError', e, e.__cause__)\n"
    )
    out = output(code)
    assert out.startswith("ImportError") and "extract_keys" in out
