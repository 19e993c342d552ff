"""Odd settings and texts in the station time-series figures: the group size of
the plain figures answered as Python's own arithmetic answers it, names that are
not valid UTF-8 kept as Python text, keyword clashes reported as Python reports
them."""
import json
import os

import matplotlib.figure
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest

from kvelo.py import chronoplex
from support.child import printed_lines
from support.plain_series import Recorder, error_name, plain_run, read_table
from support.texts import SURROGATE

REGIONAL = "out/o3_regional_mean.png"


def groups(n, gs):
    return [f"out/o3_group_{i}of{n}gs{gs}.png" for i in range(1, n + 1)]


# Group size -> what Python's reading of the figures does with it: the palette
# reads it with range(), the station count is compared with it, the groups
# divide by it and slice with it, and a colour position is taken modulo the
# palette's length.
GROUP_SIZES = [
    pytest.param(0, "grouped", "ZeroDivisionError", [REGIONAL], id="zero-grouped"),
    pytest.param(False, "subplots", "ZeroDivisionError", [REGIONAL], id="false-subplots"),
    pytest.param(-1, "grouped", None, [REGIONAL], id="negative-no-group"),
    pytest.param(-2**70, "grouped", None, [REGIONAL], id="huge-negative"),
    pytest.param(-2**70, "subplots", "ZeroDivisionError", [REGIONAL], id="huge-negative-subplots"),
    pytest.param(2.5, "grouped", "TypeError", [], id="float"),
    pytest.param("15", "grouped", "TypeError", [], id="text"),
    pytest.param(True, "grouped", None, [REGIONAL] + groups(3, "True"), id="true"),
    pytest.param(np.int64(2), "grouped", None, [REGIONAL] + groups(2, 2), id="numpy-int"),
    pytest.param(np.int8(5), "subplots", None, [REGIONAL, "out/o3_all.png"], id="numpy-int8"),
]


@pytest.mark.parametrize("group_size, mode, error, saved", GROUP_SIZES)
def test_group_size_answers_as_python_arithmetic(monkeypatch, group_size, mode, error, saved):
    saves = Recorder()
    monkeypatch.setattr(matplotlib.figure.Figure, "savefig", saves)
    monkeypatch.setattr(chronoplex, "read_data", read_table)
    config = {"show_stations": True, "plot_mode": mode, "station_plot_group_size": group_size}
    assert error_name(lambda: plain_run(config)) == error
    assert saves.paths == saved
    assert plt.get_fignums() == []


# These took the process down (a setting without an integer, __index__ failing
# on its second call) or never returned (a palette of 2**70 colours).
CHILD_CASES = [
    pytest.param("None", False, None, [REGIONAL], id="none-without-stations"),
    pytest.param("None", True, "TypeError", [REGIONAL], id="none-with-stations"),
    pytest.param("IndexOnce()", True, "TypeError", [REGIONAL], id="index-answers-once"),
    pytest.param("2**70", True, None, [REGIONAL, "out/o3_all.png"], id="huge"),
]


@pytest.mark.parametrize("group_size, show_stations, error, saved", CHILD_CASES)
def test_group_size_that_crashed_or_hung(group_size, show_stations, error, saved):
    got = json.loads(printed_lines(f"""
        import json
        import matplotlib.axes
        import matplotlib.figure
        import seaborn as sns
        from kvelo.py import chronoplex
        from support.odd_values import IndexOnce
        from support.plain_series import Recorder, error_name, plain_run, read_table
        saves = Recorder()
        matplotlib.figure.Figure.savefig = saves
        chronoplex.read_data = read_table
        colours = []
        real_plot = matplotlib.axes.Axes.plot
        def plot(ax, *args, **kw):
            if "color" in kw and kw.get("alpha") == 0.7:
                colours.append(list(kw["color"]))
            return real_plot(ax, *args, **kw)
        matplotlib.axes.Axes.plot = plot
        config = {{"show_stations": {show_stations}, "station_plot_group_size": {group_size}}}
        error = error_name(lambda: plain_run(config))
        print(json.dumps({{"error": error, "saved": saves.paths, "colours": colours,
                          "palette": [list(c) for c in sns.color_palette("colorblind", 3)]}}))
        """, timeout=120)[-1])
    assert (got["error"], got["saved"]) == (error, saved)
    if "out/o3_all.png" in saved:
        # One panel of all stations, coloured as the first palette colours.
        assert got["colours"] == got["palette"]


# ---- collocated figures: texts that are not valid UTF-8 --------------------------

def collocated(site_name="Alpha", variable="O3"):
    times = list(pd.date_range("2024-01-01", periods=4, freq="D"))

    def station(sid, name, shift):
        return {"site_id": sid, "site_name": name, "lat": 1.0, "lon": 2.0, "elevation_m": 3.0,
                "time": times, "n_valid": np.nan,
                f"{variable}_obs": [np.float64(v + shift) for v in (1, 2, 3, 4)],
                f"{variable}_exp1": [np.float64(v + shift) for v in (2, 3, 4, 5)]}

    return {"A": station("A", site_name, 0.0), "B": station("B", "Beta", 1.0)}


