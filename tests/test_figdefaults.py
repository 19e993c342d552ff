"""The shared plot style: twelve settings in one update, no drawing library at load."""
import textwrap

import matplotlib
import matplotlib.pyplot as plt
import pytest

from kvelo.py import figdefaults
from support.child import output

STYLE = {
    "figure.dpi": 150, "savefig.dpi": 300, "font.size": 12, "axes.titlesize": 14,
    "axes.labelsize": 12, "legend.fontsize": 10, "xtick.labelsize": 10, "ytick.labelsize": 10,
    "figure.facecolor": "white", "axes.edgecolor": "black", "axes.linewidth": 0.8,
    "legend.frameon": False,
}


@pytest.fixture
def default_rc():
    with matplotlib.rc_context():
        matplotlib.rcdefaults()
        yield


def test_one_update_with_the_twelve_settings_in_order(default_rc, monkeypatch):
    calls = []
    real_update = plt.rcParams.update

    def spy(*args, **kwargs):
        calls.append((args, kwargs))
        return real_update(*args, **kwargs)

    monkeypatch.setattr(plt.rcParams, "update", spy)
    assert figdefaults.set_kvelo_plot_style() is None
    assert len(calls) == 1
    (mapping,), kwargs = calls[0]
    assert kwargs == {}
    assert list(mapping.items()) == list(STYLE.items())
    assert [type(v) for v in mapping.values()] == [type(v) for v in STYLE.values()]


def test_settings_read_back_and_second_call_changes_nothing(default_rc):
    before = dict(plt.rcParams)
    figdefaults.set_kvelo_plot_style()
    after_first = dict(plt.rcParams)
    figdefaults.set_kvelo_plot_style()
    assert dict(plt.rcParams) == after_first
    for key, value in STYLE.items():
        assert plt.rcParams[key] == value
    changed = {k for k in after_first if after_first[k] != before[k]}
    assert changed <= set(STYLE)


def png_width(path):
    from PIL import Image
    with Image.open(path) as im:
        return im.size[0]


def test_figure_saved_without_resolution_takes_300_dpi_after_the_call(default_rc, tmp_path):
    def save(name):
        fig = plt.figure(figsize=(1, 1))
        fig.savefig(tmp_path / name)
        plt.close(fig)
        return png_width(tmp_path / name)

    assert save("before.png") == 100
    figdefaults.set_kvelo_plot_style()
    assert save("after.png") == 300


def test_loading_does_not_import_the_drawing_library():
    code = textwrap.dedent("""
        import sys
        from kvelo.py import figdefaults
        assert not any(m == "matplotlib" or m.startswith("matplotlib.") for m in sys.modules), \\
            sorted(m for m in sys.modules if m.startswith("matplotlib"))
        assert [n for n in vars(figdefaults) if not n.startswith("__")] == ["set_kvelo_plot_style"]
        import matplotlib
        matplotlib.use("Agg")
        figdefaults.set_kvelo_plot_style()
        assert "matplotlib.pyplot" in sys.modules
    """)
    output(code)
