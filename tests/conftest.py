"""Shared fixtures: offline map data, a clean root logger, figures captured as
the functions close or save them, and the station maps' table read."""
import logging

import numpy as np
import pytest

from support.natural_earth import write_natural_earth

QUIET_LIBRARY_LOGGERS = ("matplotlib", "PIL", "fiona", "fiona.env", "rasterio", "gdal")


@pytest.fixture(scope="session")
def natural_earth_dir(tmp_path_factory):
    """A tiny Natural Earth set (coastlines, land borders; 10m, 50m, 110m)."""
    return write_natural_earth(tmp_path_factory.mktemp("cartopy_data"))


@pytest.fixture
def offline_natural_earth(natural_earth_dir, monkeypatch, tmp_path):
    """Points cartopy at the tiny set; any download attempt fails the test."""
    import cartopy
    from cartopy.io import Downloader, shapereader

    monkeypatch.setitem(cartopy.config, "pre_existing_data_dir", natural_earth_dir)
    monkeypatch.setitem(cartopy.config, "data_dir", tmp_path / "cartopy_downloads")

    def no_download(self, target_path, format_dict):
        raise RuntimeError(f"map data download attempted in a test: {target_path}")

    for downloader in (Downloader, shapereader.NEShpDownloader):
        monkeypatch.setattr(downloader, "acquire_resource", no_download)
    return natural_earth_dir


@pytest.fixture
def no_map_data(monkeypatch, tmp_path):
    """Cartopy finds no Natural Earth files and every download fails as it
    does without a network; geometries read by earlier maps are forgotten."""
    import urllib.error

    import cartopy
    import cartopy.feature
    from cartopy.io import Downloader, shapereader

    monkeypatch.setattr(cartopy.feature, "_NATURAL_EARTH_GEOM_CACHE", {})
    monkeypatch.setitem(cartopy.config, "pre_existing_data_dir", tmp_path / "none")
    monkeypatch.setitem(cartopy.config, "data_dir", tmp_path / "downloads")

    def no_network(self, target_path, format_dict):
        raise urllib.error.URLError("[Errno -3] Temporary failure in name resolution")

    for downloader in (Downloader, shapereader.NEShpDownloader):
        monkeypatch.setattr(downloader, "acquire_resource", no_network)


@pytest.fixture
def clean_root_logger():
    """The root logger without handlers for the test; its handlers, level and
    the quieted library levels are put back (and added handlers closed) after."""
    root = logging.getLogger()
    saved_handlers = root.handlers[:]
    saved_level = root.level
    saved_library = {n: logging.getLogger(n).level for n in QUIET_LIBRARY_LOGGERS}
    existing = list(logging._handlerList)  # weak references, held so ids stay unique
    for h in saved_handlers:
        root.removeHandler(h)
    yield root
    # Handlers made during the test (also those a second set-up detached
    # without closing) would otherwise keep their files open.
    known = {id(ref) for ref in existing}
    made = [ref() for ref in logging._handlerList[:] if id(ref) not in known]
    for h in root.handlers[:]:
        root.removeHandler(h)
    for h in made:
        if h is not None:
            h.close()
    for h in saved_handlers:
        root.addHandler(h)
    root.setLevel(saved_level)
    for name, level in saved_library.items():
        logging.getLogger(name).setLevel(level)


# ---- figures ----------------------------------------------------------------------------

@pytest.fixture
def figures(monkeypatch):
    """Every figure closed through pyplot, in order, kept for inspection; none
    may stay open."""
    import matplotlib.pyplot as plt

    closed = []
    real_close = plt.close

    def close(fig=None):
        closed.append(plt.gcf() if fig is None else fig)
        real_close(fig)

    monkeypatch.setattr(plt, "close", close)
    yield closed
    assert plt.get_fignums() == []


@pytest.fixture
def quick_save(monkeypatch):
    """Figure.savefig writes an empty file in place of rendering, where only
    names matter."""
    import matplotlib.figure

    monkeypatch.setattr(matplotlib.figure.Figure, "savefig",
                        lambda self, fname, *args, **kw: open(fname, "wb").close())


@pytest.fixture
def saves(monkeypatch):
    """pyplot saves recorded as (positional, keywords) and written as empty files."""
    import matplotlib.pyplot as plt

    calls = []

    def savefig(*args, **kwargs):
        calls.append((args, kwargs))
        open(args[0], "wb").close()

    monkeypatch.setattr(plt, "savefig", savefig)
    return calls


@pytest.fixture
def plot_calls(monkeypatch):
    """Every line and band drawn, in order: ("plot", ax, x, y, kw) and
    ("band", ax, x, low, high, kw), the data as numpy arrays."""
    import matplotlib.axes

    out = []
    real_plot, real_fill = matplotlib.axes.Axes.plot, matplotlib.axes.Axes.fill_between

    def plot(ax, x, y, **kw):
        out.append(("plot", ax, np.asarray(x), np.asarray(y), kw))
        return real_plot(ax, x, y, **kw)

    def fill_between(ax, x, low, high, **kw):
        out.append(("band", ax, np.asarray(x), np.asarray(low), np.asarray(high), kw))
        return real_fill(ax, x, low, high, **kw)

    monkeypatch.setattr(matplotlib.axes.Axes, "plot", plot)
    monkeypatch.setattr(matplotlib.axes.Axes, "fill_between", fill_between)
    return out


@pytest.fixture
def offline_and_closed(offline_natural_earth):
    """No test downloads map data or leaves a figure open."""
    import matplotlib.pyplot as plt

    yield
    leftover = plt.get_fignums()
    plt.close("all")
    assert leftover == []


# ---- station maps -------------------------------------------------------------------------

@pytest.fixture
def saved(monkeypatch):
    """Each pyplot savefig call: its path, keywords and figure (support.figures.Saved)."""
    from support.figures import Saved

    return Saved(monkeypatch)


@pytest.fixture
def reads(monkeypatch):
    """Replaces read_data on the station map module: reads(result) makes the
    next call return result (or raise it, for an exception); the calls are
    recorded."""
    from kvelo.py import geoplex
    from support.stand_ins import stand_in

    calls = []

    def install(result):
        monkeypatch.setattr(geoplex, "read_data", stand_in(result, calls))
        return calls
    return install
