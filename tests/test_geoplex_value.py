"""Station value map: every candidate column as one layer on one colour scale,
a marker legend and a colour bar."""
import logging

import matplotlib

matplotlib.use("Agg")
import matplotlib.axes  # noqa: E402
import matplotlib.colors as mcolors  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402
from PIL import Image  # noqa: E402

from kvelo.py import geoplex, style  # noqa: E402
from support.figures import layers  # noqa: E402
from support.logs import own_records  # noqa: E402
from support.station_maps import VALUE, value  # noqa: E402
from support.texts import DASH, end, start  # noqa: E402

pytestmark = pytest.mark.usefixtures("offline_and_closed")

DATES = "[2024-01-01 to 2024-01-31] (daily)"


def table(**columns):
    """Four rows at three stations (S1 twice at one place) with the given value columns."""
    df = pd.DataFrame({"site_id": ["S1", "S1", "S2", "S3"], "lat": [45.0, 45.0, 48.0, 52.0],
                       "lon": [5.0, 5.0, 10.0, 15.0]})
    for name, values in columns.items():
        df[name] = np.asarray(values, dtype=float)
    return df


def legend(ax):
    leg = ax.get_legend()
    return [(t.get_text(), h.get_marker(), mcolors.to_hex(h.get_markerfacecolor()))
            for t, h in zip(leg.get_texts(), leg.legend_handles)]


def entry(label, position, candidates):
    """What the legend shows for a label drawn from the candidate at `position`."""
    marker = style.get_marker_style(label, position)[0]
    colour = plt.colormaps["tab10"].resampled(candidates)(position)
    return ("Obs" if label == "obs" else label, marker, mcolors.to_hex(colour))


def test_observation_and_experiments_in_legend_order(reads, saved, tmp_path):
    df = table(O3_obs=[30, 31, 40, 50], O3_b=[32, 33, np.nan, 55], O3_a=[28, 29, 41, 49],
               O3_base=[35, 36, 45, 52])
    reads((df, {"O3_obs": "ppb", "O3_b": "ppb", "O3_a": "ppb", "O3_base": "ppb"}))
    value(tmp_path / "m", ["png"])

    ax = saved.fig.axes[0]
    assert ax.get_title() == f"Europe: O3 [obs vs a, b] {DASH} {DATES}"
    assert ax.title.get_fontsize() == 12
    assert legend(ax) == [entry("obs", 0, 4), entry("a", 2, 4), entry("b", 1, 4),
                          entry("base", 3, 4)]
    leg = ax.get_legend()
    assert leg._loc == 2 and leg._fontsize == 8
    assert [h.get_markersize() for h in leg.legend_handles] == [7] * 4
    assert [h.get_markeredgecolor() for h in leg.legend_handles] == ["k"] * 4

    # one layer per column in candidate order, every row with a value kept
    drawn = layers(ax)
    assert [len(c.get_offsets()) for c in drawn] == [4, 3, 4, 4]
    np.testing.assert_array_equal(drawn[1].get_array(), [32, 33, 55])
    np.testing.assert_array_equal(drawn[1].get_offsets(), [[5, 45], [5, 45], [15, 52]])
    sizes = [style.get_marker_style(lab, i)[1] for i, lab in enumerate(["obs", "b", "a", "base"])]
    assert [c.get_sizes()[0] for c in drawn] == sizes
    for c in drawn:
        assert c.norm is drawn[0].norm and (c.norm.vmin, c.norm.vmax) == (30, 50)
        np.testing.assert_allclose(c.get_edgecolor(), [[0, 0, 0, 1]])
        assert list(c.get_linewidths()) == [0.8] and c.get_alpha() == 1.0
        assert c.get_zorder() == drawn[0].get_zorder()
    # later layers above earlier ones: same zorder, drawn in order
    assert [ax.get_children().index(c) for c in drawn] == sorted(
        ax.get_children().index(c) for c in drawn)


@pytest.mark.parametrize("exp, title, shown", [
    (None, f"Europe: Observation (hourly) {DASH} {DATES}", [("obs", 1)]),
    ("ctrl", f"Europe: O3 [obs vs ctrl] {DASH} {DATES}", [("obs", 0), ("ctrl", 1)]),
])
def test_the_bare_variable_column(exp, title, shown, reads, saved, tmp_path):
    reads(table(O3_obs=[1, 2, 3, 4], O3=[2, 3, 4, 5]))
    value(tmp_path / "m", ["png"], exp=exp)
    ax = saved.fig.axes[0]
    # both layers drawn; with exp None they share the one Obs entry of the later
    assert len(layers(ax)) == 2
    assert ax.get_title() == title
    assert legend(ax) == [entry(label, i, 2) for label, i in shown]


