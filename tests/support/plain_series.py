"""The plain station figures reached through the run's entry: three stations
read through a replaced table read, and what a run gave."""
import numpy as np
import pandas as pd

from kvelo.py import chronoplex

TIMES = pd.date_range("2024-01-01", periods=4, freq="D")
TABLE = pd.DataFrame({
    "site_id": np.repeat(["ST1", "ST2", "ST3"], 4), "time": np.tile(TIMES, 3),
    "site_name": np.repeat(["Alpha", "Beta", "Gamma"], 4), "lat": 47.5, "lon": 7.6,
    "elevation_m": 316.0, "O3": np.arange(12, dtype=float)})


def read_table(*args, **kwargs):
    return TABLE.copy(), {"O3": "ppb"}


def plain_run(config):
    chronoplex.process_time_series_plot_from_file(
        data_file_base="in.csv", data_format="csv", model_files_dict="", plot_file_base="out/o3",
        save_plot_formats=["png"], config=config, plot_title="Ozone", variable="O3")


class Recorder:
    """Figure.savefig that records the paths instead of drawing."""

    def __init__(self):
        self.paths = []

    def __get__(self, fig, owner=None):
        return lambda path, **kw: self.paths.append(str(path))


def error_name(run):
    """The name of the exception a call raises, None when it returns."""
    try:
        run()
    except Exception as e:  # noqa: BLE001 - the type is what is compared
        return type(e).__name__
    return None
