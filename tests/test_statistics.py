"""Statistics tables: per frame, with the observation row, and pooled over a region.

The reference (support/reference.py) is the plain pandas/numpy/scipy
formulation of the tables; the module must give the same bits (NaN equal to
NaN) and the same statistics file text.
"""
import inspect
import logging
import math
import warnings

import numpy as np
import pandas as pd
import pytest

from kvelo.py import statistics as st
from support.compare import assert_regional_like_plain, assert_same_outcome, assert_same_table
from support.reference import COLUMNS, ref_pool, ref_table, ref_table_obs
from support.stations import META, random_dict, regional_station
from support.texts import end, start

SHORT_ORDER = ["Experiment", "Count"] + COLUMNS[1:12] + COLUMNS[13:]


def frame(obs, mod, times=None, **more):
    n = len(obs)
    t = pd.date_range("2024-01-01", periods=n, freq="D") if times is None else times
    cols = {"time": t, "X_obs": obs, "X_a": mod}
    cols.update(more)
    return pd.DataFrame(cols)


def table(df, experiments=("a",), fn=st.compute_statistics_from_collocated_df, **kw):
    return fn(df=df, station_metadata=META, variable="X", experiments=list(experiments),
              tavg="daily", **kw)


def random_frame(seed, n=200):
    rng = np.random.default_rng(seed)
    obs = rng.gamma(2.0, 10.0, n)
    df = pd.DataFrame({
        "time": pd.date_range("2023-06-01", periods=n, freq="h"),
        "X_obs": obs,
        "X_a": obs * 0.8 + rng.normal(0, 3, n),
        "X_b": rng.normal(20, 5, n),
        "X_c": obs + 1e6,
        "other": rng.normal(size=n),
    })
    for col in ("X_obs", "X_a", "X_b"):
        df.loc[rng.random(n) < 0.15, col] = np.nan
    df.loc[rng.random(n) < 0.05, "time"] = pd.NaT
    return df


# ---- module surface -----------------------------------------------------------------

@pytest.mark.parametrize("name, params, defaults, annotations", [
    ("plot_statistics", ["stats_file", "output_file", "save_plot_formats", "debug"], None, {}),
    ("compute_regional_statistics", ["data", "variable", "tavg", "debug"], (False,),
     {"data": "dict", "variable": "str", "tavg": "str", "debug": "bool",
      "return": "pd.DataFrame"}),
    ("compute_regional_statistics_from_collocated_dict", ["data", "variable", "tavg", "debug"],
     (False,), {"data": "dict", "variable": "str", "tavg": "str", "debug": "bool",
                "return": "pd.DataFrame"}),
    ("compute_statistics_from_collocated_df",
     ["df", "station_metadata", "variable", "experiments", "tavg", "debug"], (False,),
     {"df": "pd.DataFrame", "station_metadata": "dict", "variable": "str",
      "experiments": "list", "tavg": "str", "debug": "bool", "return": "pd.DataFrame"}),
    ("compute_statistics_from_collocated_df_with_obs_entry",
     ["df", "station_metadata", "variable", "experiments", "tavg", "debug"], (False,),
     {"df": "pd.DataFrame", "station_metadata": "dict", "variable": "str",
      "experiments": "list", "tavg": "str", "debug": "bool", "return": "pd.DataFrame"}),
    ("compute_pearson_r", ["obs", "mod"], None, {}),
    ("compute_pearson_r_with_shift", ["obs_series", "mod_series", "shift"], (0,), {}),
    ("compute_pearson_r_with_shift2", ["obs_vals", "mod_vals", "shift"], (0,), {}),
    ("compute_pearson_r2", ["obs_vals", "mod_vals"], None, {}),
    ("save_stats", ["stats", "output_csv"], None, {}),
])
def test_functions_bound_with_signature(name, params, defaults, annotations):
    f = getattr(st, name)
    assert list(inspect.signature(f).parameters) == params
    assert f.__defaults__ == defaults
    assert f.__annotations__ == annotations
    assert f.__module__ == "kvelo.py.statistics"


