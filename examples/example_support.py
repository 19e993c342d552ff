"""What the example scripts share: their command line, the advice they print
when cartopy cannot get its map data, and the list of the files they wrote."""

import argparse
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

# The same words in every example that draws maps.
NATURAL_EARTH_ADVICE = (
    "put a local copy of the Natural Earth shapefiles under "
    "DIR/shapefiles/natural_earth/{physical,cultural}/ and pass --natural-earth DIR "
    '(it becomes cartopy.config["pre_existing_data_dir"]).')


def command_line(doc, argv=None, maps=True):
    """Parses OUTPUT_DIR, --formats and (for map examples) --natural-earth DIR;
    creates the output folder and points cartopy at a given local map copy.
    Returns the arguments, the output folder and the start time."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("output_dir", nargs="?", default=str(HERE / "out"))
    parser.add_argument("--formats", nargs="+", default=["png"])
    if maps:
        parser.add_argument("--natural-earth", metavar="DIR",
                            help="folder holding shapefiles/natural_earth/... for offline maps")
    args = parser.parse_args(argv)

    out = Path(args.output_dir).resolve()
    out.mkdir(parents=True, exist_ok=True)
    begun = time.time()
    if maps and args.natural_earth:
        import cartopy

        cartopy.config["pre_existing_data_dir"] = Path(args.natural_earth).resolve()
    return args, out, begun


def offline_line(what, reason):
    """The one line an example prints when its maps cannot get their data."""
    return (f"{what} skipped: cartopy could not get its Natural Earth data ({reason}); "
            + NATURAL_EARTH_ADVICE)


def list_written(out, begun, took=None):
    """Prints the files written since `begun`, with the run time when given."""
    written = sorted(p.name for p in out.iterdir() if p.stat().st_mtime >= begun - 1)
    timing = "" if took is None else f" in {took:.1f} s"
    print(f"{len(written)} files written to {out}{timing}:")
    for name in written:
        print(f"  {name}")
