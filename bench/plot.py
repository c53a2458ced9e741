"""The plot of the per-request overhead, drawn by gnuplot where it is installed."""

import math
import os
import shutil
import subprocess

from figures import TARGET_OVERHEAD_P99_MS


def plot(rows, out_png, work, label):
    """The distribution of the per-request overhead, as cumulative curves; gnuplot draws it."""
    gnuplot = shutil.which("gnuplot")
    if gnuplot is None:
        return "gnuplot not found (apt-get install gnuplot-nox): no plot, the table stands"
    # gnuplot lists its terminals on stderr; pngcairo draws better, png is there without cairo.
    listed = subprocess.run([gnuplot, "-e", "set terminal"], capture_output=True, timeout=30)
    terminal = ("set terminal pngcairo size 900,560 font 'sans,10'"
                if b"pngcairo" in listed.stdout + listed.stderr else "set terminal png size 900,560")
    data = os.path.join(work, "overhead.dat")
    every = [x[key] for x in rows for key in ("ack_ms", "result_ms")]
    low, high = min(every), max(every)
    series = [("ack_ms", "p", "P: request → acknowledgement"),
              ("ack_ms", "r", "R: request → acknowledgement"),
              ("result_ms", "p", "P: reply → result"),
              ("result_ms", "r", "R: reply → result")]
    with open(data, "w") as f:
        for key, kind, _ in series:
            values = sorted(x[key] for x in rows if x["kind"] == kind)
            for i, v in enumerate(values):
                f.write("%.4f %.5f\n" % (v, (i + 1) / len(values)))
            f.write("\n\n")
    plots = ", ".join("'%s' index %d using 1:2 with steps lw 2 title '%s'" % (data, i, title)
                      for i, (_, _, title) in enumerate(series))
    script = "\n".join([
        terminal,
        "set output '%s'" % out_png,
        "set title 'okvbridge (%s): overhead per request beyond the waits of the design and the "
        "runtime'" % label,
        "set xlabel 'overhead (ms)'",
        "set ylabel 'fraction of requests at or below'",
        "set yrange [0:1.02]",
        "set xrange [%g:%g]" % (min(0, math.floor(low)), max(TARGET_OVERHEAD_P99_MS + 1,
                                                                math.ceil(high))),
        "set grid",
        "set key outside below",
        "set arrow from %g, graph 0 to %g, graph 1 nohead dt 2 lc rgb 'red'" % (
            TARGET_OVERHEAD_P99_MS, TARGET_OVERHEAD_P99_MS),
        "set label 'target p99' at %g, graph 0.5 offset 0.5,0 textcolor rgb 'red'" % (
            TARGET_OVERHEAD_P99_MS),
        "plot " + plots, ""])
    proc = subprocess.run([gnuplot], input=script.encode(), capture_output=True, timeout=60)
    os.unlink(data)
    if proc.returncode != 0:
        return "gnuplot failed: %s" % proc.stderr.decode(errors="replace").strip()[:300]
    return None