def test_load_binds_library_names():
    import matplotlib.pyplot as plt
    import scipy.stats
    import xarray as xr
    assert (st.np, st.pd, st.xr, st.plt) == (np, pd, xr, plt)
    assert st.pearsonr is scipy.stats.pearsonr
    for name in ("os", "re", "csv", "sys", "glob", "time", "cftime", "logging"):
        assert getattr(st, name).__name__ == name


# ---- the table of one frame ----------------------------------------------------------

def both_tables(df, exps=("a",), meta=META):
    """Pairs of (ours, plain formulation) for both table functions."""
    exps = list(exps)
    return [(lambda: table(df, exps), lambda: ref_table(df, meta, "X", exps, "daily")),
            (lambda: table(df, exps, st.compute_statistics_from_collocated_df_with_obs_entry),
             lambda: ref_table_obs(df, meta, "X", exps, "daily"))]


@pytest.mark.parametrize("seed, n", [(1, 200), (2, 201), (3, 8761), (4, 7), (5, 3)])
def test_random_frames_match_plain_formulation(seed, n):
    df = random_frame(seed, n)
    for ours, plain in both_tables(df, ["a", "missing", "b", "c"]):
        assert_same_outcome(ours, plain)


def awkward_frame(case):
    """Frames whose sums, extremes and correlations show any difference in order or method."""
    rng = np.random.default_rng(17)
    if case == "exact_correlation":
        return frame([1.0, 2.0, 3.0, 4.0], [2.0, 1.0, 4.0, 3.0])
    if case == "anti_correlation":
        return frame([4.0, 3.0, 2.0, 1.0], [1.0, 2.0, 3.0, 4.0])
    if case == "small_beside_large":
        return frame([1e15, -1e15, 1e-12, 2e-12], [1e15, -1e15, 3e-12, 1e-12])
    if case == "cancelling":
        obs = np.tile([1e16, 1.0, -1e16, 3.0, 0.1, -0.1], 50)
        return frame(obs, obs[::-1].copy() + rng.normal(0, 1e-3, obs.size))
    if case == "signed_zeros":
        return frame([0.0, -0.0, 1.0, -0.0, 0.0], [0.0, -0.0, 1.0, 0.0, -0.0],
                     X_b=[-0.0, 0.0, -0.0, 0.0, -0.0])
    if case == "overflowing_median":
        return frame([1.0, 2.0, 3.0, 4.0], [1e308, 1.7e308, 1.6e308, 1.1e308])
    if case == "three_pairs":
        return frame([0.1, 0.7, 0.2], [0.3, 0.1, 0.9])
    if case == "huge":
        return frame(rng.normal(0, 1e300, 40), rng.normal(0, 1e300, 40))
    if case == "tiny":
        return frame(rng.normal(0, 1e-300, 40), rng.normal(0, 1e-310, 40))
    if case == "ties_shuffled":
        df = random_frame(11, n=3000)
        df["X_a"] = np.round(df["X_a"], 1)
        return df.sample(frac=1.0, random_state=3).reset_index(drop=True)
    if case == "long_odd":
        n = 100_001
        return frame(rng.gamma(2, 10, n), rng.gamma(2, 10, n),
                     times=pd.date_range("2024-01-01", periods=n, freq="min"))
    raise AssertionError(case)


AWKWARD = ["exact_correlation", "anti_correlation", "small_beside_large", "cancelling",
           "signed_zeros", "overflowing_median", "three_pairs", "huge", "tiny", "ties_shuffled", "long_odd"]


@pytest.mark.parametrize("case", AWKWARD)
def test_awkward_frames_match_plain_formulation(case):
    df = awkward_frame(case)
    exps = [c[2:] for c in df.columns if c.startswith("X_") and c != "X_obs"]
    for ours, plain in both_tables(df, exps):
        assert_same_outcome(ours, plain)


