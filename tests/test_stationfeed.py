"""Observation loader: tree search, date filter, thread pool, progress bar, file loads."""
import datetime
import inspect
import logging
import sys
import time
import threading
import types

import numpy as np
import pandas as pd
import pytest
import xarray as xr

from kvelo.py import stationfeed
from support.logs import messages
from support.observation_files import START, load, put, put_nc
from support.texts import end

@pytest.fixture
def debug_log(caplog):
    caplog.set_level(logging.DEBUG)
    return caplog


@pytest.fixture
def mapping(monkeypatch):
    """Replaces the network's variable mapping; records the data_type of each call."""
    calls = []

    def use(value):
        def get_variable_mapping(data_type=None):
            calls.append(data_type)
            if isinstance(value, Exception):
                raise value
            return value
        monkeypatch.setattr(stationfeed, "get_variable_mapping", get_variable_mapping)
        return calls
    return use


def test_signature_defaults_and_doc():
    f = stationfeed.load_observations
    assert list(inspect.signature(f).parameters) == [
        "obs_base_dir", "start_date", "end_date", "obs_type", "obs_version", "region_bounds",
        "debug", "max_workers"]
    assert f.__defaults__ == (None, False, 8)
    assert f.__doc__ == ("Load datasets efficiently with date filtering, progress bar, optional "
                         "region check, multithreading.")


def test_search_takes_lower_case_dirs_and_exactly_one_level(tmp_path, caplog):
    caplog.set_level(logging.INFO)
    found = put(tmp_path, "aqs/latest/site/a_20240110.csv")
    for rel in ["aqs/latest/direct_20240111.csv", "aqs/latest/site/deeper/b_20240112.csv",
                "aqs/latest/site/nodot_20240113", "aqs/latest/site/.hidden_20240114.csv",
                "aqs/latest/.hidden/c_20240115.csv", "AQS/Latest/site/d_20240116.csv"]:
        put(tmp_path, rel)
    result = load(tmp_path, obs_type="AQS", obs_version="Latest")
    assert list(result) == [pd.Timestamp("2024-01-10")]
    available = [m for m in messages(caplog, logging.INFO) if m.startswith("\u2705")]
    assert available == [f"\u2705 Observation file available {found}"]


@pytest.mark.parametrize("existing", [None, "aqs", "aqs/other"])
def test_missing_version_dir_returns_empty_with_error_line(tmp_path, debug_log, existing):
    if existing:
        (tmp_path / existing).mkdir(parents=True)
    assert load(tmp_path, obs_type="AQS", obs_version="Latest", debug=True) == {}
    assert messages(debug_log, logging.ERROR) == [
        f"Observation dataset type 'AQS' not found in {tmp_path}."]
    assert not any(m.startswith("End:") for m in messages(debug_log))
    assert messages(debug_log)[0].startswith("Start: ")


def test_date_window_includes_both_ends_and_keys_undated_by_start(tmp_path, debug_log):
    put(tmp_path, "aqs/latest/s/a_20231231.csv")
    put(tmp_path, "aqs/latest/s/b_20240101.csv")
    put(tmp_path, "aqs/latest/s/c_20240131.csv")
    put(tmp_path, "aqs/latest/s/d_20240201.csv")
    undated = put(tmp_path, "aqs/latest/t/undated.csv")
    result = load(tmp_path, start_date=datetime.datetime(2024, 1, 1), debug=True)
    assert sorted(result) == [pd.Timestamp("2024-01-01"), pd.Timestamp("2024-01-31")]
    warnings = messages(debug_log, logging.WARNING)
    assert f"Could not extract date from {undated}, including all by default." in warnings
    assert not any(m.startswith("Skipping file") for m in warnings)
    assert not any("a_20231231" in m or "d_20240201" in m for m in messages(debug_log))
    log = messages(debug_log)
    assert f"Found 5 files under '{tmp_path / 'aqs' / 'latest'}/*/*.*'" in log
    assert "3 files selected after date filtering." in log
    assert log[-1] == end("load_observations")