@pytest.mark.parametrize("columns, exp, given, shown", [
    ({"O3_obs": [1, 2, 3, 4]}, None, "", f"Europe: Observation (hourly) {DASH} {DATES}"),
    ({"O3_a": [1, 2, 3, 4]}, None, None, f"Europe: O3 (hourly) {DASH} {DATES}"),
    ({"O3_a": [1, 2, 3, 4]}, "run7", "", f"Europe: O3 (run7) {DASH} {DATES}"),
    ({"O3": [1, 2, 3, 4]}, "ctrl", "", f"Europe: O3 (ctrl) {DASH} {DATES}"),
    ({"O3_b": [1, 2, 3, 4], "O3_a": [1, 2, 3, 4]}, None, "",
     f"Europe: O3 [obs vs a, b] {DASH} {DATES}"),
    ({"O3_obs": [1, 2, 3, 4], "O3_base": [1, 2, 3, 4]}, None, "",
     f"Europe: O3 [obs vs ] {DASH} {DATES}"),
    ({"O3_obs": [1, 2, 3, 4]}, None, "Given title", "Given title"),
])
def test_value_map_titles(columns, exp, given, shown, reads, saved, monkeypatch, tmp_path):
    reads(table(**columns))
    if given:
        monkeypatch.setattr(geoplex, "get_readable_region_name",
                            lambda region: pytest.fail("region name looked up"))
    value(tmp_path / "m", ["png"], title=given, exp=exp)
    assert saved.fig.axes[0].get_title() == shown


def test_a_missing_candidate_keeps_the_places_of_the_others(reads, saved, monkeypatch, caplog,
                                                            tmp_path):
    reads((table(O3_obs=[1, 2, 3, 4], O3_a=[1, 2, 3, 4]), {}))
    monkeypatch.setattr(geoplex, "load_variable_columns",
                        lambda df, variable: (["O3_obs", "O3_gone", "O3_a"], "O3_obs", None))
    asked = []
    monkeypatch.setattr(geoplex, "get_marker_style",
                        lambda label, i: (asked.append((label, i)), ("o", 40))[1])
    caplog.set_level(logging.WARNING)
    value(tmp_path / "m", ["png"])
    assert [r.getMessage() for r in own_records(caplog)] == ["Column 'O3_gone' not found in data."]
    assert asked == [("obs", 0), ("a", 2)]
    hexes = [mcolors.to_hex(plt.colormaps["tab10"].resampled(3)(i)) for i in (0, 2)]
    assert [h for _, _, h in legend(saved.fig.axes[0])] == hexes


def test_nothing_plottable_closes_the_figure_and_writes_nothing(reads, monkeypatch, caplog,
                                                                tmp_path):
    df = table(O3_obs=[np.nan] * 4, O3_a=[1, 2, 3, 4])
    df["lat"] = [np.nan, 45.0, np.nan, np.nan]
    df["lon"] = [5.0, np.nan, 10.0, 15.0]
    reads(df)
    closed = []
    real_close = plt.close
    monkeypatch.setattr(plt, "close", lambda fig=None: (closed.append(fig), real_close(fig)))
    caplog.set_level(logging.DEBUG)
    value(tmp_path / "m", ["png"], debug=True)
    assert [(r.levelname, r.getMessage()) for r in own_records(caplog)] == [
        ("DEBUG", start(VALUE)),
        ("WARNING", "No valid data in 'O3_obs' after dropping NaNs."),
        ("WARNING", "No valid data in 'O3_a' after dropping NaNs."),
        ("WARNING", "No valid variables plotted. Skipping plot.")]
    assert len(closed) == 1 and list(tmp_path.iterdir()) == []


def test_one_colour_scale_from_the_first_plotted_column(reads, saved, tmp_path):
    reads(table(O3_obs=[10, 12, 15, 20], O3_a=[5, 15, 30, np.nan]))
    value(tmp_path / "m", ["png"])
    obs, exp = layers(saved.fig.axes[0])
    assert (exp.norm.vmin, exp.norm.vmax) == (10, 20)
    cmap = exp.get_cmap()
    assert cmap is not plt.colormaps["turbo"] and cmap.name.startswith("turbo")
    assert [mcolors.to_hex(c) for c in (cmap.get_under(), cmap.get_bad(), cmap.get_over())] == [
        mcolors.to_hex("grey"), "#ffffff", mcolors.to_hex("darkred")]
    assert mcolors.to_hex(plt.colormaps["turbo"].get_over()) != mcolors.to_hex("darkred")
    exp.update_scalarmappable()
    colours = [mcolors.to_hex(c) for c in exp.get_facecolor()]
    assert colours[0] == mcolors.to_hex("grey") and colours[2] == mcolors.to_hex("darkred")