def test_exact_values_of_small_frames():
    def row(obs, mod, fn=st.compute_statistics_from_collocated_df):
        return table(frame(obs, mod), fn=fn).to_csv(index=False).splitlines()[1].split(",")

    # R and R2 as the library gives them, not a digit off.
    assert row([1.0, 2.0, 3.0, 4.0], [2.0, 1.0, 4.0, 3.0])[1:3] == ["0.6", "0.36"]
    assert row([4.0, 3.0, 2.0, 1.0], [1.0, 2.0, 3.0, 4.0])[1:3] == ["-1.0", "1.0"]
    # Small values beside large ones keep their digits in the mean.
    obs_row = row([1e15, -1e15, 1e-12, 2e-12], [1.0, 2.0, 3.0, 4.0],
                  st.compute_statistics_from_collocated_df_with_obs_entry)
    assert obs_row[COLUMNS.index("Mean")] == "7.5e-13"
    # The minimum keeps the sign of the zero numpy picks.
    assert row([1.0, 2.0, 3.0], [0.0, -0.0, 1.0])[COLUMNS.index("Min")] == "-0.0"


@pytest.mark.parametrize("case", ["inf_obs", "neg_inf_model", "both_inf", "huge", "int_column",
                                  "object_column", "strided", "constant_model",
                                  "nearly_constant", "text_time", "float32_column",
                                  "big_endian_column"])
def test_corner_frames_match_plain_formulation(case):
    rng = np.random.default_rng(7)
    n = 12
    obs = rng.normal(10, 2, n)
    mod = obs + rng.normal(0, 1, n)
    df = frame(obs, mod)
    if case == "inf_obs":
        df.loc[3, "X_obs"] = np.inf
    elif case == "neg_inf_model":
        df.loc[5, "X_a"] = -np.inf
    elif case == "both_inf":
        df.loc[2, "X_obs"] = np.inf
        df.loc[4, "X_a"] = np.inf
    elif case == "huge":
        df["X_a"] = df["X_a"] * 1e200
    elif case == "int_column":
        df["X_a"] = np.arange(n)
    elif case == "object_column":
        df["X_a"] = pd.Series(list(mod[:-1]) + [None], dtype=object)
    elif case == "strided":
        arr = np.column_stack([obs, mod])
        df = pd.DataFrame(arr, columns=["X_obs", "X_a"])
        df.insert(0, "time", pd.date_range("2024", periods=n))
    elif case == "constant_model":
        df["X_a"] = 4.0
    elif case == "nearly_constant":
        df["X_a"] = 1e6 + np.arange(n) * 1e-9
    elif case == "text_time":
        df["time"] = ["2024-01-%02d" % (i + 1) for i in range(n)]
        df.loc[2, "time"] = None
    elif case == "float32_column":
        df["X_a"] = mod.astype(np.float32)
    elif case == "big_endian_column":
        df["X_a"] = mod.astype(">f8")
    for ours, plain in both_tables(df):
        assert_same_outcome(ours, plain)


@pytest.mark.parametrize("meta", [
    {"SID": 7, "ELE": 200, "LAT": None, "SDATE": pd.Timestamp("2024-01-01")},
    {"NAME": "a,b", "LON": np.float32(1.5), "EDATE": np.nan},
    {},
])
def test_metadata_and_experiment_kinds_keep_library_types(meta):
    df = random_frame(4)
    df["X_1"] = df["X_a"]
    exps = [1, "a"]
    got = st.compute_statistics_from_collocated_df(df, meta, "X", exps, "daily")
    assert_same_table(got, ref_table(df, meta, "X", exps, "daily"))


@pytest.mark.parametrize("n, short", [(2, True), (3, False)])
def test_two_pairs_short_row_three_pairs_full_row(n, short):
    got = table(frame([1.0, 2.0, 4.0][:n], [1.5, 2.0, 3.0][:n]))
    assert got["Count"].tolist() == [n]
    assert got.loc[0, ["R", "RMSE", "Median"]].isna().all() == short
    assert list(got.columns) == (SHORT_ORDER if short else COLUMNS)


