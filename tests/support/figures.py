"""Reading what a figure shows: its lines, bands, legend and map layers, and
recorders that stand in for saving.  The fixtures that capture figures are in
conftest.py."""
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from cartopy.mpl.feature_artist import FeatureArtist  # noqa: E402
from cartopy.mpl.gridliner import Gridliner  # noqa: E402
from matplotlib.collections import PathCollection  # noqa: E402


def drawn_on(calls, fig):
    """The calls of the `plot_calls` fixture that drew on `fig`."""
    return [c for c in calls if c[1].figure is fig]


def drawn_lines(ax):
    return [line for line in ax.get_lines() if not line.get_label().startswith("_")]


def band_bounds(collection):
    """x (date number) -> (low, high) of a fill_between band."""
    out = {}
    for x, y in collection.get_paths()[0].vertices:
        low, high = out.get(x, (y, y))
        out[x] = (min(low, y), max(high, y))
    return out


def legend_texts(ax):
    return [t.get_text() for t in ax.get_legend().get_texts()]


def feature_artists(ax):
    return [c for c in ax.collections if isinstance(c, FeatureArtist)]


def gridline_labels(ax):
    """(top, bottom, left, right) label switches of each gridliner of the axes."""
    return [(g.top_labels, g.bottom_labels, g.left_labels, g.right_labels)
            for g in ax.artists if isinstance(g, Gridliner)]


def layers(ax):
    """The scatter layers (the map's own features are collections too)."""
    return [c for c in ax.collections if isinstance(c, PathCollection)]


class Saved:
    """Each pyplot savefig call: the path, its keywords and the figure it saved."""

    def __init__(self, monkeypatch, write=False):
        self.calls = []
        real = plt.savefig

        def savefig(path, **kw):
            self.calls.append({"path": path, "kw": kw, "fig": plt.gcf()})
            if write:
                real(path, **kw)

        monkeypatch.setattr(plt, "savefig", savefig)

    @property
    def fig(self):
        return self.calls[0]["fig"]

