"""Shared fixtures: offline map data, a clean root logger, figures captured as
the functions close or save them, and the station maps' table read."""
import logging

import numpy as np
import pytest

QUIET_LIBRARY_LOGGERS = ("matplotlib", "PIL", "fiona", "fiona.env", "rasterio", "gdal")

# A few hand-drawn lines, lon/lat in degrees: enough coast and border for a
# map of Europe or of the whole globe to show something.
COASTLINES = [
    [(-10.0, 36.0), (-9.0, 43.0), (-2.0, 47.0), (2.0, 51.0), (8.0, 54.0), (10.0, 58.0),
     (5.0, 62.0), (15.0, 69.0), (28.0, 71.0)],
    [(-6.0, 36.0), (3.0, 43.0), (8.0, 44.0), (12.0, 42.0), (16.0, 38.0), (18.0, 40.0),
     (13.0, 45.0), (20.0, 42.0), (23.0, 37.0), (27.0, 41.0), (36.0, 36.0)],
    [(-5.5, 50.0), (-3.0, 53.5), (-5.0, 58.5), (-2.0, 57.5), (1.5, 52.5), (1.0, 51.0),
     (-5.5, 50.0)],
    [(-125.0, 48.0), (-124.0, 40.0), (-117.0, 32.0), (-105.0, 20.0), (-80.0, 8.0),
     (-75.0, -15.0), (-70.0, -50.0)],
    [(-52.0, 47.0), (-70.0, 42.0), (-76.0, 35.0), (-81.0, 25.0), (-97.0, 27.0)],
    [(110.0, -20.0), (115.0, -34.0), (140.0, -38.0), (153.0, -27.0), (142.0, -11.0),
     (130.0, -12.0), (110.0, -20.0)],
]
BORDERS = [
    [(-1.8, 43.4), (3.2, 42.4)],
    [(2.5, 51.1), (6.1, 49.5), (7.6, 47.6), (6.8, 46.0), (7.5, 43.8)],
    [(8.6, 47.8), (13.0, 47.5), (17.0, 48.0)],
    [(6.1, 49.5), (6.8, 53.3)],
    [(13.0, 47.5), (14.5, 46.5), (13.7, 45.6)],
    [(-117.0, 32.5), (-106.5, 31.8), (-97.2, 25.9)],
]


def _write_lines(path_without_ext, lines, featurecla):
    import shapefile

    base = str(path_without_ext)
    # Own file objects: the writer leaves files it opened itself to the collector.
    with open(base + ".shp", "wb") as shp, open(base + ".shx", "wb") as shx, \
            open(base + ".dbf", "wb") as dbf:
        w = shapefile.Writer(shapeType=shapefile.POLYLINE, shp=shp, shx=shx, dbf=dbf)
        w.field("featurecla", "C", size=40)
        for line in lines:
            w.line([[list(p) for p in line]])
            w.record(featurecla)
        w.close()


@pytest.fixture(scope="session")
def natural_earth_dir(tmp_path_factory):
    """A tiny Natural Earth set (coastlines, land borders; 10m, 50m, 110m)."""
    root = tmp_path_factory.mktemp("cartopy_data")
    for category, name, lines, cla in [
        ("physical", "coastline", COASTLINES, "Coastline"),
        ("cultural", "admin_0_boundary_lines_land", BORDERS, "International boundary"),
    ]:
        folder = root / "shapefiles" / "natural_earth" / category
        folder.mkdir(parents=True, exist_ok=True)
        for scale in ("10m", "50m", "110m"):
            _write_lines(folder / f"ne_{scale}_{name}", lines, cla)
    return root


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
