"""Inputs that change or misreport what the statistics read: a table whose length
says more rows than its columns hold, and station mappings whose lookups change
the lists of stations read before.  Each case must give the plain formulation's
result; each runs in a child interpreter, so that a crash fails the test
instead of the run.
"""
import pytest

from support.child import assert_prints_same


@pytest.mark.parametrize("time_kind", ["stamps", "text"])
def test_table_whose_length_overstates_its_rows(time_kind):
    assert_prints_same(f"""
        import numpy as np
        import pandas as pd
        from kvelo.py import statistics as st
        from support.compare import assert_same_table
        from support.reference import ref_table, ref_table_obs
        from support.stations import META

        class Overstated(pd.DataFrame):
            def __len__(self):
                return 5_000_000

        times = pd.date_range("2024-01-01", periods=4, freq="D")
        if {time_kind!r} == "text":
            times = [str(t) for t in times]
        df = Overstated({{"time": times, "X_obs": [1.0, 2.0, 3.0, 5.0],
                          "X_a": [2.0, 1.0, 4.0, 3.0], "X_b": [1.0, np.nan, 2.0, 8.0]}})
        assert len(df) == 5_000_000
        for fn, ref in [(st.compute_statistics_from_collocated_df, ref_table),
                        (st.compute_statistics_from_collocated_df_with_obs_entry,
                         ref_table_obs)]:
            got = fn(df, META, "X", ["a", "b"], "daily")
            want = ref(df, META, "X", ["a", "b"], "daily")
            assert got["Count"].tolist()[-2:] == [4, 3], got
            assert_same_table(got, want)
        print("same")
    """)


# Station mappings whose lookups change what was read before: `make()` builds a
# fresh dictionary for every run, since each run changes it.
CHANGING_MAPPINGS = {
    # A station whose lookup evicts the lists an earlier station handed out.
    "evicting_station": """
        def make():
            first = fresh_station(0, N)

            class Evicting(dict):
                def __getitem__(self, key):
                    value = dict.__getitem__(self, key)
                    if key == "X_m":
                        for k in ("time", "X_obs", "X_m"):
                            first[k].clear()
                    return value

                def __contains__(self, key):
                    first["X_obs"][:] = [0.0] * 4  # and shrinks one again
                    return dict.__contains__(self, key)

            return {"A": first, "B": Evicting(fresh_station(1, 3))}
    """,
    # A lazy loader that frees the previous station once it hands out the next.
    "lazy_loader": """
        class Lazy(dict):
            def values(self):
                previous = None
                for sd in dict.values(self):
                    if previous is not None:
                        for k in ("time", "X_obs", "X_m"):
                            del previous[k][:]
                    yield sd
                    previous = sd

        def make():
            return Lazy({f"S{i}": fresh_station(i, N - i) for i in range(4)})
    """,
}


@pytest.mark.parametrize("stamps", ["datetime64", "Timestamp"])
@pytest.mark.parametrize("case", sorted(CHANGING_MAPPINGS))
def test_station_mapping_that_changes_earlier_lists(case, stamps):
    assert_prints_same(f"""
        import numpy as np
        import pandas as pd
        from kvelo.py import statistics as st
        from support.compare import assert_same_table
        from support.reference import ref_pool, ref_table, ref_table_obs

        N = 20_003

        def fresh_station(seed, n):
            rng = np.random.default_rng(seed)
            times = pd.date_range("2024-01-01", periods=n, freq="min")
            times = list(times.to_numpy()) if {stamps!r} == "datetime64" else list(times)
            return {{"time": times, "X_obs": list(rng.normal(30, 5, n)),
                     "X_m": list(rng.normal(30, 5, n))}}
    """, CHANGING_MAPPINGS[case], """
        for fn, drop, ref in [(st.compute_regional_statistics, False, ref_table_obs),
                              (st.compute_regional_statistics_from_collocated_dict, True,
                               ref_table)]:
            got = fn(make(), "X", "hourly")
            pool, meta, names = ref_pool(make(), "X", drop)
            want = ref(pool, meta, "X", names, "hourly")
            assert got["Count"].iloc[-1] == len(pool), (got, len(pool))
            assert_same_table(got, want)
        print("same")
    """)
