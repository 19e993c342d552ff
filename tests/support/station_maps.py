"""The station map functions as the tests call them (the `reads` fixture hands
them their station table)."""
from kvelo.py import geoplex

LOCATION = "station_location_map_plot_from_file"
VALUE = "station_value_map_plot_from_file"
BOUNDS = (35.0, 62.0, -12.0, 30.0)


def location(base, formats=(), title="", **kw):
    geoplex.station_location_map_plot_from_file(
        "stations.csv", "csv", "EU", "hourly", BOUNDS, str(base), list(formats), title, **kw)


def value(base, formats=(), title="", variable="O3", **kw):
    geoplex.station_value_map_plot_from_file(
        "stations.csv", "csv", "EU", "hourly", "daily", BOUNDS, str(base), list(formats), title,
        "2024-01-01", "2024-01-31", variable=variable, **kw)
