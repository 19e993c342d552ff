"""Entry points behave like Python functions: binding, errors, signature, methods."""
import inspect

import pytest

from kvelo.py import chronoplex, figdefaults


FIGURE_PARAMS = ["config", "data", "data_file_base", "data_format", "model_files_dict",
                 "plot_file_base", "save_plot_formats", "plot_title"]


def test_signature_and_defaults():
    f = chronoplex.plot_station_timeseries_bias3
    sig = inspect.signature(f)
    assert list(sig.parameters) == FIGURE_PARAMS + ["variable", "unit", "tavg", "debug"]
    assert f.__defaults__ == (None, None, None, False)
    assert f.__kwdefaults__ is None
    assert f.__name__ == "plot_station_timeseries_bias3"
    assert f.__module__ == "kvelo.py.chronoplex"
    assert f.__doc__.startswith("plot_station_timeseries_bias3(config, data,")


@pytest.mark.parametrize("args, kwargs, message", [
    ((1, 2), {}, "plot_station_timeseries_bias3() missing 6 required positional arguments: "
                 "'data_file_base', 'data_format', 'model_files_dict', 'plot_file_base', "
                 "'save_plot_formats', and 'plot_title'"),
    (tuple(range(7)), {}, "missing 1 required positional argument: 'plot_title'"),
    (tuple(range(8)), {"colour": 1}, "got an unexpected keyword argument 'colour'"),
    (tuple(range(8)), {"config": 1}, "got multiple values for argument 'config'"),
    (tuple(range(13)), {}, "takes from 8 to 12 positional arguments but 13 were given"),
])
def test_binding_errors_read_as_python(args, kwargs, message):
    with pytest.raises(TypeError, match=message.replace("(", r"\(").replace(")", r"\)")):
        chronoplex.plot_station_timeseries_bias3(*args, **kwargs)


def test_no_parameter_function_rejects_arguments():
    with pytest.raises(TypeError, match=r"takes 0 positional arguments but 1 was given"):
        figdefaults.set_kvelo_plot_style(1)


def test_serves_as_method_through_get():
    class Holder:
        f = chronoplex.plot_station_timeseries_bias3

    bound = Holder().f
    assert inspect.ismethod(bound)
    assert list(inspect.signature(bound).parameters)[0] == "data"
    assert Holder.f is chronoplex.plot_station_timeseries_bias3



def test_copied_pickled_and_weakly_referenced_as_functions_are():
    import copy
    import pickle
    import weakref
    f = chronoplex.plot_station_timeseries_bias3
    # Functions are copied and pickled by reference, so a configuration
    # holding one can be deep-copied.
    assert copy.copy(f) is f
    assert copy.deepcopy({"plot": f})["plot"] is f
    assert pickle.loads(pickle.dumps(f)) is f
    assert weakref.ref(f)() is f

# ---- every entry point of the run environment and the siblings -------------

from kvelo.py import io, runjournal, style, utils  # noqa: E402

ENTRY_POINTS = [
    (runjournal, "setup_logging", ["log_file_path", "debug"], (False,)),
    (runjournal, "log_kvelo_banner", [], None),
    (runjournal, "log_input_availability", ["config"], None),
    (figdefaults, "set_kvelo_plot_style", [], None),
    (io, "read_data", ["file_path", "data_format", "debug", "return_units"], (None, False, False)),
    (io, "save_data", ["df", "file_path", "data_format", "units", "debug"], (None, None, False)),
    (style, "get_readable_region_name", ["region"], None),
    (style, "setup_cartopy_map1", ["region_bounds"], None),
    (style, "setup_cartopy_map", ["ax", "region_bounds"], None),
    (style, "get_marker_style", ["label", "i"], None),
    (style, "calculate_color_norm", ["values", "variable", "unit", "debug"], (False,)),
    (style, "get_variable_colorbar_limits", ["variable"], None),
    (style, "load_variable_columns", ["df", "variable"], None),
    (style, "convert_units", ["values", "from_unit", "to_unit"], None),
    (utils, "apply_time_axis_format", ["ax", "times", "force_full_year"], (None,)),
    (utils, "get_line_style", ["key"], None),
    (utils, "is_log_unit", ["unit"], None),
    (utils, "extract_keys", ["station_data", "variable"], None),
    (utils, "select_label_stations_by_density",
     ["station_df", "density", "min_labels", "max_labels"], (0.4, 1, 100)),
]


@pytest.mark.parametrize("module, name, params, defaults", ENTRY_POINTS,
                         ids=[f"{m.__name__.rsplit('.', 1)[1]}.{n}" for m, n, _, _ in ENTRY_POINTS])
def test_entry_point_signatures(module, name, params, defaults):
    f = getattr(module, name)
    sig = inspect.signature(f)
    assert list(sig.parameters) == params
    assert f.__defaults__ == defaults
    if defaults:
        assert tuple(p.default for p in sig.parameters.values()
                     if p.default is not inspect.Parameter.empty) == defaults
    assert f.__name__ == name and f.__module__ == module.__name__
    assert f.__doc__


