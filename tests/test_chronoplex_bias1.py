"""First bias variant: observation minus model, regional mean with a constant
band, station figures named by identifier."""

import functools
import logging
import math

import matplotlib

matplotlib.use("Agg")
import numpy as np  # noqa: E402
import pytest  # noqa: E402

from kvelo.py import chronoplex  # noqa: E402
from support.bias import call  # noqa: E402
from support.figures import drawn_lines, drawn_on, legend_texts  # noqa: E402
from support.logs import own_messages  # noqa: E402
from support.stations import T, station  # noqa: E402
from support.texts import NO_VALID_BIAS_DATA, short_end, start  # noqa: E402

NAME = "plot_station_timeseries_bias1"
START = start(NAME)
END = short_end(NAME)


run = functools.partial(call, chronoplex.plot_station_timeseries_bias1)


def lines_and_bands(calls, fig):
    """(label, x, y, band label, low, high) of every experiment drawn on `fig`."""
    mine = drawn_on(calls, fig)
    plots, bands = mine[0::2], mine[1::2]
    assert [p[0] for p in plots] == ["plot"] * len(plots)
    assert [b[0] for b in bands] == ["band"] * len(bands)
    return [(p[4]["label"], p[2], p[3], b[5]["label"], b[3], b[4]) for p, b in zip(plots, bands)]


def test_regional_mean_and_constant_band(tmp_path, figures, plot_calls, caplog, quick_save):
    # Station A: biases 1, 3 at t1, t2; station B: 5, 7 at t2, t3 (observation above model).
    caplog.set_level(logging.DEBUG)
    data = {"B": station("B", T[1:3], [5, 7], name="Beta", ctrl=[0, 0]),
            "A": station("A", T[0:2], [11, 13], name="Alpha", ctrl=[10, 10])}
    config = {"plot_region": "EU", "start_date": "2024-01-01", "end_date": "2024-01-05",
              "experiments": "ctrl", "exp_labels": "Control"}
    assert run(data, tmp_path, config, formats=["png", "pdf"], debug=True) is None

    regional = figures[0]
    ((label, x, y, band_label, low, high),) = lines_and_bands(plot_calls, regional)
    # Labels are the whole key whatever the label settings say.
    assert (label, band_label) == ("O3_ctrl", "O3_ctrl ±RMSE")
    np.testing.assert_array_equal(x, T[:3].values)
    np.testing.assert_array_equal(y, [1.0, 4.0, 7.0])
    np.testing.assert_allclose(high - y, math.sqrt(6))
    np.testing.assert_allclose(y - low, math.sqrt(6))
    ax = regional.axes[0]
    region = chronoplex.get_readable_region_name("EU")
    assert ax.get_title() == f"{region}: O3 Bias [obs - model] — [2024-01-01 to 2024-01-05] (daily)"
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("Time", "O3 Bias [ppb]")
    assert legend_texts(ax) == ["O3_ctrl", "O3_ctrl ±RMSE"]

    names = [f"run_{stem}.{fmt}" for stem in ("regional_bias", "A_bias", "B_bias")
             for fmt in ("png", "pdf")]
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(names)
    assert [m for m in own_messages(caplog) if m.startswith("Saved")] == [
        f"Saved: {tmp_path}/{n}" for n in names]
    assert own_messages(caplog)[0] == START and own_messages(caplog)[-1] == END
    alpha = figures[1].axes[0]
    assert alpha.get_title() == (
        "Alpha (A): O3 Bias [obs - model] — [2024-01-01 to 2024-01-05] (daily)")


def test_station_band_is_the_population_spread(tmp_path, figures, plot_calls):
    # Observation 1 against model 1, 1, -2: the bias 0, 0, 3 has the half-width √2.
    data = {"S1": station("S1", T[:3], [1, 1, 1], name=None, ctrl=[1, 1, -2])}
    run(data, tmp_path)
    (_, _, y, _, low, high), = lines_and_bands(plot_calls, figures[1])
    np.testing.assert_array_equal(y, [0, 0, 3])
    np.testing.assert_allclose(high - y, math.sqrt(2))
    np.testing.assert_allclose(y - low, math.sqrt(2))
    # Without a site name the identifier stands in its place.
    assert figures[1].axes[0].get_title().startswith("S1 (S1): ")


