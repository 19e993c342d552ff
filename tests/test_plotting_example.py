"""The matched-data example: every figure from generated files, and the one
line it prints where cartopy cannot get its map data."""

import importlib.util
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import pytest  # noqa: E402

from support.texts import NATURAL_EARTH_ADVICE  # noqa: E402

SCRIPT = Path(__file__).resolve().parent.parent / "examples" / "run_matched.py"

TABLES = ["matched_obs.csv", "matched_ctrl.csv", "matched_test.csv",
          "matched_EU_O3_daily_ctrl_mod.csv", "matched_EU_O3_daily_test_mod.csv", "run.log"]
SCATTERS = ["matched_EU_O3_daily_SCATTER_ctrl.png", "matched_EU_O3_daily_SCATTER_test.png"]
MAPS = ["matched_EU_O3_daily_BIAS_ctrl.png", "matched_EU_O3_daily_BIAS_test.png",
        "field_model_EU_O3_ctrl.png"]


@pytest.fixture
def example(clean_root_logger):
    spec = importlib.util.spec_from_file_location("run_matched", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    with matplotlib.rc_context():  # the example applies the shared plot style
        yield module
    assert plt.get_fignums() == []


def test_example_draws_every_figure(example, tmp_path, capsys, offline_natural_earth):
    assert example.main([str(tmp_path)]) == 0
    out = capsys.readouterr().out
    assert "Maps skipped" not in out
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(TABLES + SCATTERS + MAPS)
    for name in SCATTERS + MAPS:
        assert (tmp_path / name).stat().st_size > 20_000, name
    log = (tmp_path / "run.log").read_text()
    assert log.count("Saved bias plot: ") == 2 and log.count("Saved scatter plot: ") == 2


def test_without_map_data_one_line_says_what_to_do(example, tmp_path, capsys, no_map_data):
    out_dir = tmp_path / "out"
    assert example.main([str(out_dir)]) == 0
    lines = capsys.readouterr().out.splitlines()
    skipped = [line for line in lines if "Natural Earth" in line]
    assert len(skipped) == 1
    assert skipped[0].startswith("Maps skipped: ") and "name resolution" in skipped[0]
    assert skipped[0].endswith("; " + NATURAL_EARTH_ADVICE)
    assert sorted(p.name for p in out_dir.iterdir()) == sorted(TABLES + SCATTERS)


def test_natural_earth_option_points_cartopy_at_a_local_copy(example, tmp_path, capsys,
                                                             monkeypatch, offline_natural_earth):
    import cartopy
    import cartopy.feature

    monkeypatch.setattr(cartopy.feature, "_NATURAL_EARTH_GEOM_CACHE", {})
    monkeypatch.setitem(cartopy.config, "pre_existing_data_dir", tmp_path / "none")
    out_dir = tmp_path / "out"
    assert example.main([str(out_dir), "--natural-earth", str(offline_natural_earth)]) == 0
    assert "Natural Earth" not in capsys.readouterr().out
    assert sorted(p.name for p in out_dir.iterdir()) == sorted(TABLES + SCATTERS + MAPS)
