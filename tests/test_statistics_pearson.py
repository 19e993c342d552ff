"""Pearson variants, compute_pearson_r and the one-row statistics file."""
import math

import numpy as np
import pandas as pd
import pytest
from scipy.stats import pearsonr

from kvelo.py import statistics as st


def monthly(values, start="2024-01-01", name="v"):
    return pd.Series(values, index=pd.date_range(start, periods=len(values), freq="MS"),
                     name=name)


# ---- compute_pearson_r ------------------------------------------------------------------

@pytest.mark.parametrize("obs, mod", [([1.0], [1.0, 2.0, 3.0]), ([1.0], []), ([1.0, 2.0], [3.0])])
def test_pearson_r_too_few_items_is_nan(obs, mod):
    assert math.isnan(st.compute_pearson_r(obs, mod))


def test_pearson_r_short_obs_does_not_look_at_mod():
    assert math.isnan(st.compute_pearson_r([1.0], 5))  # no len() on mod


@pytest.mark.parametrize("obs, mod", [([1.0, 2.0], [3.0, 1.0]),
                                      ([1.0, 2.0, 4.0], [2.0, 1.0, 7.0])])
def test_pearson_r_is_scipys_coefficient(obs, mod):
    assert st.compute_pearson_r(obs=np.array(obs), mod=np.array(mod)) == pearsonr(obs, mod)[0]


@pytest.mark.parametrize("obs, mod", [([1.0, 2.0, 3.0], [1.0, 2.0]),
                                      ([1.0, np.nan, 3.0], [2.0, 1.0, 7.0]),
                                      ([1.0, np.inf, 3.0], [2.0, 1.0, 7.0])])
def test_pearson_r_hands_inputs_to_scipy_unfiltered(obs, mod):
    # Unequal lengths fail in scipy; NaN and inf are not filtered out first.
    try:
        want = pearsonr(obs, mod)[0]
    except ValueError as e:
        with pytest.raises(ValueError, match=str(e)[:20]):
            st.compute_pearson_r(obs, mod)
        return
    got = st.compute_pearson_r(obs, mod)
    assert (math.isnan(got) and math.isnan(want)) or got == want


# ---- month shift ---------------------------------------------------------------------------

@pytest.mark.parametrize("shift, pairs", [
    (1, [(1.0, 20.0), (2.0, 30.0), (4.0, 40.0)]),    # January obs with February model
    (-1, [(2.0, 10.0), (4.0, 20.0), (3.0, 30.0)]),   # February obs with January model
])
def test_month_shift_pairs(shift, pairs):
    obs = monthly([1.0, 2.0, 4.0, 3.0], name="obs")
    mod = monthly([10.0, 20.0, 30.0, 40.0], name="mod")
    o, m = zip(*pairs)
    assert st.compute_pearson_r_with_shift(obs, mod, shift) == pytest.approx(pearsonr(o, m)[0])
    assert obs.index[0] == pd.Timestamp("2024-01-01")  # caller's series unchanged


@pytest.mark.parametrize("year, day", [(2023, 28), (2024, 29)])
def test_month_end_clipped_to_end_of_february(year, day):
    obs = pd.Series([1.0, 2.0, 5.0], name="obs",
                    index=pd.to_datetime([f"{year}-01-31", f"{year}-02-28", f"{year}-03-31"]))
    mod = pd.Series([3.0, 1.0, 2.0], name="mod",
                    index=pd.to_datetime([f"{year}-02-{day}", f"{year}-03-28", f"{year}-04-30"]))
    got = st.compute_pearson_r_with_shift(obs, mod, shift=1)
    assert got == pytest.approx(pearsonr([1.0, 2.0, 5.0], [3.0, 1.0, 2.0])[0])


def test_shift_with_one_common_stamp_is_nan_and_nan_passes_through():
    obs = monthly([1.0, 2.0], name="obs")
    later = monthly([5.0, 6.0], "2024-02-01", "m")
    assert math.isnan(st.compute_pearson_r_with_shift(obs, later, 0))
    with_nan = monthly([1.0, np.nan, 3.0], name="obs")
    assert math.isnan(st.compute_pearson_r_with_shift(with_nan, monthly([1.0, 2.0, 4.0], name="m")))


def test_shift_of_unnamed_series_fails_with_library_error():
    with pytest.raises(ValueError):
        st.compute_pearson_r_with_shift(pd.Series([1.0, 2.0]), pd.Series([1.0, 2.0], name="m"))


