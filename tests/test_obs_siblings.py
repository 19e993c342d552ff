"""What the observation loader relies on in style and utils: variable mappings, file-name
dates, dataset summaries."""
import datetime
import logging
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest
import xarray as xr

from kvelo.py import style, utils


def test_network_mapping_has_the_loader_keys_for_every_network():
    for data_type in [None, "unknown", "hourly", "REGULATORY", "Background"]:
        mapping = style.get_variable_mapping(data_type=data_type)
        assert set(mapping) == {"coords", "time_format", "time_units", "calendar", "variables"}
        assert set(mapping["coords"]) == {"time", "lat", "lon"}
        for name, (mapped, unit) in mapping["variables"].items():
            assert isinstance(name, str) and isinstance(mapped, str) and isinstance(unit, str)
    default = style.get_variable_mapping()
    assert default["coords"] == {"time": "DATEON", "lat": "LATITUDE", "lon": "LONGITUDE"}
    assert default["time_format"] is None
    assert style.get_variable_mapping(data_type="Hourly") == style.get_variable_mapping("hourly")
    assert style.get_variable_mapping("background")["coords"]["time"] == "time"


def test_each_call_gives_a_fresh_mapping():
    first = style.get_variable_mapping(data_type="hourly")
    first["coords"]["time"] = "changed"
    first["variables"].clear()
    second = style.get_variable_mapping(data_type="hourly")
    assert second["coords"]["time"] == "DATEON"
    assert second["variables"]


def test_mapping_is_the_same_from_many_threads():
    expected = style.get_variable_mapping(data_type="regulatory")
    with ThreadPoolExecutor(max_workers=8) as pool:
        results = list(pool.map(lambda _: style.get_variable_mapping(data_type="regulatory"),
                                range(400)))
    assert all(r == expected for r in results)
    assert len({id(r) for r in results}) == len(results)


@pytest.mark.parametrize("variable, unit", [("O3", "ppb"), ("pm2.5", "ug/m3"), ("XYZ", None)])
def test_model_mapping_names_the_field(variable, unit):
    mapping = style.get_variable_mapping(data_type="model", region="EU", variable=variable)
    assert mapping["mapped_name"] == variable
    assert mapping["unit"] == unit


@pytest.mark.parametrize("name, expected", [
    ("obs_20240115.csv", "2024-01-15"),
    ("obs_2024-01-15.nc", "2024-01-15"),
    ("obs_2024_01_15_hourly.csv", "2024-01-15"),
    ("net.2024.01.15.netcdf", "2024-01-15"),
    ("monthly_202401.nc", "2024-01-01"),
    ("monthly_2024-01.csv", "2024-01-01"),
    ("leap_20240229.csv", "2024-02-29"),
    ("leap_20000229.csv", "2000-02-29"),               # a century divisible by 400 leaps
    ("noleap_19000229.csv", None),                     # other centuries do not
    ("noleap_21000229.csv", None),
    ("short_20240431.csv", None),                      # April has 30 days
    ("first_19000101.csv", "1900-01-01"),
    ("last_21001231.csv", "2100-12-31"),
    ("early_18991231.csv", None),                      # years beyond 1900..2100 are no dates
    ("late_21010101.csv", None),
    ("hourly_2024011512.csv", "2024-01-15 12:00"),
    ("obs_20240115123045.nc", "2024-01-15 12:30:45"),
    ("hourly_2024011524_20240116.csv", "2024-01-16"),  # hour 24 is no time of day
    ("station123456789_20240115.csv", "2024-01-15"),   # other digit runs are not dates
    ("bad_20240230_then_20240301.csv", "2024-03-01"),  # an impossible day is passed over
    ("first_202402_day_20240110.csv", "2024-01-10"),   # a full date wins over a month
    ("undated.csv", None),
    ("site_12345.csv", None),
    ("noleap_20230229.csv", None),
    ("v2_2024-13-01.csv", None),
    ("2024-0115.csv", None),
])
def test_dates_in_file_names(name, expected):
    got = utils.extract_date_from_filename(name)
    if expected is None:
        assert got is None
    else:
        assert isinstance(got, pd.Timestamp)
        assert got == pd.Timestamp(expected)


def test_file_date_compares_with_datetime_and_timestamp_bounds():
    got = utils.extract_date_from_filename("x_20240131.csv", debug=False)
    assert datetime.datetime(2024, 1, 1) <= got <= datetime.datetime(2024, 1, 31)
    assert pd.Timestamp("2024-01-01") <= got <= pd.Timestamp("2024-01-31")
    assert not got <= pd.Timestamp("2024-01-30 23:59")
    assert {got: 1}[datetime.datetime(2024, 1, 31)] == 1


def test_date_lookup_logs_only_with_debug(caplog):
    caplog.set_level(logging.DEBUG)
    utils.extract_date_from_filename("x_20240131.csv")
    utils.extract_date_from_filename("undated.csv")
    assert caplog.records == []
    utils.extract_date_from_filename("x_20240131.csv", debug=True)
    utils.extract_date_from_filename("undated.csv", True)
    assert [r.getMessage() for r in caplog.records] == [
        "Date 2024-01-31 00:00:00 taken from file name x_20240131.csv",
        "No date found in file name undated.csv"]


def test_summary_logs_at_debug_level(caplog):
    caplog.set_level(logging.DEBUG)
    ds = xr.Dataset({"O3": ("DATEON", np.arange(3.0))},
                    coords={"DATEON": pd.date_range("2024-01-01", periods=3, freq="h")})
    assert utils.summarize_observation_dataset(ds, "/data/obs.csv") is None
    assert all(r.levelno == logging.DEBUG for r in caplog.records)
    assert [r.getMessage() for r in caplog.records] == [
        "Dataset summary for /data/obs.csv",
        "  dimensions: {'DATEON': 3}",
        "  coordinates: ['DATEON']",
        "  data variables: ['O3']",
        "  DATEON: 2024-01-01T00:00:00.000000000 to 2024-01-01T02:00:00.000000000"]
    caplog.clear()
    utils.summarize_observation_dataset(ds, "/data/obs.csv", debug=False)
    assert caplog.records == []


def test_summary_passes_over_a_scalar_time_coordinate(caplog):
    caplog.set_level(logging.DEBUG)
    ds = xr.Dataset({"O3": ("DATEON", np.arange(2.0))},
                    coords={"DATEON": pd.date_range("2024-01-01", periods=2, freq="h"),
                            "reference": np.datetime64("2024-01-01T00:00")})
    utils.summarize_observation_dataset(ds, "/data/obs.csv")
    spans = [r.getMessage() for r in caplog.records if " to " in r.getMessage()]
    assert spans == [
        "  DATEON: 2024-01-01T00:00:00.000000000 to 2024-01-01T01:00:00.000000000",
        "  reference: 2024-01-01T00:00:00 to 2024-01-01T00:00:00"]
