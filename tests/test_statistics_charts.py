"""Statistics bar charts drawn from a statistics file."""
import logging

import matplotlib
import matplotlib.figure

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402

from kvelo.py import statistics as st  # noqa: E402
from support.texts import end, start  # noqa: E402

GROUPS = ["Correlation_Metrics", "Error_Metrics", "Descriptive_Statistics"]


@pytest.fixture
def stats_file(tmp_path):
    """A regional statistics file: observation row first, then two experiments."""
    t = pd.date_range("2024-01-01", periods=6, freq="D")
    df = pd.DataFrame({"time": t, "O3_obs": [30.0, 32.0, 35.0, np.nan, 31.0, 29.0],
                       "O3_base": [28.0, 33.0, 36.0, 30.0, 30.0, 27.0],
                       "O3_ctrl": [31.0, np.nan, 34.0, 33.0, 30.0, np.nan]})
    meta = {"SID": "REGIONAL", "NAME": "Regional Mean", "LAT": np.nan, "LON": np.nan,
            "ELE": np.nan, "SDATE": "2024-01-01", "EDATE": "2024-01-06"}
    table = st.compute_statistics_from_collocated_df_with_obs_entry(
        df, meta, "O3", ["base", "ctrl"], "daily")
    path = tmp_path / "O3_daily_stats.csv"
    table.to_csv(path, index=False)
    return path


@pytest.fixture
def figure_saves(monkeypatch):
    """Names and keywords of savefig calls; nothing is rendered (kept fast)."""
    calls = []

    def savefig(self, fname, **kw):
        calls.append((str(fname), kw))

    monkeypatch.setattr(matplotlib.figure.Figure, "savefig", savefig)
    return calls


def bar_heights(ax):
    return [p.get_height() for p in ax.patches]


def test_three_charts_per_format_word(stats_file, tmp_path, figures, figure_saves, caplog):
    caplog.set_level(logging.INFO)
    base = tmp_path / "O3_daily_stats_plot"
    st.plot_statistics(str(stats_file), f"{base}.['png', 'pdf']", ["png", "pdf"], False)
    names = [f"{base}_{g}.{w}" for g in GROUPS for w in ("png", "pdf")]
    assert caplog.messages == [f"Saved: {n}" for n in names]
    assert figure_saves == [(n, {"dpi": 300, "bbox_inches": "tight"}) for n in names]
    assert len(figures) == 3 and plt.get_fignums() == []

    titles = ["Correlation Metrics", "Error Metrics", "Descriptive Statistics"]
    legends = [["R", "R2"], ["RMSE", "MB", "Bias", "STD_dev"],
               ["Average", "Median", "Mean", "Min", "Max"]]
    for fig, title, legend in zip(figures, titles, legends):
        assert tuple(fig.get_size_inches()) == (12, 6)
        ax = fig.axes[0]
        assert ax.get_title() == f"{title} across Model Experiments"
        assert (ax.get_xlabel(), ax.get_ylabel()) == ("Model Experiment", "Value")
        assert [t.get_text() for t in ax.get_legend().get_texts()] == legend
        ticks = ax.get_xticklabels()
        assert [t.get_text() for t in ticks] == ["obs", "base", "ctrl"]
        assert all(t.get_rotation() == 45 for t in ticks)
        heights = bar_heights(ax)
        assert len(heights) == 3 * len(legend)
        obs_bars = heights[0::3]  # the obs cluster of every column; empty is drawn flat
        empty = {"R", "R2", "RMSE", "MB", "Bias"}
        assert [h == 0 for h in obs_bars] == [c in empty for c in legend]

    desc = figures[2].axes[0]
    labels = [(t.get_text(), t.get_position()) for t in desc.texts]
    bottom = desc.get_ylim()[0]
    assert labels == [("5", (0, bottom)), ("5", (1, bottom)), ("3", (2, bottom))]
    assert len(figures[0].axes[0].texts) == 0


def test_missing_file_warns(tmp_path, caplog, figures):
    caplog.set_level(logging.DEBUG)
    missing = tmp_path / "none.csv"
    st.plot_statistics(stats_file=str(missing), output_file="x.png", save_plot_formats=["png"],
                       debug=True)
    assert caplog.messages == [start("plot_statistics"),
                               f"File {missing} not found. Skipping statistics plot..."]
    assert figures == []


def test_missing_columns_warn_in_required_order(stats_file, caplog, figures):
    pd.read_csv(stats_file).drop(columns=["Count", "R2"]).to_csv(stats_file, index=False)
    st.plot_statistics(str(stats_file), "x.png", ["png"], False)
    assert caplog.messages == [
        "Missing columns in stats file: ['R2', 'Count']. Skipping statistics plot..."]
    assert figures == []


@pytest.mark.parametrize("output_file, base", [
    ("{d}/set.b/O3.day_stats_plot.['png']", "{d}/set.b/O3.day_stats_plot"),
    ("{d}/set.b/plain", "{d}/set.b/plain"),
    ("{d}/set.b/..hidden", "{d}/set.b/..hidden"),
])
def test_base_path_drops_only_the_extension(stats_file, tmp_path, output_file, base, caplog,
                                            figure_saves):
    caplog.set_level(logging.INFO)
    (tmp_path / "set.b").mkdir()
    st.plot_statistics(str(stats_file), output_file.format(d=tmp_path), ["png"], False)
    assert caplog.messages[0] == f"Saved: {base.format(d=tmp_path)}_Correlation_Metrics.png"


def test_empty_format_list_draws_and_closes(stats_file, figures, caplog):
    caplog.set_level(logging.DEBUG)
    st.plot_statistics(str(stats_file), "x.png", [], True)
    assert len(figures) == 3 and plt.get_fignums() == []
    assert caplog.messages == [start("plot_statistics"),
                               end("plot_statistics")]


def test_save_error_closes_figure_and_propagates(stats_file, tmp_path, figures, caplog):
    caplog.set_level(logging.DEBUG)
    with pytest.raises(FileNotFoundError):
        st.plot_statistics(str(stats_file), str(tmp_path / "no" / "x.png"), ["png"], True)
    assert len(figures) == 1 and plt.get_fignums() == []
    assert not any(m.startswith("End:") for m in caplog.messages)


def test_counts_of_repeated_experiment_use_last_row(stats_file, figures):
    df = pd.read_csv(stats_file)
    df.loc[2, "Experiment"] = "base"
    df.loc[1, "Count"] = 12
    df.to_csv(stats_file, index=False)
    st.plot_statistics(str(stats_file), "x.png", [], False)
    assert [t.get_text() for t in figures[2].axes[0].texts] == ["5", "3", "3"]


def test_rendered_charts(stats_file, tmp_path):
    st.plot_statistics(str(stats_file), str(tmp_path / "O3_stats_plot.x"), ["png"], False)
    for group in GROUPS:
        png = tmp_path / f"O3_stats_plot_{group}.png"
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
