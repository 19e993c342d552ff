"""Matched data files: both file forms, printed lines, extension rules, owned tables."""
import inspect
import logging

import numpy as np
import pandas as pd
import pytest

from kvelo.py import matched
from support.texts import end, start

RECORDS = [
    {"station_id": "S2", "time": pd.Timestamp("2024-01-01 01:00"), "lat": 45.0, "lon": 5.0,
     "O3": 30.5},
    {"station_id": "S1", "time": pd.Timestamp("2024-01-01 00:00"), "O3": 28.0, "lat": 40.0,
     "lon": 2.0, "flag": "x"},
    {"station_id": "S2", "time": pd.Timestamp("2024-01-01 00:00"), "lat": 45.0, "lon": 5.0},
]


def debug_lines(caplog):
    return [r.getMessage() for r in caplog.records if r.levelno == logging.DEBUG]


def test_signatures_and_docs():
    assert list(inspect.signature(matched.save_matched_data).parameters) == [
        "matched_list", "output_base", "save_data_format", "debug"]
    assert matched.save_matched_data.__defaults__ == ("csv", False)
    assert matched.load_matched_data.__defaults__ == (False,)
    assert matched.save_matched_data.__doc__ == "Save matched model-station data to CSV or NetCDF."
    assert matched.load_matched_data.__doc__ == "Load previously saved matched data."


def test_csv_round_trip_keeps_columns_rows_and_time_as_text(tmp_path, caplog):
    caplog.set_level(logging.DEBUG)
    base = tmp_path / "matched"
    assert matched.save_matched_data(RECORDS, base, debug=True) is None
    csv_file = f"{base}.csv"
    table = matched.load_matched_data(csv_file, debug=True)
    assert list(table.columns) == ["station_id", "time", "lat", "lon", "O3", "flag"]
    assert table["station_id"].tolist() == ["S2", "S1", "S2"]
    assert table["time"].tolist() == ["2024-01-01 01:00:00", "2024-01-01 00:00:00",
                                      "2024-01-01 00:00:00"]
    assert table["O3"].tolist()[:2] == [30.5, 28.0] and np.isnan(table["O3"][2])
    assert table["flag"].isna().tolist() == [True, False, True]
    assert (tmp_path / "matched.csv").read_text().splitlines()[0] == "station_id,time,lat,lon,O3,flag"
    assert debug_lines(caplog) == [
        start("save_matched_data"), f"Saved matched data to {csv_file}",
        end("save_matched_data"), start("load_matched_data"),
        f"Loaded matched data: {csv_file}", end("load_matched_data")]


def test_netcdf_round_trip_fills_the_station_time_grid(tmp_path, caplog):
    caplog.set_level(logging.DEBUG)
    records = [
        {"station_id": "B", "time": pd.Timestamp("2024-01-02"), "lat": 1.0, "lon": 2.0, "O3": 5.0},
        {"station_id": "A", "time": pd.Timestamp("2024-01-01"), "lat": 3.0, "lon": 4.0, "O3": 7.0},
    ]
    base = tmp_path / "grid"
    matched.save_matched_data(records, base, save_data_format="netcdf", debug=True)
    assert f"Saved matched data to {base}.nc" in debug_lines(caplog)
    table = matched.load_matched_data(f"{base}.nc")
    assert list(table.columns) == ["station_id", "time", "lat", "lon", "O3"]
    assert table["station_id"].tolist() == ["A", "A", "B", "B"]
    assert table["time"].tolist() == [pd.Timestamp("2024-01-01"), pd.Timestamp("2024-01-02")] * 2
    assert table["O3"].tolist()[0] == 7.0 and table["O3"].tolist()[3] == 5.0
    assert table["O3"].isna().tolist() == [False, True, True, False]


@pytest.mark.parametrize("word, written", [
    ("csv", "out.csv"), ("netcdf", "out.nc"), ("CSV", "out.nc"), (None, "out.nc"),
])
def test_format_word_chooses_the_file(tmp_path, word, written):
    matched.save_matched_data(RECORDS[:2], tmp_path / "out", word)
    assert sorted(p.name for p in tmp_path.iterdir()) == [written]


def test_output_base_ending_in_csv_gets_a_second_extension(tmp_path):
    matched.save_matched_data(RECORDS, str(tmp_path / "out.csv"))
    assert [p.name for p in tmp_path.iterdir()] == ["out.csv.csv"]


@pytest.mark.parametrize("records", [[], None])
def test_nothing_to_save_prints_a_warning(tmp_path, capsys, caplog, records):
    caplog.set_level(logging.DEBUG)
    assert matched.save_matched_data(records, tmp_path / "out", debug=True) is None
    assert capsys.readouterr().out == "[WARN] No matched data to save.\n"
    assert debug_lines(caplog) == [start("save_matched_data")]
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("name, make, message", [
    ("missing.csv", None, "[ERROR] Matched data file not found: {}"),
    ("folder.csv", "dir", "[ERROR] Matched data file not found: {}"),
    ("table.netcdf", "file", "[ERROR] Unsupported file format: {}"),
    ("table.CSV", "file", "[ERROR] Unsupported file format: {}"),
    ("table.NC", "file", "[ERROR] Unsupported file format: {}"),
])
def test_load_refusals_print_and_return_none(tmp_path, capsys, caplog, name, make, message):
    caplog.set_level(logging.DEBUG)
    path = tmp_path / name
    if make == "dir":
        path.mkdir()
    elif make == "file":
        path.write_text("station_id,time\nA,2024-01-01\n")
    assert matched.load_matched_data(str(path), debug=True) is None
    assert capsys.readouterr().out == message.format(path) + "\n"
    assert debug_lines(caplog) == [start("load_matched_data")]


@pytest.mark.parametrize("records, error", [
    ([{"time": 1, "O3": 2.0}], KeyError),
    ([{"station_id": "A", "time": 1, "O3": 2.0}, {"station_id": "A", "time": 1, "O3": 3.0}],
     ValueError),
])
def test_netcdf_save_errors_propagate_and_write_nothing(tmp_path, capsys, records, error):
    with pytest.raises(error):
        matched.save_matched_data(records, tmp_path / "out", "netcdf")
    assert list(tmp_path.iterdir()) == []
    assert capsys.readouterr().out == ""


def test_unwritable_directory_propagates(tmp_path):
    with pytest.raises(OSError):
        matched.save_matched_data(RECORDS, tmp_path / "no_such_dir" / "out")


def test_returned_table_is_a_copy_the_caller_owns(tmp_path, monkeypatch):
    matched.save_matched_data(RECORDS, tmp_path / "out")
    read = []
    real_read_csv = pd.read_csv

    def read_csv(path):
        read.append(real_read_csv(path))
        return read[-1]
    monkeypatch.setattr(matched.pd, "read_csv", read_csv)
    table = matched.load_matched_data(str(tmp_path / "out.csv"))
    assert table is not read[0]
    table.loc[0, "O3"] = -1.0
    assert read[0].loc[0, "O3"] == 30.5


def test_netcdf_file_can_be_replaced_after_loading(tmp_path):
    base = tmp_path / "grid"
    matched.save_matched_data(RECORDS[:2], base, "nc")
    first = matched.load_matched_data(f"{base}.nc")
    matched.save_matched_data([{**RECORDS[0], "O3": 99.0}], base, "nc")
    second = matched.load_matched_data(f"{base}.nc")
    assert len(first) == 4
    assert second["O3"].tolist() == [99.0]