def test_constant_model_example():
    with pytest.warns(Warning, match="constant"):
        row = table(frame([1.0, 2.0, 3.0], [2.0, 2.0, 2.0])).iloc[0]
    assert row["MB"] == 0 and row["Bias"] == 0
    assert row["RMSE"] == pytest.approx(math.sqrt(2 / 3), rel=1e-15)
    assert row["STD_dev"] == pytest.approx(math.sqrt(2 / 3), rel=1e-15)
    assert [row[k] for k in ("Mean", "Min", "Max", "Average", "Median")] == [2.0] * 5
    assert row["Count"] == 3 and np.isnan(row["R"]) and np.isnan(row["R2"])


@pytest.mark.parametrize("n", [3, 4])
def test_median_of_signed_zeros_is_numpys(n):
    model = [-0.0, -0.0, 0.0, -0.0][:n]
    obs = [-0.0] * n
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # constant input
        got = table(frame(obs, model), fn=st.compute_statistics_from_collocated_df_with_obs_entry)
    for row, values in zip(got.itertuples(), (obs, model)):
        assert math.copysign(1.0, row.Median) == math.copysign(1.0, np.median(values))


def test_bias_negates_mb_and_average_equals_mean():
    got = table(random_frame(5), ["a", "b", "c"])
    assert (got["Bias"] == -got["MB"]).all()
    assert (got["Average"] == got["Mean"]).all()


def test_incomplete_rows_left_out_per_experiment_only():
    df = frame([1.0, 2.0, 3.0, 4.0], [1.0, 2.0, np.nan, 4.5],
               X_b=[2.0, 3.0, 4.0, 5.0])
    df.loc[0, "time"] = pd.NaT
    got = table(df, ["b", "a"])
    assert got["Experiment"].tolist() == ["b", "a"]
    assert got["Count"].tolist() == [3, 2]


def test_missing_experiment_warns_and_leaves_no_row(caplog):
    caplog.set_level(logging.DEBUG)
    got = table(frame([1.0, 2.0, 3.0], [1.0, 2.5, 3.0]), ["zz", "a"])
    assert got["Experiment"].tolist() == ["a"]
    assert "X_zz not found in DataFrame. Skipping." in caplog.messages


def test_debug_lines(caplog):
    caplog.set_level(logging.DEBUG)
    table(frame([1.0, 2.0, 3.0, np.nan], [1.0, 2.5, 3.0, 1.0]), debug=True)
    assert caplog.messages == [
        start("compute_statistics_from_collocated_df"),
        "a: After dropna: 3 rows",
        end("compute_statistics_from_collocated_df")]


@pytest.mark.parametrize("fn", [st.compute_statistics_from_collocated_df,
                                st.compute_statistics_from_collocated_df_with_obs_entry])
def test_missing_observation_column_raises_after_start_banner(fn, caplog):
    caplog.set_level(logging.DEBUG)
    df = pd.DataFrame({"time": [pd.Timestamp("2024")], "X_a": [1.0]})
    with pytest.raises(ValueError, match=r"^Observation column 'X_obs' not found in DataFrame\.$"):
        table(df, fn=fn, debug=True)
    assert len(caplog.messages) == (1 if fn.__name__.endswith("_df") else 2)
    assert all(m.startswith("Start: ") for m in caplog.messages)


def test_frame_without_time_raises_pandas_key_error():
    with pytest.raises(KeyError, match="time"):
        table(pd.DataFrame({"X_obs": [1.0, 2.0, 3.0], "X_a": [1.0, 2.0, 3.0]}))


def test_empty_experiment_list_gives_table_without_columns():
    got = table(frame([1.0, 2.0, 3.0], [1.0, 2.0, 3.0]), [])
    assert got.shape == (0, 0)


def test_replaced_pearsonr_is_used(monkeypatch):
    monkeypatch.setattr(st, "pearsonr", lambda o, m: (0.25, None))
    assert table(frame([1.0, 2.0, 4.0], [1.5, 2.0, 3.0]))["R"].tolist() == [0.25]


