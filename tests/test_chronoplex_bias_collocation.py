"""Station bias with RMSE bands: one figure per station, the bias of every
experiment with a constant band of its RMSE, files named by identifier."""

import functools
import logging
import math

import matplotlib

matplotlib.use("Agg")
import numpy as np  # noqa: E402
import pytest  # noqa: E402

from kvelo.py import chronoplex  # noqa: E402
from support.bias import call  # noqa: E402
from support.figures import drawn_on, legend_texts  # noqa: E402
from support.logs import own_messages  # noqa: E402
from support.stations import T, station  # noqa: E402
from support.texts import short_end, start  # noqa: E402

NAME = "plot_station_bias_collocation"
START = start(NAME)
END = short_end(NAME)


run = functools.partial(call, chronoplex.plot_station_bias_collocation)


def test_bias_lines_with_constant_rmse_bands(tmp_path, figures, plot_calls, caplog, quick_save):
    caplog.set_level(logging.DEBUG)
    data = {"S2": station("S2", T[:3], [5, 5, 5], name="Beta", ctrl=[4, 4, 4], test=[5, 5, 5]),
            "S1": station("S1", T[:4], [1, 2, 3, None], name="Alpha", ctrl=[0, 0, 4, 9],
                          test=[2, 2, 2, 2])}
    config = {"start_date": "2024-01-01", "end_date": "2024-01-05"}
    assert run(data, tmp_path, config, formats=["png", "pdf"], debug=True) is True

    ((_, _, x, y, kw), (_, _, bx, low, high, bkw),
     (_, _, x2, y2, kw2), (_, _, _, low2, high2, bkw2)) = drawn_on(plot_calls, figures[0])
    # Observation minus model where both are present: the gap at t4 is left out.
    np.testing.assert_array_equal(x, T[:3].values)
    np.testing.assert_array_equal(y, [1, 2, -1])
    rmse = math.sqrt((1 + 4 + 1) / 3)
    np.testing.assert_allclose(high - y, rmse)
    np.testing.assert_allclose(y - low, rmse)
    assert kw == {"label": "ctrl bias", "linewidth": 1.5} and bkw == {"alpha": 0.2}
    assert kw2 == {"label": "test bias", "linewidth": 1.5}
    np.testing.assert_array_equal(y2, [-1, 0, 1])
    np.testing.assert_allclose(high2 - y2, math.sqrt(2 / 3))
    # The library's colour cycle: each band in its line's colour, bands out of the legend.
    ax = figures[0].axes[0]
    lines = [ln for ln in ax.get_lines() if not ln.get_label().startswith("_")]
    cycle = matplotlib.rcParams["axes.prop_cycle"].by_key()["color"]
    assert all(matplotlib.colors.same_color(ln.get_color(), c) for ln, c in zip(lines, cycle))
    assert [ln.get_linestyle() for ln in lines] == ["-", "-"]
    for line, band in zip(lines, ax.collections):
        assert matplotlib.colors.same_color(band.get_facecolor()[0][:3], line.get_color())
    assert legend_texts(ax) == ["ctrl bias", "test bias"]
    assert ax.get_title() == (
        "Alpha (S1): O3 Bias [obs - model] — [2024-01-01 to 2024-01-05] (daily)")
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("Time", "O3 Bias [ppb]")
    (zero,) = [ln for ln in ax.get_lines() if ln.get_label().startswith("_")]
    assert (zero.get_color(), zero.get_linestyle(), zero.get_linewidth()) == ("gray", ":", 1)
    assert tuple(figures[0].get_size_inches()) == (12, 6)
    assert ax.title.get_fontsize() == 12

    names = [f"run_{sid}_bias.{fmt}" for sid in ("S1", "S2") for fmt in ("png", "pdf")]
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(names)
    assert own_messages(caplog) == [START] + [f"Saved: {tmp_path}/{n}" for n in names] + [END]