@pytest.fixture
def slow_loads(monkeypatch):
    """Futures already done when as_completed starts come out in set order, so
    each load is slowed enough that none has finished by then: one worker then
    gives path order."""
    mapping = stationfeed.get_variable_mapping

    def slow_mapping(*args, **kwargs):
        time.sleep(0.05)
        return mapping(*args, **kwargs)
    monkeypatch.setattr(stationfeed, "get_variable_mapping", slow_mapping)


def test_undated_files_share_the_start_key_and_the_replacement_is_reported(
        tmp_path, caplog, summaries, slow_loads):
    caplog.set_level(logging.WARNING)
    first = put(tmp_path, "aqs/latest/s/undated_a.csv")
    second = put(tmp_path, "aqs/latest/s/undated_b.csv")
    result = load(tmp_path, max_workers=1, debug=True)
    assert list(result) == [START]
    replaced = [m for m in messages(caplog) if "replaced" in m]
    assert replaced == [f"Dataset for {START} from {first} replaced by {second}: "
                        "both files give the same key."]
    # The replacement leaves one entry, so it is summarised again.
    assert [s[1] for s in summaries] == [first, second]
    assert summaries[1][0] is result[START]


def test_file_dates_that_fail_are_skipped_and_others_go_on(tmp_path, debug_log, monkeypatch):
    put(tmp_path, "aqs/latest/s/a_20240105.csv")
    bad = put(tmp_path, "aqs/latest/s/raises.csv")
    odd = put(tmp_path, "aqs/latest/s/text.csv")
    real = stationfeed.extract_date_from_filename

    def fake(name, debug=False):
        if name == "raises.csv":
            raise ValueError("no calendar here")
        if name == "text.csv":
            return "2024-01-10"
        return real(name, debug=debug)
    monkeypatch.setattr(stationfeed, "extract_date_from_filename", fake)
    result = load(tmp_path, debug=True)
    assert list(result) == [pd.Timestamp("2024-01-05")]
    skipped = [m for m in messages(debug_log, logging.WARNING) if m.startswith("Skipping file")]
    assert skipped[0] == f"Skipping file {bad}: no calendar here"
    assert skipped[1].startswith(f"Skipping file {odd}: ")
    assert len(skipped) == 2


def test_one_worker_gives_sorted_path_order(tmp_path, slow_loads):
    # Creation order differs from path order on purpose.
    for rel in ["aqs/latest/b/x_20240120.csv", "aqs/latest/a/z_20240125.csv",
                "aqs/latest/a/y_20240103.csv", "aqs/latest/c/w_20240111.csv"]:
        put(tmp_path, rel)
    result = load(tmp_path, max_workers=1)
    assert list(result) == [pd.Timestamp(d) for d in
                            ["2024-01-03", "2024-01-25", "2024-01-20", "2024-01-11"]]


@pytest.fixture
def bar(monkeypatch):
    """Replaces the module's progress bar; records its keywords and what it yields."""
    record = {}

    def tqdm(iterable, **kwargs):
        record["kwargs"] = kwargs
        record["stdout"] = sys.stdout
        record["items"] = []

        def each():
            for item in iterable:
                record["items"].append(item)
                yield item
        return each()
    monkeypatch.setattr(stationfeed, "tqdm", tqdm)
    return record


@pytest.mark.parametrize("n_files", [0, 3])
def test_progress_bar_keywords(tmp_path, bar, n_files):
    (tmp_path / "aqs" / "latest" / "s").mkdir(parents=True)
    for i in range(n_files):
        put(tmp_path, f"aqs/latest/s/f_2024011{i}.csv")
    result = load(tmp_path)
    assert len(result) == n_files
    assert bar["kwargs"] == {
        "total": n_files, "desc": "Loading observation datasets", "colour": "green",
        "ncols": 80, "smoothing": 0.2, "unit": "file",
        "bar_format": "{l_bar}{bar}| {n_fmt}/{total_fmt} [{elapsed}<{remaining}, {rate_fmt}]",
        "file": bar["stdout"]}
    assert len(bar["items"]) == n_files
    assert all(f.done() for f in bar["items"])


