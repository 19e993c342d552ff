"""Failures of our own native code reach the caller in the interpreter's words:
a native allocation that fails is MemoryError, as the library formulation's
allocation would be."""
import os

from support.child import run_python

CHILD = r"""
import resource
import sys

import pandas as pd
from kvelo.py import statistics as st


def address_space():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024


# Twenty stations of 300 000 rows share their lists, so the tables are small
# while the pooled rows (6 million per column) are not.
n = 300_000
times = list(pd.date_range("2024-01-01", periods=n, freq="min"))
station = {"site_name": "S", "lat": 1.0, "lon": 2.0, "elevation_m": 3.0, "time": times,
           "X_obs": [1.0] * n, "X_a": [2.0] * n}
data = {f"S{i}": dict(station, site_id=f"S{i}") for i in range(20)}
if sys.argv[1] == "limit":
    # Room for small objects only: the pool's columns cannot be had.
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + (40 << 20), resource.RLIM_INFINITY))
try:
    st.compute_regional_statistics(data, "X", "hourly")
except Exception as e:
    print(type(e).__name__, str(e))
else:
    print("returned")
"""


def test_a_failed_native_allocation_is_memory_error(tmp_path):
    env = dict(os.environ)
    sanitized = "asan" in env.get("LD_PRELOAD", "")
    if sanitized:
        # The sanitizer's runtime reserves address space of its own; it caps
        # one allocation instead and returns no memory beyond that cap.  It
        # warns of each refusal, in a log of this test's own.
        env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "")
                               + ":allocator_may_return_null=1:max_allocation_size_mb=16"
                               + f":log_path={tmp_path / 'asan'}")
    proc = run_python(CHILD, "cap" if sanitized else "limit", options=("-W", "ignore"), env=env,
                      timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.strip() == "MemoryError", proc.stdout + proc.stderr[-3000:]
    reports = [line for log in tmp_path.glob("asan*") for line in log.read_text().splitlines()]
    assert all("failed to allocate" in line for line in reports if line.strip()), reports
