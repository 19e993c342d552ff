"""Observation files in the loader's tree (BASE/TYPE/VERSION/SITE/NAME) and the
loader called over them for January 2024."""
import numpy as np
import pandas as pd
import xarray as xr

from kvelo.py import stationfeed

START = pd.Timestamp("2024-01-01")
END = pd.Timestamp("2024-01-31")

CSV_TEXT = (
    "DATEON,LATITUDE,LONGITUDE,O3\n"
    "2024-01-01 00:00:00,45.0,5.0,30\n"
    "2024-01-15 12:00:00,45.0,5.0,31\n"
    "2024-01-31 00:00:00,45.0,5.0,32\n"
    "2024-02-01 00:00:00,45.0,5.0,33\n"
    "not a time,45.0,5.0,34\n"
)


def put(base, rel, text=CSV_TEXT):
    path = base.joinpath(*rel.split("/"))
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    return str(path)


def put_nc(base, rel, lats=(45.0,), lons=(5.0,), times=(0.0, 1.0, 2.0), with_position=True):
    path = base.joinpath(*rel.split("/"))
    path.parent.mkdir(parents=True, exist_ok=True)
    n = len(lats)
    data = {"O3": (("station", "time"), np.arange(n * len(times), dtype=float).reshape(n, -1))}
    if with_position:
        data["latitude"] = ("station", np.asarray(lats, dtype=float))
        data["longitude"] = ("station", np.asarray(lons, dtype=float))
    ds = xr.Dataset(data, coords={"time": ("time", np.asarray(times), {"units": "hours since 2024-01-01"})})
    ds.to_netcdf(path)
    return str(path)


def load(base, **kw):
    args = dict(obs_base_dir=str(base), start_date=START, end_date=END, obs_type="aqs",
                obs_version="latest")
    args.update(kw)
    return stationfeed.load_observations(**args)