def test_real_bar_writes_to_stdout(tmp_path, capsys):
    put(tmp_path, "aqs/latest/s/f_20240110.csv")
    load(tmp_path)
    captured = capsys.readouterr()
    assert "Loading observation datasets" in captured.out
    assert "1/1" in captured.out


def test_loads_run_at_once_on_worker_threads(tmp_path, monkeypatch):
    for i in range(4):
        put(tmp_path, f"aqs/latest/s/f_2024011{i}.csv")
    barrier = threading.Barrier(2, timeout=10)
    threads = []

    def meeting(data_type=None):
        # Two loads must be inside the loader together to pass the barrier.
        threads.append(threading.current_thread().name)
        barrier.wait()
        return {}
    monkeypatch.setattr(stationfeed, "get_variable_mapping", meeting)
    result = load(tmp_path, max_workers=2)
    assert len(result) == 4
    assert len(threads) == 4
    assert threading.main_thread().name not in threads


class RecordingPool(stationfeed.ThreadPoolExecutor):
    events = []

    def __init__(self, max_workers=None):
        RecordingPool.events.append(("init", max_workers))
        super().__init__(max_workers=max_workers)

    def __enter__(self):
        RecordingPool.events.append("enter")
        return super().__enter__()

    def __exit__(self, exc_type, exc, tb):
        RecordingPool.events.append(("exit", exc_type))
        return super().__exit__(exc_type, exc, tb)


def test_pool_is_a_context_left_also_on_error(tmp_path, monkeypatch, caplog):
    caplog.set_level(logging.DEBUG)
    put(tmp_path, "aqs/latest/s/f_20240110.csv")
    monkeypatch.setattr(stationfeed, "ThreadPoolExecutor", RecordingPool)
    RecordingPool.events = []
    load(tmp_path, max_workers=3)
    assert RecordingPool.events == [("init", 3), "enter", ("exit", None)]

    def broken_summary(ds, path, debug=True):
        raise RuntimeError("summary failed")
    monkeypatch.setattr(stationfeed, "summarize_observation_dataset", broken_summary)
    RecordingPool.events = []
    with pytest.raises(RuntimeError, match="summary failed"):
        load(tmp_path, debug=True)
    assert RecordingPool.events == [("init", 8), "enter", ("exit", RuntimeError)]


@pytest.mark.parametrize("kw, error", [
    ({"start_date": None}, TypeError),
    ({"end_date": "2024-01-31"}, TypeError),
    ({"obs_type": 5}, AttributeError),
    ({"max_workers": 0}, ValueError),
])
def test_bad_arguments_raise(tmp_path, kw, error, monkeypatch):
    put(tmp_path, "aqs/latest/s/f_20240110.csv")
    searched = []
    monkeypatch.setattr(stationfeed, "glob", types.SimpleNamespace(
        glob=lambda p: searched.append(p) or __import__("glob").glob(p)))
    with pytest.raises(error):
        load(tmp_path, **kw)
    if error is TypeError:
        assert not searched


# ---- one file -------------------------------------------------------------


def only_dataset(result):
    assert len(result) == 1
    return next(iter(result.values()))


