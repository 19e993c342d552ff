"""Second bias variant: experiments of the first station, regional mean with
the station spread as band, bandless station figures named by identifier."""

import functools
import logging

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

NAME = "plot_station_timeseries_bias2"
START = start(NAME)
END = short_end(NAME)


run = functools.partial(call, chronoplex.plot_station_timeseries_bias2)


def test_regional_mean_with_station_spread(tmp_path, figures, plot_calls, caplog, quick_save):
    # Station A: biases 1, 3 at t1, t2; station B: 5, 7 at t2, t3 (observation above model).
    caplog.set_level(logging.DEBUG)
    data = {"B": station("B", T[1:3], [5, 7], name="Beta", ctrl=[0, 0]),
            "A": station("A", T[0:2], [11, 13], name="Alpha", ctrl=[10, 10])}
    config = {"plot_region": "EU", "start_date": "2024-01-01", "end_date": "2024-01-05"}
    assert run(data, tmp_path, config, formats=["png", "pdf"], debug=True) is None

    (_, _, x, y, kw), (_, _, bx, low, high, bkw) = drawn_on(plot_calls, figures[0])
    np.testing.assert_array_equal(x, T[:3].values)
    np.testing.assert_array_equal(y, [1.0, 4.0, 7.0])
    np.testing.assert_array_equal(low, [1.0, 3.0, 7.0])
    np.testing.assert_array_equal(high, [1.0, 5.0, 7.0])
    assert (kw["label"], kw["linewidth"]) == ("O3_ctrl (bias)", 1.5)
    assert (bkw["label"], bkw["alpha"], bkw["color"]) == ("O3_ctrl ±RMSE", 0.2, kw["color"])
    ax = figures[0].axes[0]
    region = chronoplex.get_readable_region_name("EU")
    assert ax.get_title() == f"{region}: O3 Bias [obs - model] — [2024-01-01 to 2024-01-05] (daily)"
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("Time", "Bias [ppb]")
    assert legend_texts(ax) == ["O3_ctrl (bias)", "O3_ctrl ±RMSE"]

    # Station figures: lines without bands, no "[obs - model]" in the title.
    alpha = figures[1].axes[0]
    assert [c[0] for c in drawn_on(plot_calls, figures[1])] == ["plot"]
    assert len(alpha.collections) == 0 and legend_texts(alpha) == ["O3_ctrl (bias)"]
    assert alpha.get_title() == "Alpha (A): O3 Bias — [2024-01-01 to 2024-01-05] (daily)"

    names = [f"run_{stem}.{fmt}" for stem in ("regional_bias", "A_bias", "B_bias")
             for fmt in ("png", "pdf")]
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(names)
    assert [m for m in own_messages(caplog) if m.startswith("Saved")] == [
        f"Saved: {tmp_path}/{n}" for n in names]
    assert own_messages(caplog)[:2] == [START, "Total stations with bias: 2 / 2"]
    assert own_messages(caplog)[-1] == END


def test_counting_skipping_and_keys_of_the_first_station(tmp_path, figures, plot_calls, caplog,
                                                        monkeypatch):
    caplog.set_level(logging.DEBUG)
    axis_calls = []
    monkeypatch.setattr(chronoplex, "apply_time_axis_format",
                        lambda ax, times, full: axis_calls.append(list(times)))
    data = {
        # The first station names the experiments: "late" only at S2 is ignored.
        "S1": station("S1", T[:3], [1, 1, None], name=None, a=[0, 0, 0], b=[0, None, 0],
                      c=[None, None, None]),
        "S2": station("S2", T[:3], [1, 1, 1], a=[0, None, None], b=[None] * 3, c=[None] * 3,
                      late=[0, 0, 0]),
    }
    run(data, tmp_path, formats=["png"], debug=True)
    assert own_messages(caplog)[1:8] == [
        "[S1] Skipping bias for O3_b: insufficient overlap (1 valid points).",
        "[S1] Skipping bias for O3_c: insufficient overlap (0 valid points).",
        "[S2] Skipping bias for O3_a: insufficient overlap (1 valid points).",
        "[S2] Skipping bias for O3_b: insufficient overlap (0 valid points).",
        "[S2] Skipping bias for O3_c: insufficient overlap (0 valid points).",
        "[S2] No valid bias entries → excluded from plotting.",
        "Total stations with bias: 1 / 2",
    ]
    assert [c[4]["label"] for c in plot_calls if c[0] == "plot"] == ["O3_a (bias)", "O3_a (bias)"]
    # A station axis spans all its stamps, not only the drawn pairs.
    assert axis_calls == [list(T[:2]), list(T[:3])]
    assert figures[1].axes[0].get_title().startswith("S1 (S1): ")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["run_S1_bias.png",
                                                          "run_regional_bias.png"]


@pytest.mark.parametrize("data, messages", [
    ({}, [START, "No stations in the data; skipping bias plotting.", END]),
    ({"S1": station("S1", T[:3], [1, None, None], a=[0, 0, 0])},
     [START, "[S1] Skipping bias for O3_a: insufficient overlap (1 valid points).",
      "[S1] No valid bias entries → excluded from plotting.", "Total stations with bias: 0 / 1",
      END]),
    ({"S1": station("S1", T[:3], [1, 1, 1]), "S2": station("S2", T[:3], [1, 1, 1], a=[0, 0, 0])},
     [START, "[S1] No valid bias entries → excluded from plotting.",
      "[S2] No valid bias entries → excluded from plotting.",
      "Total stations with bias: 0 / 2", END]),
], ids=["empty", "no-pairs", "first-without-experiments"])
def test_nothing_to_draw(data, messages, tmp_path, figures, caplog):
    caplog.set_level(logging.DEBUG)
    run(data, tmp_path, formats=["png"], debug=True)
    assert own_messages(caplog) == messages
    assert figures == [] and list(tmp_path.iterdir()) == []


def test_length_mismatch_fails_before_any_figure(tmp_path, figures):
    data = {"S1": station("S1", T[:3], [1, 1, 1], a=[0, 0, 0]),
            "S2": station("S2", T[:3], [1, 1, 1])}  # O3_a missing: an empty list
    with pytest.raises(ValueError):
        run(data, tmp_path, formats=["png"])
    assert figures == [] and list(tmp_path.iterdir()) == []


def test_layout_and_texts(tmp_path, figures):
    data = {"A": station("A", T[:3], [1, 1, 1], name="", ctrl=[2, 3, 4])}
    run(data, tmp_path, unit=None, tavg=None)
    for fig in figures:
        ax = fig.axes[0]
        assert tuple(fig.get_size_inches()) == (12, 6)
        assert type(fig.get_layout_engine()).__name__ == "ConstrainedLayoutEngine"
        assert ax.title.get_fontsize() == 12 and ax.get_ylabel() == "Bias [None]"
        assert ax.get_title().endswith("— [None to None] (None)")
        (zero,) = [ln for ln in ax.get_lines() if ln.get_label().startswith("_")]
        assert (zero.get_color(), zero.get_linewidth(), zero.get_linestyle()) == (
            "black", 0.8, "--")
        legend = ax.get_legend()
        assert (legend._loc, legend._fontsize, legend.get_frame_on()) == (1, 9, False)
        for axis in (ax.xaxis, ax.yaxis):
            for kw in (axis._major_tick_kw, axis._minor_tick_kw):
                assert (kw["gridOn"], kw["grid_linestyle"], kw["grid_alpha"]) == (True, "--", 0.3)
    assert figures[1].axes[0].get_title().startswith(" (A): O3 Bias — ")
