"""A small offline Natural Earth set: coastlines and land borders written as
cartopy's shapefiles, at the three scales it picks from a map's extent, so
that maps draw without downloading anything."""
from pathlib import Path

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

LAYERS = (("physical", "coastline", "Coastline"),
          ("cultural", "admin_0_boundary_lines_land", "International boundary"))


def _write_lines(path_without_ext, lines, featurecla):
    import shapefile  # pyshp, which cartopy installs

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


def write_natural_earth(root, coastlines=COASTLINES, borders=BORDERS):
    """Writes root/shapefiles/natural_earth/{physical,cultural}/ (10m, 50m and
    110m alike) and returns root."""
    root = Path(root)
    for (category, name, featurecla), lines in zip(LAYERS, (coastlines, borders)):
        folder = root / "shapefiles" / "natural_earth" / category
        folder.mkdir(parents=True, exist_ok=True)
        for scale in ("10m", "50m", "110m"):
            _write_lines(folder / f"ne_{scale}_{name}", lines, featurecla)
    return root
