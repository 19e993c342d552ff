"""The bias figure functions with odd input: texts that are no valid UTF-8, line
styles that do not merge as keywords, station mappings and experiment keys
unlike a dict's, and a dump setting whose truth value cannot be asked."""

import logging
import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import pytest  # noqa: E402

from kvelo.py import chronoplex  # noqa: E402
from support.bias import call  # noqa: E402
from support.child import assert_prints_same  # noqa: E402
from support.figures import legend_texts  # noqa: E402
from support.odd_values import MappingOnly  # noqa: E402
from support.stations import T, station  # noqa: E402
from support.texts import NO_VALID_BIAS_DATA, SURROGATE as S  # noqa: E402

ALL = ["plot_station_timeseries_bias1", "plot_station_timeseries_bias2",
       "plot_station_timeseries_bias3", "plot_station_bias_collocation"]
STYLED = ALL[:3]  # the station bias with RMSE bands draws without line styles


def red(key):
    return {"color": "red"}


@pytest.fixture
def plain_style(monkeypatch):
    # The sibling's style is not under test here: only how the texts pass through.
    monkeypatch.setattr(chronoplex, "get_line_style", red)


# Station files by identifier, but by site name in the collocated run's figures.
SURROGATE_FILES = {
    "plot_station_timeseries_bias1": ["r{s}_S{s}_bias.png", "r{s}_regional_bias.png"],
    "plot_station_timeseries_bias2": ["r{s}_S{s}_bias.png", "r{s}_regional_bias.png"],
    "plot_station_timeseries_bias3": ["r{s}_N{s}_bias.png", "r{s}_regional_bias.png"],
    "plot_station_bias_collocation": ["r{s}_S{s}_bias.png"],
}


@pytest.mark.parametrize("name", ALL)
def test_lone_surrogates_in_every_text_write_every_file(name, tmp_path, figures, quick_save,
                                                        plain_style, caplog):
    caplog.set_level(logging.INFO)
    variable, key = f"V{S}", f"V{S}_c{S}"
    folder = tmp_path / f"d{S}"
    folder.mkdir()
    data = {f"S{S}": {"site_id": f"S{S}", "site_name": f"N{S}", "time": list(T[:3]),
                      f"{variable}_obs": [1.0, 2.0, 3.0], key: [2.0, 2.0, 5.0]}}
    getattr(chronoplex, name)(
        {"show_stations": True, "start_date": f"a{S}", "end_date": f"b{S}"}, data, "", "csv", "",
        str(folder / f"r{S}"), ["png"], "", variable, f"u{S}", f"t{S}")

    files = sorted(f.format(s=S) for f in SURROGATE_FILES[name])
    assert sorted(os.listdir(folder)) == files
    assert [m for m in caplog.messages if m.startswith("Saved: ")] == [
        f"Saved: {folder}{os.sep}{f}" for f in sorted(files, key=lambda f: "regional" not in f)]
    ax = figures[-1].axes[0]
    assert ax.get_ylabel() == (f"Bias [u{S}]" if name.endswith("bias2") else f"V{S} Bias [u{S}]")
    assert f"V{S} Bias" in ax.get_title() and f"a{S} to b{S}" in ax.get_title()
    assert any(f"c{S}" in text for text in legend_texts(ax))


@pytest.mark.parametrize("name", ALL)
def test_output_folder_named_by_surrogate_escaped_bytes(name, tmp_path, figures):
    folder = tmp_path / f"x{S}"
    folder.mkdir()
    data = {"A": station("A", T[:3], [1, 2, 3], name="Alpha", ctrl=[2, 2, 2])}
    call(getattr(chronoplex, name), data, folder, {"show_stations": True}, formats=["png"])
    station_file = "run_Alpha_bias.png" if name.endswith("bias3") else "run_A_bias.png"
    want = {station_file} | (set() if name.endswith("collocation") else {"run_regional_bias.png"})
    assert set(os.listdir(folder)) == want
    assert all(os.path.getsize(folder / f) > 0 for f in want)


class NoKeys:
    """Takes item assignment and get, but is no mapping."""

    def __setitem__(self, key, value):
        pass

    def get(self, key, default=None):
        return default


STYLES = {
    "names-the-label": lambda key: {"color": "red", "label": "x"},
    "no-mapping": lambda key: NoKeys(),
    "key-no-text": lambda key: {"color": "red", 1: 2},
}


