"""The plain pandas/numpy/scipy formulations that the package's native results
are held to, step by step as the table library would take them: the statistics
tables and the regional pool, the station-wise dictionaries built from a
station table, the regional tables of the station figures and the numbers the
bias figures draw."""
import numpy as np
import pandas as pd
from scipy.stats import pearsonr

# ---- statistics tables ---------------------------------------------------------------

COLUMNS = ["Experiment", "R", "R2", "RMSE", "MB", "Bias", "STD_dev", "Mean", "Min", "Max",
           "Average", "Median", "Count", "SID", "NAME", "LAT", "LON", "ELE", "Variable",
           "SDATE", "EDATE", "plAVG"]


def ref_r(o, m):
    if len(o) < 2 or len(m) < 2:
        return np.nan
    return pearsonr(o, m)[0]


def ref_meta(row, meta, variable, tavg):
    for k in ("SID", "NAME", "LAT", "LON", "ELE"):
        row[k] = meta.get(k)
    row["Variable"] = variable
    row["SDATE"] = meta.get("SDATE")
    row["EDATE"] = meta.get("EDATE")
    row["plAVG"] = tavg
    return row


def ref_table(df, meta, variable, experiments, tavg):
    obs_col = variable + "_obs"
    if obs_col not in df.columns:
        raise ValueError(f"Observation column '{obs_col}' not found in DataFrame.")
    rows = []
    for exp in experiments:
        mod_col = f"{variable}_{exp}"
        if mod_col not in df.columns:
            continue
        p = df[["time", obs_col, mod_col]].dropna().copy()
        if len(p) <= 2:
            row = {"Experiment": exp, "Count": len(p)}
            row.update({k: np.nan for k in COLUMNS[1:12]})
        else:
            o, m = p[obs_col].values, p[mod_col].values
            r = ref_r(o, m)
            row = {"Experiment": exp, "R": r, "R2": np.nan if np.isnan(r) else r ** 2,
                   "RMSE": np.sqrt(np.mean((m - o) ** 2)), "MB": np.mean(m - o),
                   "Bias": np.mean(o - m), "STD_dev": np.std(o - m), "Mean": np.mean(m),
                   "Min": np.min(m), "Max": np.max(m), "Average": np.mean(m),
                   "Median": np.median(m), "Count": len(m)}
        rows.append(ref_meta(row, meta, variable, tavg))
    return pd.DataFrame(rows)


def ref_table_obs(df, meta, variable, experiments, tavg):
    table = ref_table(df, meta, variable, experiments, tavg)
    obs_col = variable + "_obs"
    o = df[["time", obs_col]].dropna().copy()[obs_col].values
    if len(o) < 1:
        return table
    row = {"Experiment": "obs", "R": np.nan, "R2": np.nan, "RMSE": np.nan, "MB": np.nan,
           "Bias": np.nan, "STD_dev": np.std(o), "Mean": np.mean(o), "Min": np.min(o),
           "Max": np.max(o), "Average": np.mean(o), "Median": np.median(o), "Count": len(o)}
    return pd.concat([pd.DataFrame([ref_meta(row, meta, variable, tavg)]), table],
                     ignore_index=True)


def ref_pool(data, variable, drop_missing_obs):
    obs_key, prefix = variable + "_obs", variable + "_"
    blocks = []
    for sd in data.values():
        t = pd.to_datetime(sd["time"])
        if obs_key not in sd:
            continue
        block = pd.DataFrame({"time": t, obs_key: sd[obs_key]})
        for k in sd:
            if k.startswith(prefix) and k != obs_key:
                block[k] = sd[k]
        blocks.append(block)
    pool = pd.concat(blocks, axis=0, ignore_index=True)
    if drop_missing_obs:
        pool = pool.dropna(subset=[obs_key])
    pool["time"] = pd.to_datetime(pool["time"])
    pool = pool.sort_values("time")
    keys = [c for c in pool.columns if c.startswith(prefix) and c != obs_key]
    meta = {"SID": "REGIONAL", "NAME": "Regional Mean", "LAT": np.nan, "LON": np.nan,
            "ELE": np.nan, "SDATE": pool["time"].min().strftime("%Y-%m-%d"),
            "EDATE": pool["time"].max().strftime("%Y-%m-%d")}
    return pool, meta, [k[len(prefix):] for k in keys]


def ref_regional(data, variable, tavg, drop):
    """Either regional table of the station-wise data: with the observation row
    (drop false) or of the experiments alone, the pooled rows without an
    observation dropped (drop true)."""
    obs_key = variable + "_obs"
    if not drop and not any(obs_key in sd for sd in data.values()):
        for sd in data.values():
            pd.to_datetime(sd["time"])
        return pd.DataFrame()
    pool, meta, names = ref_pool(data, variable, drop)
    ref = ref_table if drop else ref_table_obs
    return ref(pool, meta, variable, names, tavg)


# ---- station-wise dictionaries built from a station table ----------------------------

# The per-station boolean-selection formulation, as a plain reading of the
# layouts: one comparison over the whole table per station.
def reference_collocated(df, variable):
    data = {}
    for sid in df["site_id"].unique():
        rows = df[df["site_id"] == sid].sort_values("time").copy()
        if rows.empty:
            continue
        first = rows.iloc[0]
        sd = {"site_id": sid, "site_name": first.get("site_name", ""),
              "lat": first.get("lat", np.nan), "lon": first.get("lon", np.nan),
              "elevation_m": first.get("elevation_m", np.nan),
              "time": list(rows["time"].to_numpy()), "n_valid": first.get("n_valid", np.nan)}
        for col in rows.columns:
            if str(col).startswith(variable):
                sd[col] = list(rows[col].to_numpy())
        data[sid] = sd
    return data