# ---- shift by positions --------------------------------------------------------------------

OBS = [1.0, 2.0, 3.0, np.nan, 5.0]
MOD = [2.0, 4.0, 6.0, 8.0, np.nan]


@pytest.mark.parametrize("shift, expected", [(0, 1.0), (1, 1.0), (-1, 1.0), (3, None)])
def test_shift2_examples(shift, expected):
    got = st.compute_pearson_r_with_shift2(OBS, MOD, shift)
    if expected is None:
        assert math.isnan(got)
    else:
        assert got == pytest.approx(expected, abs=1e-12)


@pytest.mark.parametrize("shift", [0, 1, -1, 5])
def test_two_valid_pairs_give_nan(shift):
    assert math.isnan(st.compute_pearson_r_with_shift2([1.0, 2.0, np.nan], [3.0, 1.0, 2.0], shift))


def test_constant_series_nan_and_r2_prints_nothing(capsys):
    assert math.isnan(st.compute_pearson_r_with_shift2([2.0, 2.0, 2.0], [1.0, 2.0, 3.0]))
    assert math.isnan(st.compute_pearson_r2([2.0, 2.0, 2.0], [1.0, 2.0, 3.0]))
    assert capsys.readouterr().out == ""


def test_r2_prints_four_lines(capsys):
    obs = np.array([1.0, 2.0, 3.0, np.nan, 4.0])
    mod = np.array([8.0, 6.0, 4.0, 1.0, 2.0])
    r = st.compute_pearson_r2(obs, mod)
    assert r == pytest.approx(-1.0)
    o, m = obs[[0, 1, 2, 4]], mod[[0, 1, 2, 4]]
    num = np.sum((o - o.mean()) * (m - m.mean()))
    den = np.sqrt(np.sum((o - o.mean()) ** 2)) * np.sqrt(np.sum((m - m.mean()) ** 2))
    flipped = np.sum((o - o.mean()) * (-m - m.mean())) / den
    assert capsys.readouterr().out.splitlines() == [
        f"Mean(obs)={o.mean()}, Mean(mod)={m.mean()}",
        f"Numerator={num}, Denominator={den}",
        f"Pearson R={num / den}",
        f"Flipped Pearson R={flipped}"]
    assert flipped == pytest.approx(1.0)


def test_text_values_fail_with_numpy_error():
    with pytest.raises(TypeError):
        st.compute_pearson_r2(["a", "b", "c"], [1.0, 2.0, 3.0])


# ---- save_stats ------------------------------------------------------------------------------

STATS = {"R": 0.5, "R_squared": 0.25, "RMSE": 1e-05, "MB": -2.0, "Bias": 2.0, "STD_dev": 3.5,
         "Count": 12}


@pytest.mark.parametrize("given, written", [
    ("results/run.csv", "results/run_stats.csv"),
    ("run.csv.csv", "run_stats.csv_stats.csv"),
    ("a.csvx", "a_stats.csvx"),
    ("RUN.CSV", "RUN.CSV"),
    ("results/run", "results/run"),
])
def test_save_stats_file_name(tmp_path, monkeypatch, capsys, given, written):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "results").mkdir()
    (tmp_path / written).write_text("old")
    st.save_stats(STATS, given)
    assert capsys.readouterr().out == f"Statistics saved to {written}\n"
    assert (tmp_path / written).read_text().splitlines() == [
        ",R,R_squared,RMSE,MB,Bias,STD_dev", "dateTime,0.5,0.25,1e-05,-2.0,2.0,3.5"]


def test_save_stats_nan_and_series_input(tmp_path):
    stats = pd.Series({**STATS, "R": np.nan})
    st.save_stats(stats=stats, output_csv=str(tmp_path / "x.csv"))
    assert (tmp_path / "x_stats.csv").read_text().splitlines()[1].startswith("dateTime,,0.25,")


def test_save_stats_missing_key_writes_nothing(tmp_path, capsys):
    row = {k: v for k, v in STATS.items() if k != "R_squared"}
    row["R2"] = 0.25
    with pytest.raises(KeyError, match="R_squared"):
        st.save_stats(row, str(tmp_path / "x.csv"))
    assert list(tmp_path.iterdir()) == [] and capsys.readouterr().out == ""
