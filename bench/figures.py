"""The bench's targets and the statistics it judges them by."""

import math
import statistics

TARGET_OVERHEAD_P99_MS = 5.0
TARGET_PERIOD_MS = (1000.0, 1002.0)  # the cycle period less the runtime's time
TARGET_IDLE_CPU_PERCENT = 0.02  # with a runtime that completes at the first fetch
TARGET_PEAK_RSS_KB = 3 * 1024
# okvbridge-run, which only waits on the bridge and looks at the port every 2 s.
TARGET_RUN_CPU_PERCENT = 0.01
TARGET_RUN_RSS_KB = 2 * 1024


def percentile(values, p):
    """Nearest-rank percentile of a non-empty list."""
    ordered = sorted(values)
    rank = max(1, math.ceil(p / 100.0 * len(ordered)))
    return ordered[rank - 1]


def stats(values):
    return {"median": statistics.median(values), "p99": percentile(values, 99), "max": max(values),
            "min": min(values), "mean": statistics.fmean(values), "n": len(values)}


def in_period_target(value):
    return TARGET_PERIOD_MS[0] <= value <= TARGET_PERIOD_MS[1]