def test_replaced_correlation_function_gets_the_paired_values(monkeypatch):
    kept = []
    monkeypatch.setattr(st, "compute_pearson_r", lambda o, m: kept.append((o, m)) or 0.5)
    got = table(frame([1.0, 5.0, np.nan, 2.0, 4.0], [3.0, 1.0, 7.0, 2.0, 8.0]))
    assert got["R"].tolist() == [0.5] and got["Median"].tolist() == [2.5]
    [(o, m)] = kept  # still as they were handed over once the row is made
    assert o.tolist() == [1.0, 5.0, 2.0, 4.0] and m.tolist() == [3.0, 1.0, 2.0, 8.0]


def test_statistics_file_round_trip(tmp_path):
    meta = {k: v for k, v in META.items() if k != "NAME"}
    df = frame([1.0, 2.0, 4.0, 8.0], [1.5, 2.0, 3.0, 7.0], X_b=[1.0, 2.0, np.nan, np.nan])
    got = st.compute_statistics_from_collocated_df(df, meta, "X", ["b", "a"], 'da,"y"')
    path = tmp_path / "s_stats.csv"
    got.to_csv(path, index=False)
    text = path.read_text()
    assert text.splitlines()[0] == ",".join(SHORT_ORDER)
    assert text.splitlines()[1].startswith("b,2,,,,,,,,,,,,S1,,50.5,")
    assert text.splitlines()[1].endswith(',"da,""y"""')
    back = pd.read_csv(path)
    assert back["NAME"].isna().all()
    pd.testing.assert_frame_equal(back.drop(columns="NAME"), got.drop(columns="NAME"),
                                  check_exact=False, rtol=1e-15)


# ---- observation row ---------------------------------------------------------------

def test_single_observation_value():
    df = frame([np.nan, 5.0, np.nan], [1.0, 1.0, 1.0])
    got = table(df, fn=st.compute_statistics_from_collocated_df_with_obs_entry)
    obs = got.iloc[0]
    assert obs["Experiment"] == "obs" and obs["Count"] == 1 and obs["STD_dev"] == 0
    assert [obs[k] for k in ("Mean", "Min", "Max", "Average", "Median")] == [5.0] * 5


def test_observation_row_puts_count_thirteenth_before_short_row():
    df = frame([1.0, 2.0, 3.0, 4.0], [1.0, 2.0, np.nan, np.nan])
    got = table(df, fn=st.compute_statistics_from_collocated_df_with_obs_entry)
    assert list(got.columns) == COLUMNS
    assert got["Count"].tolist() == [4, 2]
    assert got.loc[0, ["R", "R2", "RMSE", "MB", "Bias"]].isna().all()


def test_no_observation_value_leaves_experiment_table():
    df = frame([np.nan] * 3, [1.0, 2.0, 3.0])
    got = table(df, fn=st.compute_statistics_from_collocated_df_with_obs_entry)
    assert list(got.columns) == SHORT_ORDER and got["Count"].tolist() == [0]
    assert table(df, [], fn=st.compute_statistics_from_collocated_df_with_obs_entry).shape == (0, 0)


def test_observation_row_alone_for_empty_experiment_list():
    got = table(frame([1.0, 3.0], [1.0, 1.0]), [],
                fn=st.compute_statistics_from_collocated_df_with_obs_entry)
    assert list(got.columns) == COLUMNS and got["Experiment"].tolist() == ["obs"]


# ---- regional statistics -----------------------------------------------------------

def regional(data, fn=st.compute_regional_statistics, **kw):
    return fn(data=data, variable="NH4_CONC", tavg="weekly", **kw)


