"""Objects whose type or operators answer oddly.  Each case once reached C++ that
took Python's answers on trust: a function object made without its table, a
remainder used as a table index, a failed set insertion left unreported, a
column name derived twice from a text whose + changed.  Each now gets an
ordinary Python answer.  The cases run in child interpreters, since the first
two took the process down."""
import pytest

from support.child import printed_lines

CASES = {
    "function type made from Python": ("""
        import kvelo.py.statistics as st
        kind = type(st.compute_pearson_r)
        for make in (kind, lambda: object.__new__(kind)):
            try:
                made = make()
            except TypeError as e:
                print("TypeError:", e)
            else:
                print("made", repr(made))
        """, ["TypeError: cannot create 'kvelo.py.function' instances",
              "TypeError: object.__new__(kvelo.py.function) is not safe, use "
              "kvelo.py.function.__new__()"]),
    # int(i) picks the marker, whatever the subclass's % answers.
    "marker place whose remainder is out of the table": ("""
        from kvelo.py import style
        for answer in (10**9, 11, 12, -3):
            class Place(int):
                def __mod__(self, other):
                    return answer
            print(style.get_marker_style("exp1", Place(3)) == style.get_marker_style("exp1", 3))
        """, ["True"] * 4),
    "station key without a hash": ("""
        import pandas as pd
        from kvelo.py import chronoplex
        from support.odd_values import Pairs, unhashable
        times = list(pd.date_range("2024-01-01", periods=3, freq="D"))
        station = Pairs([("time", times), (unhashable("O3_m"), [1.0, 2.0, 3.0]),
                         ("O3_obs", [1.0, 2.0, 3.0])])
        try:
            chronoplex.plot_station_timeseries_collocation(
                {}, {"A": station}, "t", "csv", {}, "out", [], "T", "O3", "ppb", "daily")
        except TypeError as e:
            print("TypeError:", e)
        """, ["TypeError: unhashable type: 'Unhashable'"]),
    # The pool read natively (lists of floats) answers as the table formulation
    # does (numpy arrays take it): the third + names the time column.
    "variable whose + changes between calls": ("""
        import numpy as np
        import pandas as pd
        from kvelo.py import statistics as st
        from support.odd_values import plus_changes
        times = list(pd.date_range("2024-01-01", periods=5, freq="D"))
        obs, mod = [1.0, 2.0, 3.0, 4.0, 5.0], [1.5, 2.0, 3.0, 4.0, 4.0]
        for fn in (st.compute_regional_statistics,
                   st.compute_regional_statistics_from_collocated_dict):
            answers = []
            for values in (list, np.array):
                data = {"A": {"time": times, "O3_obs": values(obs), "O3_m": values(mod)}}
                try:
                    answers.append(repr(fn(data, plus_changes("O3"), "daily")))
                except Exception as e:
                    answers.append(f"{type(e).__name__}: {e}")
            print(answers[0] == answers[1], answers[0].split(":")[0])
        """, ["True ValueError", "True ValueError"]),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_odd_objects_get_python_answers(case):
    code, expected = CASES[case]
    assert printed_lines(code) == expected
