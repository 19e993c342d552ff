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