def collocated_run(data, plot_file_base, config=None, variable="O3", unit="ppb", tavg="daily"):
    chronoplex.plot_station_timeseries_collocation(
        config={"start_date": "2024-01-01", "end_date": "2024-01-04", **(config or {})},
        data=data, data_file_base=plot_file_base, data_format="csv", model_files_dict="",
        plot_file_base=plot_file_base, save_plot_formats=["png"], plot_title="Ozone",
        variable=variable, unit=unit, tavg=tavg)


def test_collocated_files_written_under_a_surrogate_escaped_directory(tmp_path):
    folder = os.path.join(str(tmp_path), "x" + SURROGATE)
    os.mkdir(folder)
    collocated_run(collocated(), os.path.join(folder, "o3"))
    assert sorted(os.listdir(folder)) == [
        "o3_Alpha_logFalse_minmax.png", "o3_Beta_logFalse_minmax.png",
        "o3_regional_mean_minmax.png"]
    # On disk under the byte the name stands for.
    assert os.listdir(os.fsencode(str(tmp_path))) == [b"x\xe9"]
    assert plt.get_fignums() == []


@pytest.fixture
def shown(monkeypatch):
    """(path, title, y label) of every figure saved; nothing is drawn, since the
    drawing library's text engine takes no lone surrogate.  The sibling calls
    are stood in for by ones that take any text, as this module's own handling
    is what is checked here."""
    seen = []

    def savefig(path, **kw):
        ax = plt.gcf().axes[0]
        seen.append((path, ax.get_title(), ax.get_ylabel()))

    monkeypatch.setattr(plt, "savefig", savefig)
    monkeypatch.setattr(chronoplex, "get_readable_region_name", lambda region: f"<{region}>")
    monkeypatch.setattr(chronoplex, "get_line_style", lambda key: {"color": "black"})
    return seen


@pytest.mark.parametrize("where", ["site_name", "plot_region", "variable", "unit", "tavg",
                                   "start_date"])
def test_collocated_titles_and_names_keep_surrogates(shown, where):
    t = {"site_name": "Alpha", "plot_region": "Region", "variable": "O3", "unit": "ppb",
         "tavg": "daily", "start_date": "2024-01-01"}
    t[where] = "a" + SURROGATE
    collocated_run(collocated(t["site_name"], t["variable"]), "out/o3",
                   config={"log_y_axis": False, "plot_region": t["plot_region"],
                           "start_date": t["start_date"]},
                   variable=t["variable"], unit=t["unit"], tavg=t["tavg"])
    region = f"<{t['plot_region']}>"
    rest = f"{t['variable']} \u2014 {t['start_date']} to 2024-01-04 ({t['tavg']})"
    ylabel = f"{t['variable']} [{t['unit']}]"
    assert shown == [
        ("out/o3_regional_mean_minmax.png", f"{region}: {rest}", ylabel),
        (f"out/o3_{t['site_name']}_logFalse_minmax.png", f"{region} ({t['site_name']}): {rest}",
         ylabel),
        ("out/o3_Beta_logFalse_minmax.png", f"{region} (Beta): {rest}", ylabel)]
    assert plt.get_fignums() == []


@pytest.mark.parametrize("keyword, figure", [("label", 0), ("marker", 0), ("zorder", 0),
                                            ("label", 1)])
def test_line_style_clash_is_the_interpreters_error(monkeypatch, keyword, figure):
    """A style mapping that holds a keyword the call gives itself: Python's
    TypeError for `ax.plot(x, y, **own, **style)`, naming the keyword."""
    fig, ax = plt.subplots()
    with pytest.raises(TypeError) as python:
        ax.plot([1], [1], **{keyword: 1}, **{keyword: 2})
    plt.close(fig)
    saved = []
    monkeypatch.setattr(plt, "savefig", lambda path, **kw: saved.append(path))
    # The station figures give only `label`: the clash there comes after the
    # regional figure, drawn with a style that clashes with nothing.
    calls = []

    def style(key):
        calls.append(key)
        clash = figure == 0 or len(calls) > 2
        return {keyword: 2, "color": "black"} if clash else {"color": "black"}

    monkeypatch.setattr(chronoplex, "get_line_style", style)
    with pytest.raises(TypeError) as ours:
        collocated_run(collocated(), "out/o3", config={"log_y_axis": False})
    assert str(ours.value) == str(python.value)
    assert saved == ([] if figure == 0 else ["out/o3_regional_mean_minmax.png"])
    assert plt.get_fignums() == []


def test_duplicate_value_column_named_with_a_surrogate(monkeypatch):
    name = "O3_obs" + SURROGATE
    table = pd.DataFrame([["A", pd.Timestamp("2024-01-01"), 1.0, 2.0]],
                         columns=["site_id", "time", name, name])
    monkeypatch.setattr(chronoplex, "read_data", lambda *a, **k: (table, {}))
    with pytest.raises(ValueError) as err:
        chronoplex.process_time_series_plot_from_file(
            data_file_base="in.csv", data_format="csv", model_files_dict="",
            plot_file_base="out/o3", save_plot_formats=["png"], config={}, plot_title="Ozone",
            variable="O3", use_collocation=True)
    assert str(err.value) == f"The column label '{name}' is not unique."
