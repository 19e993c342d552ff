"""The settings tables of the reference pages hold exactly the `config` keys each
function reads.

Every public function that takes `config` runs on a small fixture with a mapping
that notes each key looked up in it; the copy that `process_time_series_plot_from_file`
hands to its callees (`config.copy()`) notes into the same record, so the keys its
callees read count as its own.  Over a few runs per function (both roads, station
figures on and off, the plain figures' modes, the debug dumps), the keys read must
all be listed on the function's page, and every listed key must have been read.
"""
import collections.abc
import inspect

import numpy as np
import pandas as pd
import pytest

from kvelo.py import chronoplex, runjournal
from support import docs_pages

ITERATED = "<the whole mapping was iterated>"


class RecordingConfig(collections.abc.Mapping):
    """A settings mapping that notes every key looked up; its copies note into the
    same set."""

    def __init__(self, settings, seen=None):
        self._settings = dict(settings)
        self.seen = set() if seen is None else seen

    def __getitem__(self, key):
        self.seen.add(key)
        return self._settings[key]

    def get(self, key, default=None):
        self.seen.add(key)
        return self._settings.get(key, default)

    def __contains__(self, key):
        self.seen.add(key)
        return key in self._settings

    def __iter__(self):
        # Reading every key (keys(), items(), dict(config)) is not one a table can list.
        self.seen.add(ITERATED)
        return iter(self._settings)

    def __len__(self):
        return len(self._settings)

    def copy(self):
        return RecordingConfig(self._settings, self.seen)


TIMES = pd.date_range("2024-06-01", periods=4, freq="D")
STATIONS = [("ST1", "Hilltop", 0.0), ("ST2", "Lakeside", 3.0), ("ST3", "Harbour", 6.0)]

# Every key a station figure may read, set so that the branches they switch run.
EVERYTHING = {
    "plot_mode": "grouped", "station_plot_group_size": 2, "fix_y_axis": True,
    "show_stations": True, "show_min_max": True, "log_y_axis": False,
    "force_full_year": False, "obs_dataset_type": "hourly", "experiments": "ctrl,test",
    "exp_labels": "Control,Test", "plot_region": "EU", "start_date": "2024-06-01",
    "end_date": "2024-06-04", "debug_extended": True,
}


def collocated_data():
    data = {}
    for sid, name, shift in STATIONS:
        obs = [30.0 + shift + k for k in range(len(TIMES))]
        data[sid] = {"site_id": sid, "site_name": name, "lat": 47.5, "lon": 7.6,
                     "elevation_m": 300.0, "time": list(TIMES), "n_valid": np.nan,
                     "O3_obs": obs, "O3_ctrl": [v + 2.0 for v in obs],
                     "O3_test": [v - 1.0 + 0.5 * k for k, v in enumerate(obs)]}
    return data


def plain_data():
    data = {}
    for sid, name, shift in STATIONS:
        time = pd.Series(TIMES, name="time")
        data[sid] = {"site_id": sid, "site_name": name, "lat": 47.5, "lon": 7.6,
                     "elevation_m": 300.0, "time": time,
                     "value": pd.Series([30.0 + shift + k for k in range(len(TIMES))],
                                        name="O3")}
    return data


