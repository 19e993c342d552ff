"""Station-wise dictionaries of the collocated layout, as the figures and the
regional statistics take them: small hand-made stations and random ones; and
the metadata of one station."""
import numpy as np
import pandas as pd

T = pd.date_range("2024-01-01", periods=5, freq="D")

# The station metadata the statistics tables of one frame are given.
META = {"SID": "S1", "NAME": "Hill", "LAT": 50.5, "LON": 7.25, "ELE": 310.0,
        "SDATE": "2024-01-01", "EDATE": "2024-01-31"}


def station(sid, times, obs, name="", **exps):
    """A station of the bias figures, O3 values; None marks a missing value,
    `obs` None no observations and `name` None no site name."""

    def values(seq):
        return [np.float64(np.nan if v is None else v) for v in seq]

    sd = {"site_id": sid}
    if name is not None:
        sd["site_name"] = name
    sd.update(lat=np.nan, lon=np.nan, elevation_m=np.nan, time=list(times), n_valid=np.nan)
    if obs is not None:
        sd["O3_obs"] = values(obs)
    for exp, seq in exps.items():
        sd[f"O3_{exp}"] = values(seq)
    return sd


def random_collocated(seed, n_stations, kind="float64", n_times=30):
    """Stations with gaps, shifted spans, infinite values, biases of widely
    varying magnitude and an experiment without values at every fourth station.
    `kind` is how the values are held: numpy float64 items (paired natively),
    float32 items, Python ints with None for a gap, or "mixed": the three in
    turn over the stations, experiment b held unlike the rest of its station."""
    rng = np.random.default_rng(seed)
    times = pd.date_range("2024-01-01", periods=n_times, freq="h")

    def items(values, turn):
        held = ("float64", "float32", "int")[turn % 3] if kind == "mixed" else kind
        if held == "int":
            return [None if np.isnan(v) else v if np.isinf(v) else int(v * 1000) for v in values]
        return [np.dtype(held).type(v) for v in values]

    data = {}
    for i in range(n_stations):
        t = times[i % 5:]
        obs = rng.normal(30, 5, len(t))
        mods = {e: obs + rng.normal(1, 3, len(t)) * 10.0 ** rng.uniform(-3, 3, len(t))
                for e in ("a", "b")}
        for values in (obs, *mods.values()):
            values[rng.random(len(t)) < 0.2] = np.nan
        if i == 1:
            obs[3] = mods["a"][3] = np.inf  # inf - inf: a NaN difference
            mods["b"][2] = np.inf
        if i % 4 == 3:
            mods["b"][:] = np.nan
        sd = {"site_id": i, "site_name": f"N{i}", "time": list(t), "O3_obs": items(obs, i)}
        sd.update({f"O3_{e}": items(values, i + (e == "b")) for e, values in mods.items()})
        data[i] = sd
    return data


def regional_station(sid, times, obs=None, **series):
    """A station of the regional statistics: NH4_CONC values as numpy floats."""
    sd = {"site_id": sid, "site_name": sid, "lat": 1.0, "lon": 2.0, "elevation_m": 3.0,
          "time": [pd.Timestamp(t) for t in times], "n_valid": len(times)}
    if obs is not None:
        sd["NH4_CONC_obs"] = [np.float64(v) for v in obs]
    for k, v in series.items():
        sd["NH4_CONC_" + k] = [np.float64(x) for x in v]
    return sd


def random_dict(seed, n_st=6, n_t=50):
    """Stations whose stamps overlap (ties for the sort), with gaps and a partial experiment."""
    rng = np.random.default_rng(seed)
    data = {}
    for s in range(n_st):
        times = pd.date_range("2024-03-01", periods=n_t - s, freq="6h") + pd.Timedelta(hours=s)
        obs = rng.gamma(2, 3, len(times))
        obs[rng.random(len(times)) < 0.2] = np.nan
        series = {"base": obs + rng.normal(0, 1, len(times))}
        if s % 2:
            series["NH4_CONC_run"] = rng.normal(5, 1, len(times))
        data[f"S{s}"] = regional_station(f"S{s}", times, obs, **series)
        data[f"S{s}"]["NH4_CONCmax"] = list(rng.random(len(times)))
    return data
