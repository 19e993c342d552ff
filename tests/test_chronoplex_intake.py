"""Station table intake: reading the table and building the station-wise dictionary."""
import logging
import math
import textwrap

import numpy as np
import pandas as pd
import pytest

from kvelo.py import chronoplex
from support.child import printed_lines
from support.reference import reference_collocated, reference_plain
from support.stand_ins import stand_in
from support.texts import end, start

CALLEES = ["plot_station_timeseries_collocation", "plot_station_timeseries_bias3",
           "extend_process_time_series_with_stats",
           "plot_station_timeseries_grouped_or_subplots"]
START = start("process_time_series_plot_from_file")
END = end("process_time_series_plot_from_file")


@pytest.fixture
def run(monkeypatch):
    """Runs the entry on a given read_data result; records what the callees receive."""
    calls = []
    for name in CALLEES:
        monkeypatch.setattr(chronoplex, name,
                            lambda _n=name, **kw: calls.append((_n, kw)))

    def go(result, variable="O3", collocated=True, debug=False):
        reads = []
        monkeypatch.setattr(chronoplex, "read_data", stand_in(result, reads))
        out = chronoplex.process_time_series_plot_from_file(
            "in/table.csv", "csv", {}, "out/o3", ["png"], {}, "Title", variable, "daily",
            debug, collocated)
        assert out is None
        go.reads = reads
        return calls
    return go


def data_of(calls):
    assert calls, "nothing was dispatched"
    return calls[0][1]["data"]


def same(a, b):
    """Equal values of the same types, NaN equal to NaN, lists element by element."""
    assert type(a) is type(b), (a, b)
    if isinstance(a, list):
        assert len(a) == len(b)
        for x, y in zip(a, b):
            same(x, y)
    elif isinstance(a, pd.Series):
        pd.testing.assert_series_equal(a, b)
    elif isinstance(a, float) and math.isnan(a):
        assert math.isnan(b)
    elif a is pd.NA:
        assert b is pd.NA
    else:
        assert a == b or (pd.isna(a) and pd.isna(b)), (a, b)


def same_data(got, want):
    assert list(got) == list(want)
    for sid in want:
        assert list(got[sid]) == list(want[sid]), sid
        for key in want[sid]:
            same(got[sid][key], want[sid][key])