def test_stations_and_experiments_that_give_nothing(tmp_path, figures, plot_calls, caplog,
                                                    monkeypatch):
    caplog.set_level(logging.INFO)
    axis_calls = []
    monkeypatch.setattr(chronoplex, "apply_time_axis_format",
                        lambda ax, times, full: axis_calls.append((list(times), full)))
    data = {
        "S1": station("S1", T, [1, 1, 1, 1, 1], name="", a=[0, 0, None, None, None],
                      b=[0, None, None, None, None], c=[0, 0, 0, 0, 0]),
        "S2": station("S2", T[:3], [1, 1, 1], a=[None, 0, None]),  # nothing counts: no file
        "S3": station("S3", T[:3], None, a=[0, 0, 0]),            # no observations
        "S4": station("S4", T[:3], [], a=[0, 0, 0]),              # empty observations
    }
    run(data, tmp_path, {"force_full_year": True}, formats=["png"])
    assert len(figures) == 3  # regional, S1, S2 closed unsaved
    regional = lines_and_bands(plot_calls, figures[0])
    assert [line[0] for line in regional] == ["O3_a", "O3_c"]
    np.testing.assert_array_equal(regional[0][2], [1, 1])  # S1 alone
    # The regional axis follows the last key drawn, a station axis all its stamps.
    assert axis_calls == [(list(T), True), (list(T), True)]
    assert [line[0] for line in lines_and_bands(plot_calls, figures[1])] == ["O3_a", "O3_c"]
    # An empty site name leaves a blank before the identifier; legend in one column.
    ax = figures[1].axes[0]
    assert ax.get_title().startswith(" (S1): O3 Bias [obs - model]")
    assert ax.get_legend()._ncols == 1 and figures[0].axes[0].get_legend()._ncols == 2
    assert sorted(p.name for p in tmp_path.iterdir()) == ["run_S1_bias.png",
                                                          "run_regional_bias.png"]


@pytest.mark.filterwarnings("ignore:No artists with labels")
def test_nothing_to_draw_warns_and_writes_nothing(tmp_path, figures, caplog):
    caplog.set_level(logging.DEBUG)
    data = {"S1": station("S1", T[:3], [1, None, None], a=[0, 0, 0])}
    run(data, tmp_path, formats=["png"], debug=True)
    assert own_messages(caplog) == [START, NO_VALID_BIAS_DATA, END]
    assert figures == [] and list(tmp_path.iterdir()) == []
    run({}, tmp_path, formats=["png"])
    assert figures == [] and list(tmp_path.iterdir()) == []


def test_layout_and_texts(tmp_path, figures):
    data = {"A": station("A", T[:3], [1, 1, 1], name="Alpha", ctrl=[2, 3, 4])}
    run(data, tmp_path, unit=None, tavg=None)
    for fig, zero_alpha in zip(figures, (0.7, None)):
        ax = fig.axes[0]
        assert tuple(fig.get_size_inches()) == (12, 6)
        assert type(fig.get_layout_engine()).__name__ == "ConstrainedLayoutEngine"
        assert ax.title.get_fontsize() == 12
        assert ax.get_ylabel() == "O3 Bias [None]"
        assert ax.get_title().endswith("— [None to None] (None)")
        (zero,) = [ln for ln in ax.get_lines() if ln.get_label().startswith("_")]
        assert (zero.get_color(), zero.get_linewidth(), zero.get_linestyle(),
                zero.get_alpha()) == ("black", 1.0, "--", zero_alpha)
        (line,) = drawn_lines(ax)
        assert line.get_linewidth() == 1.5
        assert ax.collections[0].get_alpha() == 0.2
        legend = ax.get_legend()
        assert (legend._loc, legend._fontsize, legend.get_frame_on()) == (1, 9, False)
        for axis in (ax.xaxis, ax.yaxis):
            assert axis._major_tick_kw["grid_linewidth"] == 0.3
            assert axis._minor_tick_kw["grid_linestyle"] == ":"
        assert ax.get_axisbelow() is True
