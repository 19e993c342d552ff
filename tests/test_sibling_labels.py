"""Label selection of the station map: the count follows the density and
never falls as the density grows, however large."""
import numpy as np
import pandas as pd
import pytest

from kvelo.py import utils

DENSITIES = [0.0, 0.2, 0.4, 1.0, 2.5, 1e3, 1e15, 1e16, 1e300, float("inf")]


def stations(n, seed=3):
    rng = np.random.default_rng(seed)
    return pd.DataFrame({"site_id": [f"S{i}" for i in range(n)],
                         "lat": rng.uniform(35, 65, n), "lon": rng.uniform(-10, 30, n)})


@pytest.mark.parametrize("n, max_labels", [(300, 100), (7, 100), (50, 20)])
def test_label_count_never_falls_as_density_grows(n, max_labels):
    df = stations(n)
    counts = [len(utils.select_label_stations_by_density(
        station_df=df, density=d, min_labels=1, max_labels=max_labels)) for d in DENSITIES]
    assert counts == sorted(counts)
    assert counts[DENSITIES.index(1e15):] == [min(n, max_labels)] * 4


@pytest.mark.parametrize("density", [float("nan"), float("-inf"), -1e300])
def test_a_density_without_a_share_gives_the_minimum(density):
    picked = utils.select_label_stations_by_density(station_df=stations(20), density=density,
                                                    min_labels=3)
    assert len(picked) == 3


@pytest.mark.parametrize("column", ["lon", "lat"])
def test_a_duplicated_coordinate_column_is_refused(column):
    df = stations(10)
    df = pd.concat([df, df[[column]]], axis=1)
    with pytest.raises(ValueError, match=f"The column label '{column}' is not unique."):
        utils.select_label_stations_by_density(station_df=df)
