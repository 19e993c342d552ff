"""Runs the collocated station road on a small generated table.

    PYTHONPATH=build/dev/pkg python examples/run_collocated.py [OUTPUT_DIR] [--formats png pdf]

Writes into OUTPUT_DIR (default examples/out, created when missing): the
station table O3_daily.csv, the collocated figures, the bias figures, the
statistics file O3_daily_stats.csv beside the table, its three bar charts,
and the log run.log.
"""

import logging
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:  # also when loaded from elsewhere, as the tests do
    sys.path.insert(0, str(HERE))

from example_support import command_line, list_written  # noqa: E402

STATIONS = [
    ("ST01", "Hilltop", 47.80, 11.01, 985.0),
    ("ST02", "Lakeside", 46.01, 8.96, 273.0),
    ("ST03", "Harbour", 53.55, 9.99, 6.0),
    ("ST04", "Forest Edge", 50.40, 7.60, 412.0),
    ("ST05", "Old Town", 48.21, 16.37, 171.0),
    ("ST06", "Valley Floor", 47.26, 11.39, 574.0),
    ("ST07", "Coastal Dune", 52.37, 4.90, 2.0),
    ("ST08", "Plateau", 45.76, 3.09, 1465.0),
    ("ST09", "Riverbank", 50.94, 6.96, 53.0),
    ("ST10", "Airfield", 49.01, 2.55, 119.0),
    ("ST11", "Moorland", 54.33, -2.75, 330.0),
    ("ST12", "Orchard", 44.49, 11.34, 54.0),
]


# The run's settings: region and date range of the titles, the experiments'
# labels, and one figure per station after the regional one.
CONFIG = {
    "plot_region": "EU",
    "start_date": "2024-01-01",
    "end_date": "2024-03-31",
    "experiments": "exp1,exp2",
    "exp_labels": "Control,Test",
    "show_stations": True,
}


def make_table(seed=7):
    """Daily ozone at twelve stations for three months, observed and from two
    experiments, with a few gaps: single missing days, a week-long outage at one
    station, and one experiment that starts late at another."""
    rng = np.random.default_rng(seed)
    times = pd.date_range("2024-01-01", "2024-03-31", freq="D")
    day = np.arange(len(times))
    rows = []
    for i, (sid, name, lat, lon, ele) in enumerate(STATIONS):
        base = 28 + 0.12 * day + 4 * np.sin(2 * np.pi * (day + 3 * i) / 14)
        obs = base + rng.normal(0, 3, len(times))
        ctrl = base + 3.0 + rng.normal(0, 2.5, len(times))
        test = base - 1.0 + 0.03 * day + rng.normal(0, 2.0, len(times))
        obs[rng.choice(len(times), 4, replace=False)] = np.nan
        if sid == "ST04":
            obs[30:37] = np.nan
        if sid == "ST09":
            test[:20] = np.nan
        for t, o, c, e in zip(times, obs, ctrl, test):
            rows.append((sid, t, name, lat, lon, ele, o, c, e))
    table = pd.DataFrame(rows, columns=["site_id", "time", "site_name", "lat", "lon",
                                        "elevation_m", "O3_obs", "O3_exp1", "O3_exp2"])
    # Rows interleaved across stations, as a collocation tool writes them.
    return table.sort_values(["time", "site_id"], kind="stable").reset_index(drop=True)


def set_up_logging(log_path):
    try:
        from kvelo.py.runjournal import log_kvelo_banner, setup_logging
    except ImportError:
        logging.basicConfig(level=logging.INFO,
                            format="[%(asctime)s] %(levelname)s: %(message)s",
                            datefmt="%Y-%m-%d %H:%M:%S")
        return
    setup_logging(str(log_path), debug=False)
    log_kvelo_banner()


def main():
    args, out, begun = command_line(__doc__, maps=False)
    set_up_logging(out / "run.log")

    from kvelo.py.chronoplex import process_time_series_plot_from_file
    from kvelo.py.figdefaults import set_kvelo_plot_style

    set_kvelo_plot_style()

    # The io sibling reads units from "[unit]" in a CSV header.
    table_path = out / "O3_daily.csv"
    make_table().rename(columns=lambda c: f"{c} [ppb]" if c.startswith("O3_") else c).to_csv(
        table_path, index=False)

    started = time.perf_counter()
    process_time_series_plot_from_file(
        data_file_base=str(table_path),
        data_format="csv",
        model_files_dict="",
        plot_file_base=str(out / "O3_daily"),
        save_plot_formats=args.formats,
        config=dict(CONFIG),
        plot_title="Daily ozone",
        variable="O3",
        tavg="daily",
        debug=False,
        use_collocation=True,
    )
    took = time.perf_counter() - started
    list_written(out, begun, took)

if __name__ == "__main__":
    main()