def test_csv_dataset_along_time_column_with_window_rows(tmp_path, debug_log):
    f = put(tmp_path, "aqs/latest/s/obs_20240110.csv")
    ds = only_dataset(load(tmp_path, debug=True))
    assert list(ds.sizes) == ["DATEON"]
    assert list(ds["DATEON"].values) == list(pd.to_datetime(
        ["2024-01-01 00:00:00", "2024-01-15 12:00:00", "2024-01-31 00:00:00"]))
    assert list(ds["O3"].values) == [30, 31, 32]
    assert set(ds.coords) == {"DATEON", "LATITUDE", "LONGITUDE"}
    assert ds["LATITUDE"].dims == ("DATEON",)
    log = messages(debug_log)
    assert "obs_20240110.csv: Loaded 5 rows" in log
    assert "obs_20240110.csv: Columns = ['DATEON', 'LATITUDE', 'LONGITUDE', 'O3']" in log
    assert "obs_20240110.csv: DATEON non-null = 4" in log
    assert "Loaded obs_20240110.csv ..." in log
    assert f"\u2705 Observation file available {f}" in log


@pytest.mark.parametrize("extra, units_attrs, metadata_units", [
    ({}, {}, {"DATEON": None}),
    ({"time_units": "hours since 2024-01-01"}, {"units": "hours since 2024-01-01"},
     {"DATEON": "hours since 2024-01-01"}),
    ({"time_units": "hours since 2024-01-01", "calendar": "noleap"},
     {"units": "hours since 2024-01-01", "calendar": "noleap"},
     {"DATEON": "hours since 2024-01-01"}),
    ({"calendar": "noleap"}, {}, {"DATEON": None}),
])
def test_csv_time_units_and_metadata(tmp_path, mapping, extra, units_attrs, metadata_units):
    coords = {"time": "DATEON"}
    calls = mapping({"coords": coords, "variables": {"O3": ("ozone", "ppb"),
                                                     "OX": ("ozone", "ppm")}, **extra})
    put(tmp_path, "aqs/latest/s/obs_20240110.csv")
    ds = only_dataset(load(tmp_path, obs_type="AQS"))
    assert calls == ["AQS"]
    assert ds["DATEON"].attrs == units_attrs
    meta = ds.attrs["metadata"]
    assert list(meta) == ["units", "coords", "variables"]
    assert meta["units"] == metadata_units
    assert meta["coords"] is coords
    assert meta["variables"] == {"ozone": {"name": "OX", "unit": "ppm"}}
    assert "O3" in ds.data_vars


def test_csv_with_latitude_but_no_longitude_has_no_position_coordinates(tmp_path, mapping):
    mapping({"coords": {"time": "T", "lat": "lat", "lon": "lon"}, "time_format": "%Y-%m-%dT%H"})
    put(tmp_path, "aqs/latest/s/obs_20240110.csv",
        "T,lat,v\n2024-01-10T00,1.5,2\n2024-01-10T01,1.5,3\n2024-01-10 02:00,1.5,4\n")
    ds = only_dataset(load(tmp_path))
    assert set(ds.coords) == {"T"}
    assert set(ds.data_vars) == {"lat", "v"}
    assert ds.attrs["metadata"] == {"units": {"T": None}, "coords": {"time": "T", "lat": "lat",
                                                                     "lon": "lon"},
                                    "variables": {}}


@pytest.mark.filterwarnings("ignore:Could not infer format")
@pytest.mark.parametrize("text", [
    "DATEON,O3\n2023-12-31 23:00:00,1\n2024-02-01 00:00:00,2\n",
    "DATEON,O3\nyesterday,1\nsoon,2\n",
])
def test_csv_without_rows_in_window_is_skipped(tmp_path, debug_log, text):
    put(tmp_path, "aqs/latest/s/obs_20240110.csv", text)
    assert load(tmp_path, debug=True) == {}
    assert "Skipping obs_20240110.csv: no data in selected date range." in messages(debug_log)