@pytest.fixture
def where(tmp_path, monkeypatch):
    """A working directory with output/ for the debug dumps and the two station tables."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "output").mkdir()
    rows = []
    for sid, sd in collocated_data().items():
        for k, t in enumerate(TIMES):
            rows.append({"site_id": sid, "time": t, "site_name": sd["site_name"], "lat": 47.5,
                         "lon": 7.6, "elevation_m": 300.0, "O3_obs [ppb]": sd["O3_obs"][k],
                         "O3_ctrl [ppb]": sd["O3_ctrl"][k], "O3_test [ppb]": sd["O3_test"][k]})
    table = pd.DataFrame(rows)
    table.to_csv("collocated.csv", index=False)
    table.rename(columns={"O3_obs [ppb]": "O3 [ppb]"}).drop(
        columns=["O3_ctrl [ppb]", "O3_test [ppb]"]).to_csv("plain.csv", index=False)
    return tmp_path


def process(road):
    def run(config):
        table = "collocated.csv" if road == "collocated" else "plain.csv"
        chronoplex.process_time_series_plot_from_file(
            table, "csv", None, "fig", [], config, "Ozone", "O3", "daily",
            use_collocation=road == "collocated")
    return run


def figure(name, data):
    def run(config):
        getattr(chronoplex, name)(config, data(), "", "csv", "", "fig", [], "Ozone", "O3", "ppb")
    return run


def refused(run):
    def refusing(config):
        with pytest.raises(ValueError, match="Unsupported plot_mode: sideways"):
            run(config)
    return refusing


def log_input_availability(config):
    runjournal.log_input_availability(config)


def bias(name):
    return [({}, figure(name, collocated_data)), (EVERYTHING, figure(name, collocated_data))]


# (module, function) -> the runs: (settings, call).
RUNS = {
    ("chronoplex", "process_time_series_plot_from_file"): [
        ({}, process("plain")), (EVERYTHING, process("plain")),
        ({}, process("collocated")), (EVERYTHING, process("collocated")),
        ({**EVERYTHING, "show_stations": False, "debug_extended": False},
         process("collocated")),
    ],
    ("chronoplex", "plot_station_timeseries_grouped_or_subplots"): [
        ({}, figure("plot_station_timeseries_grouped_or_subplots", plain_data)),
        ({"show_stations": True}, figure("plot_station_timeseries_grouped_or_subplots",
                                         plain_data)),
        (EVERYTHING, figure("plot_station_timeseries_grouped_or_subplots", plain_data)),
        ({**EVERYTHING, "plot_mode": "subplots"},
         figure("plot_station_timeseries_grouped_or_subplots", plain_data)),
        ({**EVERYTHING, "plot_mode": "sideways"},
         refused(figure("plot_station_timeseries_grouped_or_subplots", plain_data))),
    ],
    ("chronoplex", "plot_station_timeseries_collocation"): [
        ({}, figure("plot_station_timeseries_collocation", collocated_data)),
        (EVERYTHING, figure("plot_station_timeseries_collocation", collocated_data)),
        ({**EVERYTHING, "show_stations": False, "log_y_axis": None},
         figure("plot_station_timeseries_collocation", collocated_data)),
    ],
    ("chronoplex", "plot_station_timeseries_bias3"): bias("plot_station_timeseries_bias3") + [
        ({**EVERYTHING, "show_stations": False},
         figure("plot_station_timeseries_bias3", collocated_data)),
    ],
    ("chronoplex", "plot_station_timeseries_bias1"): bias("plot_station_timeseries_bias1"),
    ("chronoplex", "plot_station_timeseries_bias2"): bias("plot_station_timeseries_bias2"),
    ("chronoplex", "plot_station_bias_collocation"): bias("plot_station_bias_collocation"),
    ("runjournal", "log_input_availability"): [
        ({}, log_input_availability),
        ({"use_mod": True, "mod_path": "model/", "use_obs": True, "obs_path": "obs/",
          "use_station_file": True, "station_file": "stations.csv"}, log_input_availability),
    ],
}


def test_every_function_that_takes_config_is_run():
    takes_config = set()
    for module in docs_pages.MODULE_PAGES:
        mod = __import__(f"kvelo.py.{module}", fromlist=["_"])
        for name in docs_pages.public_names(module):
            try:
                parameters = inspect.signature(getattr(mod, name)).parameters
            except (TypeError, ValueError):
                continue
            if "config" in parameters:
                takes_config.add((module, name))
    assert takes_config == set(RUNS)


@pytest.mark.parametrize("module, name", sorted(RUNS))
def test_settings_table_lists_exactly_the_keys_read(module, name, where):
    page = docs_pages.page_path(module)
    assert page.exists(), f"{page.name} is missing"
    heading = docs_pages.entry_name(module, name)
    entry = docs_pages.entries(page).get(heading)
    assert entry is not None, f"{page.name} has no entry for {heading}"
    listed = entry.settings
    assert len(listed) == len(set(listed)), f"a key is listed twice: {listed}"

    read = set()
    for settings, run in RUNS[(module, name)]:
        config = RecordingConfig(settings)
        run(config)
        read |= config.seen
    assert ITERATED not in read, f"{name} reads its whole config"
    assert sorted(read - set(listed)) == [], f"read by {name}, missing from its table"
    assert sorted(set(listed) - read) == [], f"listed for {name}, never read"