def random_table(seed, stations=12, times=40, id_kind="text", time_kind="stamp", ties=False):
    """Rows interleaved across stations, shuffled, some values missing."""
    rng = np.random.default_rng(seed)
    base = pd.date_range("2021-01-01", periods=times, freq="h")
    rows = []
    for s in range(stations):
        stamps = base[rng.integers(0, times // 4, size=times)] if ties else base
        for i, t in enumerate(stamps):
            rows.append({"site_id": f"ST{s:03d}" if id_kind == "text" else 100 + s,
                         "time": t, "site_name": f"Site {s} row {i}",
                         "lat": float(s), "lon": -float(s), "elevation_m": 10.0 * s,
                         "n_valid": i, "O3_obs": rng.normal(30, 5), "O3_exp1": rng.normal(31, 5),
                         "O3_exp2": int(rng.integers(0, 50)), "O3": rng.normal(),
                         "min": 1.0, "max": 2.0})
    df = pd.DataFrame(rows).sample(frac=1.0, random_state=seed).reset_index(drop=True)
    df.loc[rng.random(len(df)) < 0.1, "O3_obs"] = np.nan
    df.index = df.index * 3 + 7  # row labels that are not positions
    if id_kind == "category":
        df["site_id"] = df["site_id"].astype("category")
    if time_kind == "text":
        df["time"] = df["time"].dt.strftime("%Y-%m-%d %H:%M")
    elif time_kind == "tz":
        df["time"] = df["time"].dt.tz_localize("Europe/Berlin")
    return df


@pytest.mark.parametrize("kind", [
    dict(),
    dict(id_kind="int"),
    dict(id_kind="category"),             # codes in category order, stations in table order
    dict(ties=True),                      # tied stamps: the library's own order of ties
    dict(ties=True, stations=3, times=200),
    dict(time_kind="text", ties=True),
    dict(time_kind="tz"),
])
def test_both_layouts_equal_boolean_selection(run, kind):
    df = random_table(3, **kind)
    same_data(data_of(run(df, collocated=True)), reference_collocated(df, "O3"))
    same_data(data_of(run(df, collocated=False)[-1:]), reference_plain(df, "O3"))


def test_read_data_call_and_units(run):
    df = random_table(0, stations=1, times=3)
    calls = run((df, {"O3_obs": "ppb", "O3": "ug/m3"}), debug=True)
    assert run.reads == [(("in/table.csv",), {"data_format": "csv", "debug": True,
                                              "return_units": True})]
    assert calls[0][1]["unit"] == "ppb"


@pytest.mark.parametrize("result_units, unit", [
    ({"O3": "ug/m3"}, "ug/m3"),
    ({"NO2": "ppb"}, ""),
    (None, ""),                           # a bare table
])
def test_unit_lookup(run, result_units, unit):
    df = random_table(0, stations=1, times=3)
    result = df if result_units is None else (df, result_units)
    assert run(result)[0][1]["unit"] == unit


def unpack_error(n):
    try:
        a, b = tuple(range(n))
    except ValueError as e:
        return str(e)


@pytest.mark.parametrize("result, text", [
    (OSError("no such table"), "no such table"),
    ((1, 2, 3), unpack_error(3)),
    ((1,), unpack_error(1)),
])
def test_read_failure_is_one_error_line(run, caplog, result, text):
    caplog.set_level(logging.DEBUG)
    calls = run(result, debug=True)
    assert calls == []
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("DEBUG", START), ("ERROR", "Could not load station data for plotting: " + text)]


def test_read_failure_outside_exception_family_passes(run):
    class Stop(BaseException):
        pass

    with pytest.raises(Stop):
        run(Stop())


def test_missing_site_id(run, caplog):
    caplog.set_level(logging.DEBUG)
    df = pd.DataFrame({"time": [1], "O3_obs": [1.0]})
    with pytest.raises(KeyError) as err:
        run((df, {"O3": "ppb"}), debug=True)
    assert err.value.args == ("Expected 'site_id' column not found in df_obs.",)
    assert [r.getMessage() for r in caplog.records] == [
        START, "Using variable 'O3' 'ppb'", f"df_obs: {df}"]


def test_order_of_stations_and_rows(run):
    df = pd.DataFrame({
        "site_id": ["B", "A", "B", "A", "B"],
        "time": pd.to_datetime(["2020-01-03", "2020-01-02", "2020-01-02", "2020-01-01",
                                "2020-01-01"]),
        "site_name": ["B late", "A late", "B mid", "A early", "B early"],
        "O3_obs": [3.0, 2.0, 2.5, 1.0, 1.5],
    })
    data = data_of(run(df))
    assert list(data) == ["B", "A"]
    assert data["B"]["site_name"] == "B early"
    assert data["B"]["O3_obs"] == [1.5, 2.5, 3.0]
    assert data["B"]["time"] == list(pd.to_datetime(["2020-01-01", "2020-01-02", "2020-01-03"]))
    assert data["A"]["site_name"] == "A early"


def test_collocated_value_columns_and_absent_metadata(run):
    df = pd.DataFrame({"site_id": [1, 1], "time": [2, 1], "site_x": ["a", "b"],
                       "O3_obs": [1.0, np.nan], "O3_exp1": [4, 5], "NO3": [0, 0],
                       "O3max": [7.5, 8.5]})
    sd = data_of(run(df))[1]
    assert list(sd) == ["site_id", "site_name", "lat", "lon", "elevation_m", "time",
                        "n_valid", "O3_obs", "O3_exp1", "O3max"]
    assert sd["site_name"] == ""
    assert all(math.isnan(sd[k]) for k in ["lat", "lon", "elevation_m", "n_valid"])
    assert sd["time"] == [1, 2]
    assert [type(v) for v in sd["O3_exp1"]] == [np.int64, np.int64]
    assert sd["O3_exp1"] == [5, 4] and math.isnan(sd["O3_obs"][0])


def test_no_value_columns_keeps_seven_keys(run):
    df = pd.DataFrame({"site_id": ["A"], "time": [1], "NO2": [1.0]})
    sd = data_of(run(df))["A"]
    assert list(sd) == ["site_id", "site_name", "lat", "lon", "elevation_m", "time", "n_valid"]


def test_missing_identifier_warned_once(run, caplog):
    df = pd.DataFrame({"site_id": ["A", np.nan, "B", np.nan], "time": [1, 2, 3, 4],
                       "O3_obs": [1.0, 2.0, 3.0, 4.0]})
    data = data_of(run(df))
    assert list(data) == ["A", "B"]
    warnings = [r.getMessage() for r in caplog.records if r.levelname == "WARNING"]
    assert warnings == ["[nan] No data rows found."]


@pytest.mark.parametrize("debug", [True, False])
def test_column_lines_only_with_debug(run, caplog, debug):
    caplog.set_level(logging.DEBUG)
    df = pd.DataFrame({"site_id": ["A", "A", "B"], "time": [1, 2, 1],
                       "O3_obs": [np.nan, np.nan, 1.0]})
    data = data_of(run(df, debug=debug))
    assert len(data["A"]["O3_obs"]) == 2
    lines = [(r.levelname, r.getMessage()) for r in caplog.records
             if r.getMessage().startswith("[")]
    expected = [("DEBUG", "[A] Loaded O3_obs: 2 values"),
                ("WARNING", "[A] Column O3_obs contains only NaNs."),
                ("DEBUG", "[B] Loaded O3_obs: 1 values")]
    assert lines == (expected if debug else [])


def test_plain_without_variable_column(run, caplog):
    caplog.set_level(logging.DEBUG)
    df = pd.DataFrame({"site_id": ["A"], "time": [1], "O3_obs": [1.0]})
    assert run(df, collocated=False, debug=True) == []
    messages = [r.getMessage() for r in caplog.records]
    assert messages[-2:] == ["Variable 'O3' not found in observations.", f"df_obs: {df}"]
    assert END not in messages


def test_plain_layout_series_and_min_max(run):
    df = pd.DataFrame({"site_id": ["A", "A"], "time": [2, 1], "site_name": ["x", "y"],
                       "lat": [1.0, 2.0], "lon": [3.0, 4.0], "elevation_m": [5.0, 6.0],
                       "O3": [10.0, 20.0], "min": [0.0, 1.0]}, index=[10, 20])
    sd = data_of(run(df, collocated=False))["A"]
    assert list(sd) == ["site_id", "site_name", "lat", "lon", "elevation_m", "time", "value"]
    assert sd["site_name"] == "y" and sd["lat"] == 2.0
    assert list(sd["time"].index) == [20, 10] and list(sd["value"]) == [20.0, 10.0]
    sd["value"].iloc[0] = -1.0        # a copy: the table is untouched
    assert df.loc[20, "O3"] == 20.0


@pytest.mark.parametrize("df, error", [
    (pd.DataFrame({"site_id": ["A"], "O3_obs": [1.0]}), "'time'"),
    # The rows of a missing identifier are sorted too, though there are none.
    (pd.DataFrame({"site_id": [np.nan], "O3_obs": [1.0]}), "'time'"),
    (pd.DataFrame({"site_id": ["A"], "time": [1], "O3": [1.0]}), "'site_name'"),
])
def test_missing_columns_raise_key_error(run, df, error):
    with pytest.raises(KeyError, match=error):
        run(df, collocated="site_name" not in error)


def test_non_text_variable_in_collocated_build(run):
    df = pd.DataFrame({"site_id": ["A"], "time": [1], "O3_obs": [1.0]})
    with pytest.raises(TypeError):
        run(df, variable=None)


@pytest.mark.parametrize("collocated", [True, False])
def test_empty_table_dispatches_empty_dictionary(run, collocated):
    df = pd.DataFrame({"site_id": [], "O3": []})
    calls = run(df, collocated=collocated)
    assert calls and all(kw["data"] == {} for _, kw in calls)


@pytest.mark.parametrize("column, collocated, ties", [
    ("site_id", True, False),
    ("site_id", False, False),
    ("time", True, False),
    ("time", True, True),                 # tied stamps: the library's own sort of them
    ("time", False, False),
    ("O3_obs", True, False),
    ("O3", False, False),
    ("min", False, False),
])
def test_duplicated_column_raises_naming_it(run, column, collocated, ties):
    df = random_table(4, stations=3, times=8, ties=ties)
    # The same label again, holding the rows in another order: read as one
    # column it would hand one station the values of another.
    df = pd.concat([df, df[[column]].iloc[::-1].set_axis(df.index)], axis=1)
    with pytest.raises(ValueError) as err:
        run(df, collocated=collocated)
    assert str(err.value) == f"The column label '{column}' is not unique."


@pytest.mark.parametrize("column, collocated", [("O3_obs", False), ("NO2", True)])
def test_duplicated_column_the_intake_does_not_read(run, column, collocated):
    df = random_table(4, stations=2, times=3)
    df["NO2"] = 1.0
    df = pd.concat([df, df[[column]]], axis=1)
    assert data_of(run(df, collocated=collocated)[-1:])


@pytest.mark.parametrize("column, values", [
    ("O3_obs", pd.array([1, None, 3, 4, 5], dtype="Int64")),
    ("O3_obs", pd.array([True, None, False, True, False], dtype="boolean")),
    ("O3_obs", pd.array([1.5, None, 2.5, 3.5, 4.5], dtype="Float64")),
    ("O3_obs", pd.Categorical([1, None, 3, 4, 5])),
    ("O3_obs", pd.array(["a", None, "b", "c", "d"], dtype="string")),
    ("time", pd.array([2, None, 1, 2, 3], dtype="Int64")),
])
def test_extension_columns_give_the_per_station_item_types(run, column, values):
    # A station with a missing value gets float (or object) items, one without
    # keeps the column's own type, as each station's rows convert alone.
    df = pd.DataFrame({"site_id": ["A", "A", "B", "B", "B"], "time": [2, 1, 3, 1, 2],
                       "O3_obs": [1.0, 2.0, 3.0, 4.0, 5.0]})
    df[column] = values
    same_data(data_of(run(df)), reference_collocated(df, "O3"))


ADVERSARIAL_TABLE = """
    import numpy as np, pandas as pd
    from kvelo.py import chronoplex
    for name in ["plot_station_timeseries_collocation", "plot_station_timeseries_bias3",
                 "extend_process_time_series_with_stats",
                 "plot_station_timeseries_grouped_or_subplots"]:
        setattr(chronoplex, name, lambda **kw: None)
    {table}
    df = Table({{"site_id": ["A", "B"] * 200, "time": np.repeat(np.arange(200), 2) % 7,
                "site_name": "x", "lat": 1.0, "lon": 2.0, "elevation_m": 3.0,
                "O3": np.arange(400.0), "O3_obs": np.arange(400.0)}})
    chronoplex.read_data = lambda *a, **k: df
    try:
        chronoplex.process_time_series_plot_from_file("t", "csv", {{}}, "o", [], {{}}, "T", "O3",
                                                      None, False, {collocated})
        print("no error")
    except Exception as e:
        print(type(e).__name__)
"""


@pytest.mark.parametrize("table", [
    # A time column whose sort hands back labels that are no row positions.
    """
    class Stamps(pd.Series):
        @property
        def _constructor(self):
            return Stamps
        def sort_values(self, *args, **kwargs):
            out = pd.Series.sort_values(self, *args, **kwargs)
            return out.set_axis(out.index + 10**9)
    class Table(pd.DataFrame):
        @property
        def _constructor(self):
            return Table
        @property
        def _constructor_sliced(self):
            return Stamps
    """,
    # A time column shorter than the table.
    """
    class Table(pd.DataFrame):
        @property
        def _constructor(self):
            return Table
        def __getitem__(self, key):
            column = super().__getitem__(key)
            return column.iloc[:3] if isinstance(key, str) and key == "time" else column
    """,
], ids=["foreign-sort-labels", "short-time-column"])
@pytest.mark.parametrize("collocated", [True, False])
def test_tables_that_disagree_with_themselves_are_read_within_bounds(table, collocated):
    code = ADVERSARIAL_TABLE.format(table=textwrap.indent(textwrap.dedent(table), "    "),
                                    collocated=collocated)
    assert printed_lines(code)[-1] == "IndexError"