@pytest.mark.parametrize("value, error_part", [
    ({"coords": {"time": "MISSING"}}, "'MISSING'"),
    (["not", "a", "mapping"], "get"),
    ({"variables": {"O3": "ppb"}}, "unpack"),
    ({"variables": {"O3": ("O3", "ppb", "extra")}}, "too many values"),
    (RuntimeError("mapping service down"), "mapping service down"),
])
def test_failed_csv_is_reported_and_others_go_on(tmp_path, caplog, mapping, value, error_part):
    caplog.set_level(logging.WARNING)
    mapping(value)
    bad = put(tmp_path, "aqs/latest/s/bad_20240110.csv")
    put_nc(tmp_path, "aqs/latest/s/good_20240111.nc")
    result = load(tmp_path)
    assert list(result) == [pd.Timestamp("2024-01-11")]
    failed = [m for m in messages(caplog, logging.WARNING) if m.startswith("Failed to load")]
    assert len(failed) == 1
    assert failed[0].startswith(f"Failed to load {bad}: ")
    assert error_part in failed[0]


@pytest.mark.parametrize("name, kind", [
    ("obs_20240110.CSV", "csv"), ("obs_20240110.NC", "nc"), ("obs_20240110.netcdf", "nc"),
    ("obs_20240110.tar.nc", "nc"), ("obs_20240110.txt", None),
])
@pytest.mark.parametrize("debug", [False, True])
def test_extension_chooses_the_reader(tmp_path, caplog, name, kind, debug):
    caplog.set_level(logging.DEBUG)
    rel = f"aqs/latest/s/{name}"
    f = put_nc(tmp_path, rel) if kind == "nc" else put(tmp_path, rel)
    result = load(tmp_path, debug=debug)
    log = messages(caplog)
    assert f"\u2705 Observation file available {f}" in log
    unsupported = f"Unsupported file format: {f}"
    if kind is None:
        assert result == {}
        assert (unsupported in messages(caplog, logging.WARNING)) == debug
    else:
        ds = only_dataset(result)
        assert ("DATEON" in ds.sizes) == (kind == "csv")
        assert unsupported not in log


def closing_recorder(monkeypatch):
    closed = []
    real_open = xr.open_dataset

    def open_dataset(path, **kw):
        ds = real_open(path, **kw)
        inner = ds._close
        ds.set_close(lambda: (closed.append(path), inner and inner()))
        return ds
    monkeypatch.setattr(stationfeed, "xr", types.SimpleNamespace(
        open_dataset=open_dataset, Dataset=xr.Dataset))
    return closed


@pytest.mark.parametrize("region, lats, lons, kept", [
    (None, (45.0,), (5.0,), True),
    ((40, 50, 0, 10), (50.0, 60.0), (0.0, 20.0), True),
    ((40, 50, 0, 10), (39.9, np.nan), (5.0, 5.0), False),
    ((40, 50, 0, 10), (45.0,), (10.01,), False),
    ([], (45.0,), (5.0,), "fails"),
])
def test_netcdf_region_test(tmp_path, debug_log, monkeypatch, region, lats, lons, kept):
    closed = closing_recorder(monkeypatch)
    f = put_nc(tmp_path, "aqs/latest/s/st_20240110.nc", lats=lats, lons=lons)
    result = load(tmp_path, region_bounds=region, debug=True)
    if kept is True:
        ds = only_dataset(result)
        assert ds["time"].values.tolist() == [0.0, 1.0, 2.0]  # times not decoded
        assert ds["time"].attrs["units"] == "hours since 2024-01-01"
        assert closed == []
        assert float(ds["O3"].values[0, 1]) == 1.0  # still readable: lazy, open
    else:
        assert result == {}
        assert closed == [f]
    skip = "Skipping st_20240110.nc: no stations in selected region."
    assert (skip in messages(debug_log)) == (kept is False)


def test_netcdf_without_position_is_whole_without_region(tmp_path):
    put_nc(tmp_path, "aqs/latest/s/st_20240110.nc", with_position=False)
    assert "O3" in only_dataset(load(tmp_path)).data_vars


