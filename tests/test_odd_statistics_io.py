"""Odd arguments of the statistics, the observation loader and the matched files: the
plain formulation's outcome (its table with the very objects in it, or its own error),
text that is not valid UTF-8 kept as Python text, and no call that waits for ever.
"""
import contextlib
import io
import os

import numpy as np
import pandas as pd
import pytest

from kvelo.py import matched
from kvelo.py import statistics as st
from support.child import output
from support.compare import assert_regional_like_plain, assert_same_outcome, assert_same_table
from support.logs import messages
from support.observation_files import load, put_nc
from support.reference import ref_regional, ref_table, ref_table_obs
from support.stations import META, random_dict
from support.texts import SURROGATE

TABLE_FUNCTIONS = [(st.compute_statistics_from_collocated_df, ref_table),
                   (st.compute_statistics_from_collocated_df_with_obs_entry, ref_table_obs)]


# ---- tables with columns of mixed kinds -------------------------------------------------

def mixed_frame(kinds):
    values = {"floats": [2.0, 1.0, 4.0, 3.0, 7.0, 5.0],
              "bools": [True, False, True, True, False, True]}
    df = pd.DataFrame({"time": pd.date_range("2024-01-01", periods=6, freq="D"),
                       "X_obs": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]})
    for name, kind in zip("ab", kinds):
        df[f"X_{name}"] = values[kind]
    return df


@pytest.mark.parametrize("fn, ref", TABLE_FUNCTIONS)
@pytest.mark.parametrize("kinds", [("bools", "floats"), ("floats", "bools")])
def test_mixed_kind_columns_hold_the_formulations_objects(fn, ref, kinds):
    # A boolean experiment's extremes are numpy booleans, so the Min and Max columns
    # keep their objects: each row must hold the very type the formulation's row
    # holds (numpy's float64 for a float experiment).
    df = mixed_frame(kinds)
    got = fn(df, META, "X", ["a", "b"], "daily")
    assert (got.dtypes == object)["Min"]
    assert_same_table(got, ref(df, META, "X", ["a", "b"], "daily"))


def test_regional_boolean_experiment_holds_the_formulations_objects():
    def data():
        d = random_dict(3, n_st=3, n_t=12)
        for sd in d.values():
            sd["NH4_CONC_base"] = [bool(i % 3) for i in range(len(sd["time"]))]
        return d
    assert_regional_like_plain(data)


# ---- odd text and keys, against the formulation ---------------------------------------

def stations(variable, extra_key=None):
    d = random_dict(5, n_st=3, n_t=10)
    for sd in d.values():
        for key in [k for k in sd if k.startswith("NH4_CONC_")]:
            sd[variable + key[len("NH4_CONC"):]] = sd.pop(key)
    if extra_key is not None:
        sd = d["S1"]
        sd[extra_key] = list(sd[variable + "_base"])
    return d


REGIONAL = [(st.compute_regional_statistics, False),
            (st.compute_regional_statistics_from_collocated_dict, True)]
VARIABLE = "NO" + SURROGATE


@pytest.mark.parametrize("fn, ref", TABLE_FUNCTIONS)
def test_missing_observation_column_of_an_odd_variable_is_the_formulations_error(fn, ref):
    df = mixed_frame(("floats", "floats"))
    variable = "X" + SURROGATE
    assert_same_outcome(lambda: fn(df, META, variable, ["a", "b"], "daily"),
                        lambda: ref(df, META, variable, ["a", "b"], "daily"))


@pytest.mark.parametrize("fn, drop", REGIONAL)
@pytest.mark.parametrize("variable, extra_key", [
    (VARIABLE, None),                              # variable and keys not valid UTF-8
    ("NH4_CONC", "NH4_CONC_b" + SURROGATE),        # an experiment key that is not
    ("NH4_CONC", 7),                               # a key that is no text: no startswith
])
def test_regional_keys_and_variables_as_the_formulation(fn, drop, variable, extra_key):
    assert_same_outcome(
        lambda: fn(stations(variable, extra_key), variable, "weekly"),
        lambda: ref_regional(stations(variable, extra_key), variable, "weekly", drop))


# ---- paths with surrogate-escaped bytes are written -----------------------------------

def write_matched(d):
    matched.save_matched_data([{"station_id": "A", "time": "2024-01-01", "O3": 1.5}],
                              os.path.join(d, "m" + SURROGATE))
    back = matched.load_matched_data(os.path.join(d, "m" + SURROGATE + ".csv"))
    assert back.to_dict("list") == {"station_id": ["A"], "time": ["2024-01-01"], "O3": [1.5]}
    return ["m\xe9.csv"]


def write_stats(d):
    stats = {"R": 0.5, "R_squared": 0.25, "RMSE": 1.0, "MB": 0.1, "Bias": -0.1, "STD_dev": 2.0}
    out = io.StringIO()  # takes the surrogate, as a terminal with surrogateescape would
    with contextlib.redirect_stdout(out):
        st.save_stats(stats, os.path.join(d, "s" + SURROGATE + ".csv"))
    assert out.getvalue() == f"Statistics saved to {d}/s{SURROGATE}_stats.csv\n"
    return ["s\xe9_stats.csv"]


def write_charts(d):
    df = mixed_frame(("floats", "floats"))
    stats_file = os.path.join(d, "in" + SURROGATE + ".csv")
    ref_table_obs(df, META, "X", ["a", "b"], "daily").to_csv(stats_file, index=False)
    st.plot_statistics(stats_file, os.path.join(d, "c" + SURROGATE + "_stats_plot.x"), ["png"],
                       False)
    return ["in\xe9.csv"] + [f"c\xe9_stats_plot_{g}.png" for g in
                             ("Correlation_Metrics", "Error_Metrics", "Descriptive_Statistics")]


@pytest.mark.parametrize("write", [write_matched, write_stats, write_charts])
def test_surrogate_escaped_paths_are_written(tmp_path, write):
    d = os.path.join(str(tmp_path), "d" + SURROGATE)
    os.mkdir(d)
    names = write(d)
    on_disk = sorted(n.decode("latin-1") for n in os.listdir(os.fsencode(d)))
    assert on_disk == sorted(names)


# ---- the observation loader -----------------------------------------------------------

def test_region_bounds_are_compared_left_to_right(tmp_path, caplog):
    # Two bounds that fail differently: the message is the first term's, as the
    # interpreter evaluates the mask.
    f = put_nc(tmp_path, "aqs/latest/s/f_20240110.nc")
    with pytest.raises(TypeError) as first:
        np.array([45.0]) >= None  # noqa: B015
    assert load(tmp_path, region_bounds=(None, 90.0, -180.0, "east")) == {}
    assert f"Failed to load {f}: {first.value}" in messages(caplog)


@pytest.mark.parametrize("max_workers", ["float('nan')", "np.float64('nan')"])
def test_worker_count_that_starts_no_thread_raises(tmp_path, max_workers):
    # The pool accepts NaN and then never starts a thread: the call would wait for ever.
    out = output(f"""
        import contextlib, io, pathlib
        import numpy as np
        from support.observation_files import load, put
        base = pathlib.Path({str(tmp_path)!r})
        put(base, "aqs/latest/s/f_20240110.csv")
        with contextlib.redirect_stdout(io.StringIO()):  # the progress bar
            try:
                load(base, max_workers={max_workers})
            except ValueError as e:
                error = str(e)
            loaded = load(base, max_workers=1.5)  # a fraction still starts its threads
        print(error)
        print(len(loaded))
    """, timeout=120)
    assert out.splitlines() == ["max_workers must be greater than 0", "1"]
