"""Statistics on the system's own data: the station-wise dictionary the station table
intake builds, and the statistics file of the collocated road, against the plain
formulation of the table, the dictionary and the statistics.
"""
import importlib.util
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from kvelo.py import chronoplex
from kvelo.py import io as kio
from kvelo.py import statistics as st
from support.compare import assert_same_table
from support.reference import ref_regional, reference_collocated

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "run_collocated.py"


@pytest.fixture
def stubbed_figures(monkeypatch):
    """The collocated road without its figures."""
    for name in ("plot_station_timeseries_collocation", "plot_station_timeseries_bias3",
                 "plot_statistics"):
        monkeypatch.setattr(chronoplex, name, lambda **kw: None)


def station_table(n_stations=40, n_times=500, seed=3):
    """Rows interleaved across stations, every station at every hour, with gaps."""
    rng = np.random.default_rng(seed)
    stamps = pd.date_range("2023-05-01", periods=n_times, freq="h")
    n = n_stations * n_times
    obs = rng.normal(30, 8, n)
    obs[rng.random(n) < 0.1] = np.nan
    table = pd.DataFrame({
        "site_id": np.tile([f"ST{i:03d}" for i in range(n_stations)], n_times),
        "time": np.repeat(stamps.values, n_stations),
        "O3_obs": obs,
        "O3_exp1": obs + rng.normal(1, 3, n),
        "O3_exp2": rng.normal(30, 8, n),
    })
    table.loc[rng.random(n) < 0.05, "O3_exp2"] = np.nan
    return table


@pytest.mark.parametrize("fn, drop", [(st.compute_regional_statistics, False),
                                      (st.compute_regional_statistics_from_collocated_dict,
                                       True)])
def test_regional_statistics_of_the_intake_dictionary(fn, drop, monkeypatch):
    table = station_table()
    got = {}
    monkeypatch.setattr(chronoplex, "read_data", lambda *a, **k: (table, {}))
    monkeypatch.setattr(chronoplex, "plot_station_timeseries_collocation",
                        lambda **kw: got.update(kw))
    for name in ("plot_station_timeseries_bias3", "extend_process_time_series_with_stats"):
        monkeypatch.setattr(chronoplex, name, lambda **kw: None)
    chronoplex.process_time_series_plot_from_file("t.csv", "csv", "", "out/o3", [], {}, "",
                                                  "O3", "hourly", False, True)
    data = got["data"]
    first = data["ST000"]
    assert type(first["time"][0]) is np.datetime64 and type(first["O3_obs"][0]) is np.float64

    # The dictionary is read natively: pandas converts no station's stamps.
    convert, calls = pd.to_datetime, []
    monkeypatch.setattr(pd, "to_datetime", lambda *a, **k: calls.append(1) or convert(*a, **k))
    ours = fn(data, "O3", "hourly")
    monkeypatch.undo()
    assert calls == []
    assert_same_table(ours, ref_regional(reference_collocated(table, "O3"), "O3", "hourly",
                                         drop))


def test_statistics_file_of_the_example_is_the_formulations(tmp_path, stubbed_figures):
    spec = importlib.util.spec_from_file_location("run_collocated", EXAMPLE)
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)
    # The table as the example writes it, the io sibling reading units from the header.
    table_path = tmp_path / "O3_daily.csv"
    example.make_table().rename(
        columns=lambda c: f"{c} [ppb]" if c.startswith("O3_") else c).to_csv(table_path,
                                                                              index=False)
    chronoplex.process_time_series_plot_from_file(
        data_file_base=str(table_path), data_format="csv", model_files_dict="",
        plot_file_base=str(tmp_path / "O3_daily"), save_plot_formats=["png"],
        config={"experiments": "exp1,exp2", "exp_labels": "Control,Test"},
        plot_title="Daily ozone", variable="O3", tavg="daily", debug=False,
        use_collocation=True)

    df, _ = kio.read_data(str(table_path), data_format="csv", debug=False, return_units=True)
    want = tmp_path / "plain_stats.csv"
    ref_regional(reference_collocated(df, "O3"), "O3", "daily", False).to_csv(want, index=False)
    assert (tmp_path / "O3_daily_stats.csv").read_bytes() == want.read_bytes()