def test_three_item_region_fails_netcdf_and_leaves_csv(tmp_path, caplog):
    caplog.set_level(logging.WARNING)
    nc = put_nc(tmp_path, "aqs/latest/s/st_20240110.nc")
    put(tmp_path, "aqs/latest/s/obs_20240111.csv")
    result = load(tmp_path, region_bounds=(40, 50, 0))
    assert list(result) == [pd.Timestamp("2024-01-11")]
    assert messages(caplog, logging.WARNING) == [
        f"Failed to load {nc}: not enough values to unpack (expected 4, got 3)"]


@pytest.mark.parametrize("duration, warned", [(6.04, True), (5.0, False)])
def test_slow_load_warning(tmp_path, caplog, monkeypatch, duration, warned):
    caplog.set_level(logging.WARNING)
    put(tmp_path, "aqs/latest/s/obs_20240110.csv")
    ticks = iter([100.0, 100.0 + duration])
    monkeypatch.setattr(stationfeed, "time", types.SimpleNamespace(time=lambda: next(ticks)))
    assert len(load(tmp_path)) == 1
    slow = [m for m in messages(caplog) if m.startswith("Loading obs_20240110.csv took")]
    assert slow == (["Loading obs_20240110.csv took 6.0 seconds!"] if warned else [])


# ---- first-dataset summary ------------------------------------------------


@pytest.fixture
def summaries(monkeypatch):
    calls = []
    monkeypatch.setattr(stationfeed, "summarize_observation_dataset",
                        lambda ds, path, debug=None: calls.append((ds, path, debug)))
    return calls


def summary_lines(caplog):
    log = messages(caplog, logging.DEBUG)
    start = log.index("First 5 time steps:")
    return [m for m in log[start:] if not m.startswith("End:")]


def test_summary_of_csv_with_dateon_previews_values(tmp_path, debug_log, summaries):
    f = put(tmp_path, "aqs/latest/s/obs_20240110.csv",
            "DATEON,O3,NO2\n" + "".join(f"2024-01-10 0{h}:00:00,{h},{h * 2}\n" for h in range(7)))
    result = load(tmp_path, debug=True)
    assert [(s[1], s[2]) for s in summaries] == [(f, True)]
    assert summaries[0][0] is only_dataset(result)
    assert summary_lines(debug_log) == ["First 5 time steps:", "O3: [0 1 2 3 4]",
                                        "NO2: [0 2 4 6 8]"]


@pytest.mark.parametrize("times, resolution", [
    ((0.0, 1.0, 2.0), "Hourly"),
    ((0.0, 7200.0), "Daily"),
    ((0.0, 172800.0, 345600.0), "Monthly or coarser"),
])
def test_summary_of_netcdf_infers_resolution(tmp_path, debug_log, summaries, times, resolution):
    put_nc(tmp_path, "aqs/latest/s/st_20240110.nc", times=times)
    load(tmp_path, debug=True)
    lines = summary_lines(debug_log)
    assert lines[0] == "First 5 time steps:"
    assert lines[-1] == f"Inferred time resolution: {resolution}"
    errors = lines[1:-1]
    assert [m.split(":")[0] for m in errors] == ["O3", "latitude", "longitude"]
    assert all("[Error displaying values]" in m for m in errors)


def test_summary_of_csv_with_time_column_named_time(tmp_path, debug_log, summaries, mapping):
    mapping({"coords": {"time": "time"}})
    put(tmp_path, "aqs/latest/s/obs_20240110.csv",
        "time,O3\n2024-01-10,1\n2024-01-11,2\n2024-01-12,3\n")
    load(tmp_path, debug=True)
    assert summary_lines(debug_log)[-1] == "Inferred time resolution: Daily"


def test_summary_runs_for_the_first_store_only(tmp_path, debug_log, summaries):
    for i in range(3):
        put(tmp_path, f"aqs/latest/s/obs_2024011{i}.csv")
    load(tmp_path, debug=True, max_workers=1)
    assert len(summaries) == 1
    assert messages(debug_log).count("First 5 time steps:") == 1