def test_the_norm_is_asked_again_while_it_is_none(reads, saved, monkeypatch, tmp_path):
    reads((table(O3_obs=[1, 2, 3, 4], O3_a=[5, 6, 7, 8], O3_b=[9, 9, 9, 9]),
           {"O3_obs": "ppb", "O3_a": "ug m-3"}))
    norm = mcolors.Normalize(0, 100)
    asked = []

    def calculate_color_norm(values, variable, unit, debug=None):
        asked.append((list(values), variable, unit, debug))
        return None if len(asked) == 1 else norm
    monkeypatch.setattr(geoplex, "calculate_color_norm", calculate_color_norm)
    value(tmp_path / "m", ["png"], debug=True)
    assert asked == [([1, 2, 3, 4], "O3", "ppb", True), ([5, 6, 7, 8], "O3", "ug m-3", True)]
    assert [c.norm is norm for c in layers(saved.fig.axes[0])] == [False, True, True]


@pytest.mark.parametrize("units, label", [
    ({"O3_obs": "ppb", "O3_a": "ug m-3"}, "O3 [ug m-3]"),  # the last plotted column's unit
    (None, "O3 []"),  # a bare table: no units at all
])
def test_colour_bar_beside_the_map(units, label, reads, saved, tmp_path):
    df = table(O3_obs=[1, 2, 3, 4], O3_a=[2, 3, 4, 5], O3_b=[np.nan] * 4)
    reads(df if units is None else (df, units))
    value(tmp_path / "m", ["png"])
    fig = saved.fig
    ax, cax = fig.axes
    assert type(cax) is matplotlib.axes.Axes
    cbar = cax._colorbar
    assert cbar.mappable is layers(ax)[-1]
    assert (cbar.orientation, cbar.extend, cbar.spacing) == ("vertical", "both", "uniform")
    assert cax.get_ylabel() == label and cax.yaxis.label.get_fontsize() == 10
    assert cax.yaxis.get_tick_params()["labelsize"] == 8
    assert cbar.outline.get_linewidth() == 0.5
    fig.draw_without_rendering()
    box = ax.get_position()
    assert cax.get_position().width == pytest.approx(0.03 * box.width, rel=1e-6)
    gap = (cax.get_position().x0 - box.x1) * fig.get_figwidth()
    assert gap == pytest.approx(0.1, rel=1e-6)


@pytest.mark.parametrize("df, variable, level, line", [
    (pd.DataFrame(), None, "WARNING", "No data found in file."),
    (table(O3_obs=[1, 2, 3, 4]), None, "ERROR", "No base variable provided."),
    (table(O3_obs=[1, 2, 3, 4]), "", "ERROR", "No base variable provided."),
    (table(NO2_obs=[1, 2, 3, 4]), "O3", "WARNING",
     "No matching variable columns found for base 'O3'."),
])
def test_value_map_early_returns(df, variable, level, line, reads, monkeypatch, caplog,
                                 tmp_path):
    reads((df, {}))
    looked = []
    real = geoplex.load_variable_columns
    monkeypatch.setattr(geoplex, "load_variable_columns",
                        lambda *a: (looked.append(a), real(*a))[1])
    caplog.set_level(logging.DEBUG)
    value(tmp_path / "m", ["png"], variable=variable, debug=True)
    assert [(r.levelname, r.getMessage()) for r in own_records(caplog)] == [
        ("DEBUG", start(VALUE)), (level, line)]
    assert len(looked) == (1 if variable else 0)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("formats, dpis", [
    (["PNG", "pdf", "Png"], [300, None, 300]),
    ([], []),
])
def test_value_map_file_names_and_resolution(formats, dpis, reads, saved, monkeypatch, caplog,
                                             tmp_path):
    reads(table(O3_obs=[1, 2, 3, 4]))
    monkeypatch.setattr(geoplex, "calculate_color_norm", lambda *a, **kw: None)
    caplog.set_level(logging.DEBUG)
    value(tmp_path / "o3", formats, debug=True)
    paths = [f"{tmp_path / 'o3'}_val.{f}" for f in formats]
    assert [(c["path"], c["kw"]) for c in saved.calls] == [
        (p, {"dpi": d, "bbox_inches": "tight"}) for p, d in zip(paths, dpis)]
    assert [r.getMessage() for r in own_records(caplog)] == (
        [start(VALUE)] + [f"Saved: {p}" for p in paths] + [end(VALUE)])


def test_value_map_written_files(reads, tmp_path):
    reads(table(O3_obs=[30, 31, 40, 50], O3_a=[28, 29, 41, 49]))
    with matplotlib.rc_context({"savefig.dpi": 72}):
        value(tmp_path / "o3", ["png", "svg"])
    with Image.open(tmp_path / "o3_val.png") as im:
        assert round(im.info["dpi"][0]) == 300
    assert (tmp_path / "o3_val.svg").read_text().lstrip().startswith("<?xml")


def test_an_error_after_the_figure_exists_propagates_and_closes_it(reads, tmp_path):
    reads(table(O3_obs=[1, 2, 3, 4]).drop(columns="lat"))
    with pytest.raises(KeyError):
        value(tmp_path / "m", ["png"])
    assert plt.get_fignums() == []