def restamp(data, kind):
    """The same stations with their stamps as another type."""
    import datetime
    for i, sd in enumerate(data.values()):
        stamps = pd.DatetimeIndex(sd["time"])
        k = kind if kind != "mixed" else ["timestamp", "datetime64", "datetime",
                                          "datetime64_s"][i % 4]
        if k == "timestamp":
            sd["time"] = list(stamps)
        elif k == "datetime64":  # what the station table intake stores
            sd["time"] = list(stamps.to_numpy())
        elif k == "datetime64_s":
            sd["time"] = list(stamps.to_numpy().astype("M8[s]"))
        elif k == "datetime64_D":
            sd["time"] = list(stamps.to_numpy().astype("M8[D]"))
        elif k == "datetime":
            sd["time"] = [datetime.datetime(*t.timetuple()[:6]) for t in stamps]
        elif k == "tuple":
            sd["time"] = tuple(stamps.to_numpy())
        elif k == "nanoseconds":
            sd["time"] = [t + pd.Timedelta(nanoseconds=int(j % 7)) for j, t in enumerate(stamps)]
        elif k == "text":
            sd["time"] = [str(t) for t in stamps]
        if kind == "mixed":  # and the missing markers the library reads
            sd["time"][1:4] = [None, pd.NaT, np.datetime64("NaT")]
    return data


@pytest.mark.parametrize("kind, native", [
    ("timestamp", True), ("datetime64", True), ("datetime64_s", True), ("datetime64_D", True),
    ("datetime", True), ("tuple", True), ("nanoseconds", True), ("mixed", True),
    ("text", False)])
def test_regional_matches_plain_formulation(kind, native, monkeypatch):
    assert_regional_like_plain(lambda: restamp(random_dict(4), kind), native, monkeypatch)
    data = random_dict(4)
    assert ref_pool(data, "NH4_CONC", False)[2] == ["base", "NH4_CONC_run"]


def test_regional_many_stations_with_equal_stamps():
    # Every station has every stamp: the order in which the sort leaves equal
    # stamps decides the order of the sums.
    times = list(pd.date_range("2024-01-01", periods=400, freq="h").to_numpy())

    def data():
        out = {}
        for s in range(25):
            rng = np.random.default_rng(s)
            spread = 10.0 ** rng.uniform(-3, 3, len(times))
            out[f"S{s}"] = {"time": times,
                            "NH4_CONC_obs": list(rng.normal(0, 1, len(times)) * spread),
                            "NH4_CONC_a": list(rng.normal(0, 1, len(times)) * spread)}
        return out

    pool, meta, names = ref_pool(data(), "NH4_CONC", False)
    stable = pool.sort_index().sort_values("time", kind="stable")
    sums = ["RMSE", "MB", "STD_dev", "Mean"]
    assert (ref_table(pool, meta, "NH4_CONC", names, "w")[sums].values.tolist() !=
            ref_table(stable, meta, "NH4_CONC", names, "w")[sums].values.tolist())
    assert_regional_like_plain(data)


