"""Fixtures and helpers shared by the tests of the plotting module (no tests here)."""

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import pytest  # noqa: E402
from cartopy.mpl.feature_artist import FeatureArtist  # noqa: E402
from cartopy.mpl.gridliner import Gridliner  # noqa: E402


def feature_artists(ax):
    return [c for c in ax.collections if isinstance(c, FeatureArtist)]


def gridline_labels(ax):
    """(top, bottom, left, right) label switches of each gridliner of the axes."""
    return [(g.top_labels, g.bottom_labels, g.left_labels, g.right_labels)
            for g in ax.artists if isinstance(g, Gridliner)]


@pytest.fixture(autouse=True)
def offline_maps(offline_natural_earth):
    """Map data from the tiny offline set, never from a download."""


@pytest.fixture
def figures(monkeypatch):
    """Every figure closed during the test, kept for inspection; none is left open."""
    closed = []
    real_close = plt.close

    def close(fig=None):
        closed.append(plt.gcf() if fig is None else fig)
        real_close(fig)

    monkeypatch.setattr(plt, "close", close)
    yield closed
    assert plt.get_fignums() == []


@pytest.fixture
def saves(monkeypatch):
    """pyplot saves recorded as (positional, keywords) and written as empty files."""
    calls = []

    def savefig(*args, **kwargs):
        calls.append((args, kwargs))
        open(args[0], "wb").close()

    monkeypatch.setattr(plt, "savefig", savefig)
    return calls