@pytest.mark.parametrize("style", STYLES)
@pytest.mark.parametrize("name", STYLED)
def test_line_style_merges_as_keywords_do(name, style, tmp_path, figures, monkeypatch):
    monkeypatch.setattr(chronoplex, "get_line_style", STYLES[style])
    fig, ax = plt.subplots()
    with pytest.raises(TypeError) as python:
        ax.plot([0], [0], label="k", **STYLES[style]("k"))
    plt.close(fig)
    data = {"A": station("A", T[:3], [1, 2, 3], ctrl=[2, 2, 2])}
    with pytest.raises(TypeError) as ours:
        call(getattr(chronoplex, name), data, tmp_path, formats=["png"])
    assert str(ours.value) == str(python.value)
    if style == "names-the-label":
        assert str(ours.value).endswith("got multiple values for keyword argument 'label'")
    assert list(tmp_path.iterdir()) == []


class Holds(MappingOnly):
    """A station whose `in` answers with a list, as any truth value may."""

    def __contains__(self, key):
        return [key] if key in self._items else []


class IterOnly:
    """A station without __contains__: `in` runs through its keys."""

    def __init__(self, sd):
        self.sd, self.get = sd, sd.get

    def __getitem__(self, key):
        return self.sd[key]

    def __iter__(self):
        return iter(self.sd)


# The two variants that ask whether a station holds a key (the others read with get).
@pytest.mark.parametrize("wrap", [Holds, IterOnly])
@pytest.mark.parametrize("name", [ALL[0], ALL[2]])
def test_keys_of_a_station_are_tested_as_in_does(name, wrap, tmp_path, figures, quick_save):
    def stations(kind):  # B lacks an experiment that A holds, C has no observations
        return {"A": kind(station("A", T[:3], [1, 2, 3], ctrl=[2, 2, 2], x=[1, 1, 2], gap=[])),
                "B": kind(station("B", T[:3], [3, 2, 1], ctrl=[2, 2, 2])),
                "C": kind(station("C", T[:3], None, ctrl=[2, 2, 2]))}

    want, got = tmp_path / "dict", tmp_path / "odd"
    want.mkdir()
    got.mkdir()
    call(getattr(chronoplex, name), stations(dict), want, {"show_stations": True},
         formats=["png"])
    call(getattr(chronoplex, name), stations(wrap), got, {"show_stations": True},
         formats=["png"])
    assert sorted(os.listdir(got)) == sorted(os.listdir(want)) != []


@pytest.mark.parametrize("name", ALL)
def test_experiment_key_that_cannot_be_hashed(name):
    # A key gathered for the experiment set fails as set() fails on it; the
    # error used to stay pending under the next call into the interpreter.
    assert_prints_same(f"""
        import collections.abc
        import matplotlib
        matplotlib.use("Agg")
        import pandas as pd
        from kvelo.py import chronoplex

        class Key(list):
            def startswith(self, prefix):
                return True

        class Station(collections.abc.Mapping):
            def __init__(self):
                self.sd = {{"time": list(pd.date_range("2024-01-01", periods=2)),
                            "O3_obs": [1.0, 2.0]}}
            def __getitem__(self, key):
                return self.sd[key]
            def __iter__(self):
                return iter([Key([1]), "O3_obs"])
            def __len__(self):
                return 2

        try:
            chronoplex.{name}({{}}, {{"A": Station()}}, "", "", "", "/nonexistent/p", [], "",
                              "O3")
        except TypeError as e:
            print("same" if str(e) == "unhashable type: 'Key'" else repr(e))
        else:
            print("returned")
        """)


class Unanswerable:
    def __bool__(self):
        raise ZeroDivisionError("no truth value")


@pytest.mark.parametrize("data, raises", [
    ({}, False),
    ({"A": station("A", T[:3], None, ctrl=[2, 2, 2])}, False),  # no observations, no dump
    ({"A": station("A", T[:3], [1, 2, 3], ctrl=[2, 2, 2])}, True),
])
def test_dump_setting_asked_only_where_a_dump_is_due(data, raises, tmp_path, figures, caplog):
    config = {"debug_extended": Unanswerable()}
    if raises:
        with pytest.raises(ZeroDivisionError, match="no truth value"):
            call(chronoplex.plot_station_timeseries_bias3, data, tmp_path, config)
    else:
        call(chronoplex.plot_station_timeseries_bias3, data, tmp_path, config)
        assert NO_VALID_BIAS_DATA in caplog.messages