def test_two_common_times_draw_one_does_not(tmp_path, figures, plot_calls, monkeypatch):
    axis_calls = []
    monkeypatch.setattr(chronoplex, "apply_time_axis_format",
                        lambda ax, times, full: axis_calls.append((list(times), full)))
    data = {"S1": station("S1", T[:4], [1, 1, 1, None], a=[0, None, 0, 0], b=[0, None, None, 0]),
            "S2": station("S2", T[:2], [1, 1], name=None, b=[0, None], a=[None, None]),
            "S3": station("S3", T[:3], [1, 1, 1], a=[2, 2, 2], b=[2, 2, 2])}
    assert run(data, tmp_path, {"force_full_year": "yes"}, formats=["png"]) is True
    # S1 draws a (2 common times) and skips b (1); S2 draws nothing and gets no file.
    assert len(figures) == 3
    assert [c[4]["label"] for c in drawn_on(plot_calls, figures[0]) if c[0] == "plot"] == ["a bias"]
    assert drawn_on(plot_calls, figures[1]) == []
    # The time axis comes from the last experiment drawn, here the earlier one.
    assert axis_calls == [([T[0], T[2]], "yes"), (list(T[:3]), "yes")]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["run_S1_bias.png", "run_S3_bias.png"]
    assert (tmp_path / "run_S1_bias.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("data, variable", [
    ({}, "O3"),
    ({"S1": station("S1", T[:3], [1, 1, 1], a=[0, 0, 0])}, "NO2"),
    ({"S1": station("S1", T[:3], [1, 1, 1], a=[0, 0, 0])}, None),
])
def test_no_experiments_warns_and_returns_none(data, variable, tmp_path, figures, caplog):
    caplog.set_level(logging.DEBUG)
    assert run(data, tmp_path, formats=["png"], debug=True, variable=variable) is None
    assert own_messages(caplog) == [START, "No experiments found to compute bias."]
    assert figures == [] and list(tmp_path.iterdir()) == []


def test_labels_titles_and_none_texts(tmp_path, figures):
    data = {"S1": station("S1", T[:3], [1, 2, 3], name=None, O3_x=[0, 0, 0]),
            "S2": station("S2", T[:3], [1, 2, 3], name="", O3_x=[0, 0, 0])}
    run(data, tmp_path, unit=None, tavg=None)
    ax = figures[0].axes[0]
    # Every occurrence of "O3_" leaves the label.
    assert legend_texts(ax) == ["x bias"]
    assert ax.get_title() == "S1 (S1): O3 Bias [obs - model] — [None to None] (None)"
    assert ax.get_ylabel() == "O3 Bias [None]"
    assert figures[1].axes[0].get_title().startswith(" (S2): ")
    legend = ax.get_legend()
    assert (legend._loc, legend.get_frame_on()) == (1, False)
    for axis in (ax.xaxis, ax.yaxis):
        kw = axis._major_tick_kw
        assert (kw["gridOn"], kw["grid_linestyle"], kw["grid_alpha"]) == (True, "--", 0.5)
    assert ax.get_axisbelow() is True


def test_errors(tmp_path, figures, caplog):
    caplog.set_level(logging.DEBUG)
    good = station("S1", T[:3], [1, 2, 3], a=[0, 0, 0])
    # Observations that are no numbers fail before the station's figure exists.
    bad_obs = dict(good, O3_obs=["x", "y", "z"])
    with pytest.raises(ValueError):
        run({"S1": bad_obs}, tmp_path, debug=True)
    assert figures == []
    # A model list that is no numbers, or a missing output directory, fails with the
    # figure open: it is closed, and the End line is not logged.
    bad_model = dict(good, O3_a=["x", "y", "z"])
    with pytest.raises(ValueError):
        run({"S1": bad_model}, tmp_path, debug=True)
    with pytest.raises(FileNotFoundError):
        chronoplex.plot_station_bias_collocation({}, {"S1": good}, "", "", "",
                                                 str(tmp_path / "missing" / "run"), ["png"],
                                                 "", "O3")
    assert len(figures) == 2
    assert END not in own_messages(caplog)