def reference_plain(df, variable):
    data = {}
    for sid in df["site_id"].unique():
        rows = df[df["site_id"] == sid].sort_values("time")
        if rows.empty:
            continue
        first = rows.iloc[0]
        sd = {"site_id": sid, "site_name": first["site_name"], "lat": first["lat"],
              "lon": first["lon"], "elevation_m": first["elevation_m"],
              "time": rows["time"].copy(), "value": rows[variable].copy()}
        if "min" in df.columns and "max" in df.columns:
            sd["min"] = rows["min"]
            sd["max"] = rows["max"]
        data[sid] = sd
    return data


# ---- regional tables of the station time-series figures ------------------------------

def plain_regional(data):
    """The plain figures' regional table and its row aggregates (mean, min, max)."""
    series = []
    for sid in sorted(data):
        st = data[sid]
        values = st["value"].values if isinstance(st["value"], pd.Series) else st["value"]
        s = pd.Series(values, index=pd.to_datetime(st["time"])).groupby(level=0).mean()
        s.name = sid
        series.append(s)
    df = pd.concat(series, axis=1).sort_index()
    return df.mean(axis=1), df.min(axis=1), df.max(axis=1)


def collocated_regional(data, keys):
    """The collocated figure's regional table of each key: one column a station."""
    out = {}
    for key in keys:
        parts = []
        for sid in sorted(data):
            if key in data[sid]:
                s = pd.Series(data[sid][key], index=pd.to_datetime(data[sid]["time"]))
                s = s.groupby(s.index).mean()
                s.name = sid
                parts.append(s)
        out[key] = pd.concat(parts, axis=1).sort_index()
    return out


# ---- the numbers the bias figures draw ------------------------------------------------
#
# Each returns, per figure in drawing order, the lines and bands drawn on it as
# ("plot", x, y) and ("band", x, low, high).

def _experiment_keys(data, ids):
    return sorted({k for sid in ids for k in data[sid] if k.startswith("O3_") and k != "O3_obs"})


def bias1_figures(data):
    """Observation minus model; each line with a band of its own spread."""
    ids = sorted(data)
    keys = _experiment_keys(data, ids)
    collected = {k: [] for k in keys}
    stations = []
    for sid in ids:
        sd = data[sid]
        if not sd.get("O3_obs"):
            continue
        times = pd.to_datetime(sd.get("time", []))
        obs = pd.Series(sd["O3_obs"], index=times)
        drawn = []
        for k in keys:
            if not sd.get(k):
                continue
            bias = (obs - pd.Series(sd[k], index=times)).dropna()
            if len(bias) > 1:
                collected[k].append(bias)
                drawn.append((bias, np.sqrt(((bias - bias.mean()) ** 2).mean())))
        if drawn:
            stations.append(drawn)
    regional = []
    for k in keys:
        if collected[k]:
            mean = pd.concat(collected[k], axis=1).mean(axis=1)
            regional.append((mean.sort_index(), np.sqrt(((mean - mean.mean()) ** 2).mean())))
    return [[item for series, width in fig for item in (
        ("plot", series.index.values, series.values),
        ("band", series.index.values, series.values - width, series.values + width))]
        for fig in [regional] + stations]


def bias2_figures(data):
    """Experiments of the first station; the regional band is the station spread,
    the station figures have none."""
    ids = sorted(data)
    keys = sorted(k for k in data[ids[0]] if k.startswith("O3_") and k != "O3_obs")
    records = []
    for sid in ids:
        sd = data[sid]
        times = pd.to_datetime(sd.get("time", []))
        obs = pd.Series(sd.get("O3_obs", []), index=times)
        record = {}
        for k in keys:
            model = pd.Series(sd.get(k, []), index=times)
            valid_mask = obs.notna() & model.notna()
            bias = (obs - model)[valid_mask]
            if bias.notna().sum() >= 2:
                record[k] = bias.rename(sid)
        if record:
            records.append(record)
    regional = []
    for k in keys:
        series = [r[k] for r in records if k in r]
        if series:
            table = pd.concat(series, axis=1).sort_index()
            mean = table.mean(axis=1)
            rmse = np.sqrt((table.subtract(mean, axis=0) ** 2).mean(axis=1))
            regional += [("plot", mean.index.values, mean.values),
                         ("band", mean.index.values, (mean - rmse).values, (mean + rmse).values)]
    stations = [[("plot", b.index.values, b.values) for k, b in sorted(r.items())]
                for r in records]
    return [regional] + stations


def collocation_bias_figures(data):
    """One figure per station with something drawn: each bias with a constant
    band of its RMSE."""

    def compute_bias_and_rmse(obs_series, mod_series):
        df = pd.concat([obs_series, mod_series], axis=1, join="inner").dropna()
        if len(df) < 2:
            return None, None
        bias = df.iloc[:, 0] - df.iloc[:, 1]
        rmse = np.sqrt(np.mean((df.iloc[:, 0] - df.iloc[:, 1]) ** 2))
        band = pd.Series(rmse, index=bias.index)
        return bias.astype("float64"), band.astype("float64")

    ids = sorted(data)
    keys = _experiment_keys(data, ids)
    figures = []
    for sid in ids:
        sd = data[sid]
        times = pd.to_datetime(sd.get("time", []))
        obs = pd.Series(sd.get("O3_obs", []), index=times).astype("float64")
        drawn = []
        for k in keys:
            model = pd.Series(sd.get(k, []), index=times).astype("float64")
            bias, band = compute_bias_and_rmse(obs, model)
            if bias is not None:
                drawn += [("plot", bias.index.values, bias.values),
                          ("band", bias.index.values, (bias - band).values, (bias + band).values)]
        figures.append(drawn)
    return [drawn for drawn in figures if drawn]