def _same(a, b):
    import pandas as pd
    if isinstance(a, pd.DataFrame):
        return a.equals(b) and list(a.index) == list(b.index)
    if hasattr(a, "vmin"):
        return type(a) is type(b) and (a.vmin, a.vmax) == (b.vmin, b.vmax)
    return a == b


def _by_keyword_cases():
    import numpy as np
    import pandas as pd
    table = pd.DataFrame({"site_id": ["A", "B", "C"], "lat": [40.0, 50.0, 60.0],
                          "lon": [0.0, 10.0, 20.0], "o3_obs": [1.0, 2.0, 3.0],
                          "o3_e1": [1.0, 2.0, 4.0]})
    return [
        (style.get_readable_region_name, {"region": "EU"}),
        (style.get_marker_style, {"label": "e1", "i": 2}),
        (style.calculate_color_norm, {"values": np.array([1.0, 5.0]), "variable": "o3",
                                      "unit": "ppb", "debug": False}),
        (style.get_variable_colorbar_limits, {"variable": "no2"}),
        (style.load_variable_columns, {"df": table, "variable": "o3"}),
        (style.convert_units, {"values": 3.0, "from_unit": "ppb", "to_unit": "ppt"}),
        (utils.get_line_style, {"key": "o3_e1"}),
        (utils.is_log_unit, {"unit": "cm-2"}),
        (utils.extract_keys, {"station_data": {"o3_obs": 1, "o3_e1": 2}, "variable": "o3"}),
        (utils.select_label_stations_by_density,
         {"station_df": table[["site_id", "lat", "lon"]], "density": 0.7, "min_labels": 1,
          "max_labels": 2}),
    ]


@pytest.mark.parametrize("f, kwargs", _by_keyword_cases(), ids=lambda v: getattr(v, "__name__", ""))
def test_called_by_position_or_keyword_alike(f, kwargs):
    by_position = f(*kwargs.values())
    by_keyword = f(**kwargs)
    mixed = f(*list(kwargs.values())[:1], **dict(list(kwargs.items())[1:]))
    assert _same(by_position, by_keyword) and _same(by_position, mixed)


def test_reader_by_position_or_keyword_alike(tmp_path):
    path = tmp_path / "t.csv"
    path.write_text("site_id,time,o3 [ppb]\nA,2024-01-01,1.5\n")
    a = io.read_data(str(path), "csv", False, True)
    b = io.read_data(file_path=str(path), data_format="csv", debug=False, return_units=True)
    assert a[0].equals(b[0]) and a[1] == b[1] == {"o3": "ppb"}


def test_report_by_position_or_keyword_alike(caplog):
    caplog.set_level("INFO")
    runjournal.log_input_availability({"use_obs": True, "obs_path": "/o"})
    runjournal.log_input_availability(config={"use_obs": True, "obs_path": "/o"})
    messages = [r.getMessage() for r in caplog.records]
    assert messages[:3] == messages[3:]


def _python_twin():
    def plot_station_timeseries_bias3(config, data, data_file_base, data_format,
                                      model_files_dict, plot_file_base, save_plot_formats,
                                      plot_title, variable=None, unit=None, tavg=None,
                                      debug=False):
        pass
    return plot_station_timeseries_bias3


@pytest.mark.parametrize("args, kwargs", [
    ((1,), {}),
    (tuple(range(13)), {}),
    (tuple(range(8)), {"colour": 1}),
    (tuple(range(8)), {"config": 1}),
])
def test_autospec_mocks_check_arguments_as_a_python_functions_do(args, kwargs):
    from unittest import mock
    ours = mock.create_autospec(chronoplex.plot_station_timeseries_bias3)
    twin = mock.create_autospec(_python_twin())
    with pytest.raises(TypeError) as expected:
        twin(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        ours(*args, **kwargs)
    assert str(got.value) == str(expected.value)
    with mock.patch.object(chronoplex, "plot_station_timeseries_bias3", autospec=True) as patched:
        with pytest.raises(TypeError):
            chronoplex.plot_station_timeseries_bias3(*args, **kwargs)
        chronoplex.plot_station_timeseries_bias3(*range(8), debug=True)
        patched.assert_called_once_with(*range(8), debug=True)


def test_help_names_the_function_and_shows_its_signature_line():
    import pydoc
    text = pydoc.render_doc(chronoplex.plot_station_timeseries_bias3, renderer=pydoc.plaintext)
    title, _, first = text.splitlines()[:3]
    assert title.endswith("function plot_station_timeseries_bias3 in module kvelo.py.chronoplex")
    # Its text: the signature line, a blank line, then the summary.
    assert first.startswith("plot_station_timeseries_bias3(config, data,")
    assert chronoplex.plot_station_timeseries_bias3.__doc__.startswith(first + "\n\n")
    # The object is still what it was: callable through its own slot.
    assert callable(chronoplex.plot_station_timeseries_bias3)
    assert chronoplex.plot_station_timeseries_bias3.__call__ is \
        chronoplex.plot_station_timeseries_bias3
