#!/usr/bin/env python3
"""Turns Google Benchmark JSON files (run with repetitions) into the markdown
table of bench/README.md: the median of every benchmark, its throughput and
its time per item (per note for the document benchmarks).

Usage: bench/summarize.py RESULT.json...
"""
import json
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


def main(paths):
    context = None
    rows = []
    for path in paths:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
        context = context or data.get("context", {})
        program = path.rsplit("/", 1)[-1].rsplit(".", 1)[0]
        for b in data.get("benchmarks", []):
            if b.get("aggregate_name", "median") != "median" or b.get("error_occurred"):
                continue
            name = b.get("run_name", b["name"]).replace("/real_time", "")
            seconds = b["real_time"] * UNIT[b.get("time_unit", "ns")]
            per_item = ""
            if b.get("items_per_second"):
                per_item = fmt_time(1.0 / b["items_per_second"])
            rows.append((program, name, fmt_time(seconds), fmt_rate(b.get("bytes_per_second")), per_item))

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


if __name__ == "__main__":
    main(sys.argv[1:])