def value_kind_dict(case):
    import datetime
    data = random_dict(8, n_st=3, n_t=12)
    sd = data["S1"]
    n = len(sd["time"])
    if case == "none_and_floats":
        sd["NH4_CONC_obs"] = [None if i % 4 == 0 else float(v) for i, v in
                              enumerate(sd["NH4_CONC_obs"])]
    elif case == "all_none":
        sd["NH4_CONC_base"] = [None] * n
    elif case == "all_nan":
        sd["NH4_CONC_base"] = [np.nan] * n
    elif case == "ints":
        sd["NH4_CONC_base"] = list(range(n))
    elif case == "bools":
        sd["NH4_CONC_base"] = [bool(i % 2) for i in range(n)]
    elif case == "float32":
        sd["NH4_CONC_base"] = [np.float32(v) for v in sd["NH4_CONC_base"]]
    elif case == "array":
        sd["NH4_CONC_base"] = np.array(sd["NH4_CONC_base"])
    elif case == "series":
        sd["NH4_CONC_obs"] = pd.Series(sd["NH4_CONC_obs"], index=range(n, 0, -1))
    elif case == "inf":
        sd["NH4_CONC_base"][2] = np.inf
    elif case == "nat_time":
        sd["time"][0] = pd.NaT
        sd["time"][1] = None
        sd["time"][2] = float("nan")
    elif case == "all_nat":
        for s in data.values():
            s["time"] = [None] * len(s["time"])
    elif case == "datetime":
        sd["time"] = [datetime.datetime(2024, 2, 1, h) for h in range(n)]
    elif case == "date":
        sd["time"] = [datetime.date(2024, 2, 1 + h) for h in range(n)]
    elif case == "tz_aware":
        sd["time"] = [t.tz_localize("UTC") for t in sd["time"]]
    elif case == "tz_aware_all":
        for s in data.values():
            s["time"] = [t.tz_localize("UTC") for t in s["time"]]
    elif case == "months":
        sd["time"] = [np.datetime64("2024-03", "M")] * n
    elif case == "out_of_range":
        sd["time"] = [np.datetime64("3000-01-01", "s")] * n
    elif case == "empty_station":
        data["S1"] = {"time": [], "NH4_CONC_obs": [], "NH4_CONC_base": []}
    elif case == "no_obs_anywhere":
        for s in data.values():
            del s["NH4_CONC_obs"]
    elif case == "obs_all_missing":
        for s in data.values():
            s["NH4_CONC_obs"] = [np.nan] * len(s["time"])
    elif case == "short_list":
        sd["NH4_CONC_base"] = sd["NH4_CONC_base"][:-1]
    elif case == "short_obs":
        sd["NH4_CONC_obs"] = sd["NH4_CONC_obs"][:-1]
    elif case == "experiment_at_one_station":
        sd["NH4_CONC_extra"] = [1.0] * n
    elif case == "no_time":
        del sd["time"]
    else:
        raise AssertionError(case)
    return data


@pytest.mark.parametrize("case", [
    "none_and_floats", "all_none", "all_nan", "ints", "bools", "float32", "array", "series",
    "inf", "nat_time", "all_nat", "datetime", "date", "tz_aware", "tz_aware_all", "months",
    "out_of_range", "empty_station", "no_obs_anywhere", "obs_all_missing", "short_list",
    "short_obs", "experiment_at_one_station", "no_time"])
def test_regional_value_kinds_match_plain_formulation(case):
    assert_regional_like_plain(lambda: value_kind_dict(case))


def test_regional_pool_counts_every_station_time():
    t = pd.date_range("2024-01-01", periods=10, freq="D")
    data = {"A": regional_station("A", t, range(10), m=range(10)),
            "B": regional_station("B", t[:2], [1, 2], m=[3, 1]),
            "C": regional_station("C", t[:3], None, m=[5, 5, 5])}
    got = regional(data)
    assert got["Count"].tolist() == [12, 12]
    assert set(got["SID"]) == {"REGIONAL"} and set(got["NAME"]) == {"Regional Mean"}


def test_empty_dictionary(caplog):
    got = regional({})
    assert got.shape == (0, 0)
    assert caplog.messages == ["No valid station data found for regional statistics."]
    with pytest.raises(ValueError):
        regional({}, st.compute_regional_statistics_from_collocated_dict)


def test_dates_span_differs_between_variants():
    t = pd.date_range("2024-01-01", periods=5, freq="D")
    data = {"A": regional_station("A", t, [np.nan, 1, 2, 3, np.nan], m=[1, 2, 3, 4, 5])}
    full = regional(data)
    only = regional(data, st.compute_regional_statistics_from_collocated_dict)
    assert (full["SDATE"].iloc[0], full["EDATE"].iloc[0]) == ("2024-01-01", "2024-01-05")
    assert (only["SDATE"].iloc[0], only["EDATE"].iloc[0]) == ("2024-01-02", "2024-01-04")


def test_no_pooled_observation():
    t = pd.date_range("2024-01-01", periods=4, freq="D")
    data = {"A": regional_station("A", t, [np.nan] * 4, m=[1, 2, 3, 4], k=[1, 2, 3, 4])}
    got = regional(data)
    assert got["Experiment"].tolist() == ["m", "k"] and got["Count"].tolist() == [0, 0]
    with pytest.raises(ValueError):
        regional(data, st.compute_regional_statistics_from_collocated_dict)


