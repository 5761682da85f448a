#!/usr/bin/env python3
"""Whole-process timings of the host program, written as a Google Benchmark
JSON file (medians only) so that bench/summarize.py lists them with the rest.

For each size it generates the sample document (.qyd), converts it to a
database (.qydb) and times `quillery -q info` on both files, REPS runs each,
alternating, so that both see the same machine.

Usage: bench/host_bench.py QUILLERY OUT.json REPS [SIZE...]
"""
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def run(cmd):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)


def timed(cmd):
    start = time.perf_counter()
    run(cmd)
    return time.perf_counter() - start


def main(quillery, out, reps, sizes):
    rows = []
    work = tempfile.mkdtemp(prefix="qy_host_bench.")
    try:
        for n in sizes:
            qyd = os.path.join(work, "doc%d.qyd" % n)
            qydb = os.path.join(work, "doc%d.qydb" % n)
            run([quillery, "-q", "generate", str(n), qyd])
            run([quillery, "-q", "convert", qyd, qydb])
            times = {"qyd": [], "qydb": []}
            for _ in range(reps):
                for ext, path in (("qyd", qyd), ("qydb", qydb)):
                    times[ext].append(timed([quillery, "-q", "info", path]))
            for ext in ("qyd", "qydb"):
                median = statistics.median(times[ext])
                name = "info.%s/%d" % (ext, n)
                rows.append({"name": name, "run_name": name, "aggregate_name": "median", "real_time": median,
                             "time_unit": "s", "items_per_second": n / median})
    finally:
        shutil.rmtree(work, ignore_errors=True)
    with open(out, "w", encoding="utf-8") as f:
        json.dump({"context": {}, "benchmarks": rows}, f, indent=1)


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]), [int(s) for s in sys.argv[4:]] or [50000, 100000])
