"""The figures gallery in docs/images: the images the pages show, the ones
docs/make_gallery.py draws and the ones committed are the same set, each
fits the generator's box and all stay small; one is drawn as the gallery
draws it."""
import importlib.util
import re
import struct

import pytest

from support.docs_pages import DOCS

IMAGES = DOCS / "images"
LIMIT = 512 * 1024  # bytes, all images together
IMAGE_LINK = re.compile(r"!\[[^\]]*\]\(([^)\s]+)\)")


@pytest.fixture(scope="module")
def gallery():
    spec = importlib.util.spec_from_file_location("make_gallery", DOCS / "make_gallery.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def shown():
    """{image path relative to docs/: [pages showing it]}."""
    links = {}
    for page in sorted(DOCS.glob("*.md")):
        for target in IMAGE_LINK.findall(page.read_text(encoding="utf-8")):
            links.setdefault(target, []).append(page.name)
    return links


def png_size(path):
    head = path.read_bytes()[:24]
    assert head[:8] == b"\x89PNG\r\n\x1a\n", f"{path.name} is no PNG"
    return struct.unpack(">II", head[16:24])


def test_every_image_a_page_shows_exists():
    missing = {t: pages for t, pages in shown().items() if not (DOCS / t).is_file()}
    assert not missing


def test_every_committed_image_is_shown_and_drawn(gallery):
    committed = sorted(p.name for p in IMAGES.glob("*"))
    assert committed == sorted(gallery.GALLERY)
    links = {t.removeprefix("images/") for t in shown()}
    assert sorted(set(committed) - links) == []


def test_images_are_small_pngs(gallery):
    box = gallery.BOX  # a committed full-size figure is wider or taller
    sizes = {p.name: png_size(p) for p in IMAGES.glob("*.png")}
    too_big = {n: s for n, s in sizes.items() if s[0] > box[0] or s[1] > box[1]}
    assert not too_big
    assert sum(p.stat().st_size for p in IMAGES.iterdir()) < LIMIT


def test_a_figure_is_drawn_and_shrunk_as_the_gallery_does(gallery, tmp_path):
    import cartopy
    import matplotlib

    settings = dict(matplotlib.rcParams), dict(cartopy.config)
    # The scatter replot draws no map, so it is quick.
    assert gallery.main(["--only", "scatter_replot.png", "--out", str(tmp_path)]) == 0
    assert [p.name for p in tmp_path.iterdir()] == ["scatter_replot.png"]
    width, height = png_size(tmp_path / "scatter_replot.png")
    assert width <= gallery.BOX[0] and height <= gallery.BOX[1]
    from PIL import Image

    with Image.open(tmp_path / "scatter_replot.png") as im:
        assert im.mode == "P" and len(im.getcolors()) <= gallery.COLOURS
    # The plot style and the map data settings of the run do not leak.
    assert (dict(matplotlib.rcParams), dict(cartopy.config)) == settings
