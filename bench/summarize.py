#!/usr/bin/env python3
"""Turns Google Benchmark JSON files (run with repetitions) into the markdown
table of bench/README.md: the median of every benchmark, its throughput and
its time per item (per note for the document benchmarks); then each format's
ratio against its baseline of the same run, and the model's per-note growth.

Usage: bench/summarize.py RESULT.json...
"""
import json
import re
import sys

UNIT = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def fmt_time(seconds):
    if seconds >= 1:
        return "%.2f s" % seconds
    if seconds >= 1e-3:
        return "%.1f ms" % (seconds * 1e3)
    if seconds >= 1e-6:
        return "%.1f µs" % (seconds * 1e6)
    return "%.0f ns" % (seconds * 1e9)


def fmt_rate(bytes_per_second):
    if not bytes_per_second:
        return ""
    return "%.0f MB/s" % (bytes_per_second / 1e6) if bytes_per_second >= 1e7 else "%.1f MB/s" % (
        bytes_per_second / 1e6)


# The goals: each row of a format against the work it cannot skip, measured in
# the same run. (label, numerator, [denominators: the larger one counts], goal).
RATIOS = [
    ("load .qyd / libxml2 htmlReadMemory (file read included)",
     "Load.qyd", ["BM_LibxmlReadFile"], 0.5),
    ("save .qyd / plain write + fsync", "Save.qyd", ["BM_PlainFileWrite"], 4.0),
    ("save .qyz / max(save .qyd, deflate level 4)", "Save.qyz", ["Save.qyd", "BM_ZlibDeflateLevel4"], 1.15),
    ("save .qye / max(save .qyd, deflate level 4)", "Save.qye", ["Save.qyd", "BM_ZlibDeflateLevel4"], 1.15),
    ("load .qyz / max(load .qyd, inflate)", "Load.qyz", ["Load.qyd", "BM_ZlibInflate"], 1.1),
    ("load .qye / max(load .qyd, inflate)", "Load.qye", ["Load.qyd", "BM_ZlibInflate"], 1.1),
    ("save-as .qydb / raw SQLite bulk insert of the same rows",
     "BM_SaveNewDatabase", ["BM_RawBulkInsert"], 1.25),
    ("quillery info x.qydb / quillery info x.qyd (whole process)", "info.qydb", ["info.qyd"], 0.3),
]
# Per-note cost at the largest size against the smallest (model_bench).
GROWTH = [("BM_BuildTree", 1.5), ("BM_WalkAll", 1.5), ("BM_BulkPushAndRebuild", 1.5)]


def print_ratios(medians):
    """medians: benchmark name -> (seconds, items_per_second)."""
    sizes = sorted({int(n.rsplit("/", 1)[1]) for n in medians
                    if n.startswith("Load.qyd/") and n.rsplit("/", 1)[1].isdigit()})
    lines = []
    for label, num, dens, goal in RATIOS:
        for size in sizes:
            key = lambda name: "%s/%d" % (name, size)
            if key(num) not in medians or not all(key(d) in medians for d in dens):
                continue
            base = max(medians[key(d)][0] for d in dens)
            ratio = medians[key(num)][0] / base
            lines.append("| %s | %d | %s | %s | %.2f | <= %.2f |" % (
                label, size, fmt_time(medians[key(num)][0]), fmt_time(base), ratio, goal))
    for name, goal in GROWTH:
        per = {int(n.rsplit("/", 1)[1]): v[1] for n, v in medians.items()
               if n.startswith(name + "/") and v[1]}
        if len(per) < 2:
            continue
        small, large = min(per), max(per)
        ratio = per[small] / per[large]
        lines.append("| %s per note, %d vs %d notes | %d | %s | %s | %.2f | <= %.2f |" % (
            name, large, small, large, fmt_time(1 / per[large]), fmt_time(1 / per[small]), ratio, goal))
    if lines:
        print()
        print("| ratio | notes | time | baseline | ratio | goal |")
        print("|---|---:|---:|---:|---:|---:|")
        for line in lines:
            print(line)


def main(paths):
    context = None
    rows = []
    medians = {}
    for path in paths:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
        context = context or data.get("context", {})
        program = path.rsplit("/", 1)[-1].rsplit(".", 1)[0]
        # Interleaved repetitions report in the order they ended; the table
        # lists the rows in the order the program declares them.
        order = lambda b: (b.get("family_index", 0), b.get("per_family_instance_index", 0))
        for b in sorted(data.get("benchmarks", []), key=order):
            if b.get("aggregate_name", "median") != "median" or b.get("error_occurred"):
                continue
            name = b.get("run_name", b["name"]).replace("/real_time", "")
            seconds = b["real_time"] * UNIT[b.get("time_unit", "ns")]
            # Rates are per second of the calling thread's CPU time unless the
            # benchmark asked for real time; work on worker threads would then
            # look free, so every rate is turned into one of elapsed time.
            to_real = 1.0
            if "/real_time" not in b["name"] and b.get("real_time") and b.get("cpu_time"):
                to_real = b["cpu_time"] / b["real_time"]
            items = b.get("items_per_second", 0) * to_real
            per_item = fmt_time(1.0 / items) if items else ""
            rate = b.get("bytes_per_second", 0) * to_real
            rows.append((program, name, fmt_time(seconds), fmt_rate(rate), per_item))
            # Ratios name a benchmark by size alone (a fixed iteration count
            # is left out).
            medians[re.sub(r"/iterations:\d+$", "", name)] = (seconds, items or None)

    if context:
        caches = ", ".join("L%d %s %d KiB" % (c["level"], c["type"].lower(), c["size"] // 1024)
                           for c in context.get("caches", []))
        print("Machine: %d CPUs at %d MHz; %s; load average at the start %s; %s." % (
            context.get("num_cpus", 0), context.get("mhz_per_cpu", 0), caches,
            " ".join("%.1f" % x for x in context.get("load_avg", [])), context.get("date", "")))
        print()
    print("| program | benchmark | time (median) | throughput | per item |")
    print("|---|---|---:|---:|---:|")
    for r in rows:
        print("| %s | %s | %s | %s | %s |" % r)
    print_ratios(medians)


if __name__ == "__main__":
    main(sys.argv[1:])
