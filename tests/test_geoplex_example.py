"""The station map example: both maps from a generated table, and one line
of advice where cartopy cannot get its map data."""
import runpy
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402
from PIL import Image  # noqa: E402

from support.texts import NATURAL_EARTH_ADVICE  # noqa: E402

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "run_station_maps.py"


def run_example(out, *args):
    main = runpy.run_path(str(EXAMPLE), run_name="station_maps_example")["main"]
    with matplotlib.rc_context():  # the example applies the shared plot style
        assert main([str(out), *args]) == 0
    assert plt.get_fignums() == []


def test_example_draws_both_maps(offline_natural_earth, clean_root_logger, tmp_path, capsys):
    run_example(tmp_path, "--formats", "png", "pdf")
    names = sorted(p.name for p in tmp_path.iterdir())
    assert names == ["O3_stations.csv", "O3_stations.pdf", "O3_stations.png",
                     "O3_stations_val.pdf", "O3_stations_val.png", "run.log"]
    table = pd.read_csv(tmp_path / "O3_stations.csv")
    assert len(table) == 40 and len(table.drop_duplicates(["lat", "lon"])) == 36
    for png in ["O3_stations.png", "O3_stations_val.png"]:
        with Image.open(tmp_path / png) as im:
            assert round(im.info["dpi"][0]) == 300
    log = (tmp_path / "run.log").read_text()
    assert log.count("INFO: Saved: ") == 4
    assert "Natural Earth" not in capsys.readouterr().out


def test_example_without_map_data_says_what_to_do(no_map_data, clean_root_logger, tmp_path,
                                                  capsys):
    out = tmp_path / "out"
    run_example(out)
    advice = [line for line in capsys.readouterr().out.splitlines() if "Natural Earth" in line]
    assert len(advice) == 1
    assert advice[0].startswith("Station maps skipped: ") and "name resolution" in advice[0]
    assert advice[0].endswith("; " + NATURAL_EARTH_ADVICE)
    assert sorted(p.name for p in out.iterdir()) == ["O3_stations.csv", "run.log"]


def test_natural_earth_option_points_cartopy_at_a_local_copy(offline_natural_earth, monkeypatch,
                                                             clean_root_logger, tmp_path, capsys):
    import cartopy
    import cartopy.feature

    monkeypatch.setattr(cartopy.feature, "_NATURAL_EARTH_GEOM_CACHE", {})
    monkeypatch.setitem(cartopy.config, "pre_existing_data_dir", tmp_path / "none")
    out = tmp_path / "out"
    run_example(out, "--natural-earth", str(offline_natural_earth))
    assert "Natural Earth" not in capsys.readouterr().out
    assert sorted(p.name for p in out.iterdir()) == [
        "O3_stations.csv", "O3_stations.png", "O3_stations_val.png", "run.log"]