def test_station_without_time_fails():
    data = {"A": {"NH4_CONC_m": [1.0]}}
    with pytest.raises(KeyError, match="time"):
        regional(data)


def test_series_length_mismatch_raises_library_error():
    data = {"A": regional_station("A", pd.date_range("2024", periods=3), [1, 2, 3], m=[1, 2])}
    with pytest.raises(ValueError, match="same length|Length of values"):
        regional(data)


def test_regional_debug_order(caplog):
    caplog.set_level(logging.DEBUG)
    t = pd.date_range("2024-01-01", periods=4, freq="D")
    regional({"A": regional_station("A", t, [1, 2, 3, 4], m=[1, 2, 3, 5])}, debug=True)
    assert caplog.messages == [
        start("compute_regional_statistics"),
        end("compute_regional_statistics"),
        start("compute_statistics_from_collocated_df_with_obs_entry"),
        start("compute_statistics_from_collocated_df"),
        "m: After dropna: 4 rows",
        end("compute_statistics_from_collocated_df"),
        end("compute_statistics_from_collocated_df_with_obs_entry")]


def test_replaced_statistics_function_receives_sorted_pool(monkeypatch):
    seen = {}

    def fake(**kw):
        seen.update(kw)
        return pd.DataFrame()

    monkeypatch.setattr(st, "compute_statistics_from_collocated_df", fake)
    data = {"A": regional_station("A", ["2024-01-03", "2024-01-01"], [1, 2], m=[3, 4]),
            "B": regional_station("B", ["2024-01-02"], [5], m=[6])}
    st.compute_regional_statistics_from_collocated_dict(data, "NH4_CONC", "weekly")
    assert seen["df"]["NH4_CONC_obs"].tolist() == [2.0, 5.0, 1.0]
    assert seen["experiments"] == ["m"]
    assert seen["station_metadata"]["SDATE"] == "2024-01-01"


@pytest.mark.parametrize("fn, drop, ref", [
    (st.compute_regional_statistics, False, ref_table_obs),
    (st.compute_regional_statistics_from_collocated_dict, True, ref_table),
])
def test_regional_integer_lists_keep_library_types(fn, drop, ref):
    # Lists of plain ints make integer columns, so Min and Max stay integers.
    t = pd.date_range("2024-01-01", periods=5, freq="D")
    data = {"A": {"time": list(t), "NH4_CONC_obs": [1, 2, 3, 4, 5],
                  "NH4_CONC_a": [2, 3, 1, 5, 4]},
            "B": {"time": list(t[:3]), "NH4_CONC_obs": [4, 1, 2], "NH4_CONC_a": [7, 1, 1]}}
    pool, meta, names = ref_pool(data, "NH4_CONC", drop)
    got = regional(data, fn)
    assert_same_table(got, ref(pool, meta, "NH4_CONC", names, "weekly"))
    assert got["Min"].tolist()[-1] == 1 and got["Min"].dtype == np.int64


class Recording:
    """A library module that notes which of its names were looked up."""

    def __init__(self, module):
        self._module, self.used = module, set()

    def __getattr__(self, name):
        self.used.add(name)
        return getattr(self._module, name)


@pytest.mark.parametrize("name, library, used", [
    ("np", np, {"mean", "std", "min", "max", "median"}),
    ("pd", pd, {"concat", "to_datetime"}),
])
def test_replaced_library_names_take_effect(monkeypatch, name, library, used):
    rec = Recording(library)
    monkeypatch.setattr(st, name, rec)
    df = random_frame(6, n=40)
    data = random_dict(6, n_st=3, n_t=10)
    pool, meta, names = ref_pool(data, "NH4_CONC", False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert_same_table(table(df, ["a", "b"], st.compute_statistics_from_collocated_df_with_obs_entry),
                          ref_table_obs(df, META, "X", ["a", "b"], "daily"))
        assert_same_table(regional(data), ref_table_obs(pool, meta, "NH4_CONC", names, "weekly"))
    assert used <= rec.used
