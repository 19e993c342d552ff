"""What the four bias figure functions have in common: their signature,
errors that close the open figure, station files named by identifier, and
numbers that are the table library's to the last bit."""

import inspect
import logging

import matplotlib

matplotlib.use("Agg")
import pytest  # noqa: E402

from kvelo.py import chronoplex  # noqa: E402
from support import reference  # noqa: E402
from support.bias import call  # noqa: E402
from support.compare import assert_same_bits  # noqa: E402
from support.figures import drawn_on  # noqa: E402
from support.logs import own_messages  # noqa: E402
from support.stations import T, random_collocated, station  # noqa: E402

ALL = ["plot_station_timeseries_bias3", "plot_station_timeseries_bias1",
       "plot_station_timeseries_bias2", "plot_station_bias_collocation"]
BY_IDENTIFIER = ALL[1:]


@pytest.mark.parametrize("name, files", [
    ("plot_station_timeseries_bias3", ["p_regional_bias.png"]),
    ("plot_station_timeseries_bias1", ["p_A_bias.png", "p_regional_bias.png"]),
    ("plot_station_timeseries_bias2", ["p_A_bias.png", "p_regional_bias.png"]),
    ("plot_station_bias_collocation", ["p_A_bias.png"]),
])
def test_signature_and_positional_call(name, files, tmp_path, figures, quick_save):
    f = getattr(chronoplex, name)
    line = (f"{name}(config, data, data_file_base, data_format, model_files_dict, "
            "plot_file_base, save_plot_formats, plot_title, variable=None, unit=None, "
            "tavg=None, debug=False)")
    assert f"{name}{inspect.signature(f)}" == line and f.__doc__.startswith(line)
    assert f.__defaults__ == (None, None, None, False)
    data = {"A": station("A", T[:3], [1, 2, 3], ctrl=[2, 2, 2])}
    f({}, data, "", "csv", "", str(tmp_path / "p"), ["png"], "t", "O3")
    assert sorted(p.name for p in tmp_path.iterdir()) == files
    with pytest.raises(TypeError):
        f({}, data, "", "csv", "", str(tmp_path / "p"), ["png"])


def failing_style(key):
    raise RuntimeError("no style")


def failing_axis(ax, times, force_full_year):
    raise RuntimeError("axis trouble")


FAILURES = {
    "style-raises": ("get_line_style", failing_style, RuntimeError),
    "style-with-label": ("get_line_style", lambda key: {"color": "red", "label": "x"}, TypeError),
    "axis-raises": ("apply_time_axis_format", failing_axis, RuntimeError),
}


# The station bias with RMSE bands draws in the library's own colours, without line styles.
@pytest.mark.parametrize("name, failure", [
    (name, failure) for name in ALL for failure in FAILURES
    if not (name == "plot_station_bias_collocation" and failure.startswith("style"))])
def test_errors_close_the_open_figure_and_propagate(name, failure, tmp_path, figures, caplog,
                                                    monkeypatch):
    attr, replacement, error = FAILURES[failure]
    caplog.set_level(logging.DEBUG)
    monkeypatch.setattr(chronoplex, attr, replacement)
    data = {"A": station("A", T[:3], [1, 2, 3], ctrl=[2, 2, 2])}
    with pytest.raises(error):
        call(getattr(chronoplex, name), data, tmp_path, formats=["png"], debug=True)
    assert len(figures) == 1 and list(tmp_path.iterdir()) == []
    assert not [m for m in own_messages(caplog) if m.startswith("End:")]


@pytest.mark.parametrize("name", BY_IDENTIFIER)
def test_identifiers_in_file_names(name, tmp_path, figures, quick_save, caplog):
    # "a/b" writes as a_b, which the station a_b also claims: the later one adds its id.
    data = {"a/b": station("a/b", T[:3], [1, 2, 3], name="Same", ctrl=[2, 2, 2]),
            "a_b": station("a_b", T[:3], [1, 2, 3], name="Same", ctrl=[2, 2, 2])}
    call(getattr(chronoplex, name), data, tmp_path, formats=["png"])
    names = {p.name for p in tmp_path.iterdir()} - {"run_regional_bias.png"}
    assert names == {"run_a_b_bias.png", "run_a_b_a_b_bias.png"}
    assert [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING] == [
        "Stations a/b and a_b share the file name 'a_b'; figures of a_b are named 'a_b_a_b'."]
    assert "Same (a/b): " in figures[-2].axes[0].get_title()


@pytest.mark.parametrize("name, files", [
    (name, ["run_regional_bias.png", "run_regional_regional_bias.png"]) for name in ALL[:3]
] + [("plot_station_bias_collocation", ["run_regional_bias.png"])])  # no regional figure there
def test_a_station_named_like_the_regional_figure_leaves_it_alone(name, files, tmp_path, figures,
                                                                  quick_save, caplog):
    data = {"regional": station("regional", T[:3], [1, 2, 3], name="regional", ctrl=[2, 2, 2])}
    call(getattr(chronoplex, name), data, tmp_path, {"show_stations": True}, formats=["png"])
    assert sorted(p.name for p in tmp_path.iterdir()) == files
    warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert warnings == ([] if len(files) == 1 else [
        "Station regional and the regional figure share the file name 'regional'; "
        "figures of regional are named 'regional_regional'."])


# Each figure function beside the plain formulation of its numbers, and the
# stations (count, how their values are held) it is checked on; 130 stations
# split the pairwise sums.
FORMULATIONS = {
    "plot_station_timeseries_bias1": (reference.bias1_figures, [
        (1, "float64"), (9, "float64"), (9, "float32"), (9, "int"), (9, "mixed")]),
    "plot_station_timeseries_bias2": (reference.bias2_figures, [
        (1, "float64"), (9, "float64"), (130, "float64"), (9, "float32"), (9, "int"),
        (9, "mixed")]),
    "plot_station_bias_collocation": (reference.collocation_bias_figures, [
        (9, "float64"), (9, "float32"), (9, "int"), (9, "mixed")]),
}


@pytest.mark.filterwarnings("ignore:invalid value encountered")
@pytest.mark.parametrize("name, n_stations, kind", [
    (name, n, kind) for name, (_, cases) in FORMULATIONS.items() for n, kind in cases])
def test_numbers_equal_the_library_formulation_bit_for_bit(name, n_stations, kind, tmp_path,
                                                            figures, plot_calls):
    data = random_collocated(n_stations, n_stations, kind)
    call(getattr(chronoplex, name), data, tmp_path)
    expected = FORMULATIONS[name][0](data)
    assert len(figures) == len(expected)
    for fig, want in zip(figures, expected):
        got = [(c[0], *c[2:-1]) for c in drawn_on(plot_calls, fig)]
        assert len(got) == len(want)
        for g, w in zip(got, want):
            assert (g[0], len(g)) == (w[0], len(w))
            for a, b in zip(g[1:], w[1:]):
                assert_same_bits(a, b)
