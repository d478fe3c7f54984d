#!/usr/bin/env python3
"""Reads the JSON output of idxreports_bench and prints one table: each figure of
the library beside its floor, as medians over the repetitions, with the ratio and
the target it has to meet.

    table.py RESULTS.json [--readme README.md]

With --readme, the table (and the machine it ran on) replaces what stands between
the bench-table markers of README.md's "## Performance" section; the section and
the markers are created at the end of the file when missing.
"""
import json
import os
import platform
import re
import statistics
import subprocess
import sys

# (benchmark, what it measures, the floor it is held against, target ratio)
FIGURES = [
    ("Append_JobStats_1M", "append 1,000,000 job statistics records (AddRecord)", "floor", 1.5),
    ("Append_Stubs_1M", "append 1,000,000 dangling stubs (AddDanglingStubsInfo)", "floor", 1.5),
    ("Append_Disk_1M", "append 1,000,000 disk samples (AddRecord)", "floor", 1.5),
    ("LoadAll_JobStats_1M", "LoadAll, 1,000,000 job statistics lines", "floor", 1.8),
    ("LoadAll_Disk_1M", "LoadAll, 1,000,000 disk samples", "floor", 2.2),
    ("ForEach_JobStats_1M", "ForEach, 1,000,000 job statistics lines", "floor", None),
    ("ForEach_Disk_1M", "ForEach, 1,000,000 disk samples", "floor", None),
    ("OpenCount_1GB", "open a 1 GiB report for appending (counts its lines)", "wc", 1.0),
    ("OpenCount_1GB", "the same, against read() in 1 MiB blocks + memchr", "floor", None),
    ("ForEach_JobStats_1GB", "ForEach over the 1 GiB report", "floor", None),
    ("Cycle_JobStats_10k", "open, AddJobStats, close on a 10,000-line JobStats.csv", "floor", 1.5),
    ("SetInvalidJobs_10k", "SetInvalidJobs on a full 10,000-row JobStats.csv", "floor", None),
    ("DiskFreeYear_525600", "LoadIndexCacheDiskFreeSpace, a year of one-minute samples", "floor", None),
    ("Lock_AcquireRelease", "uncontended lock + unlock (IdxNamedMutex against flock)", "floor", 2.0),
]

FLOOR_NAMES = {
    "floor": "floor",
    "wc": "`wc -l`",
}

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load(path):
    with open(path) as f:
        data = json.load(f)
    times, counters, errors = {}, {}, {}
    for b in data.get("benchmarks", []):
        # Benchmarks timed in wall-clock time carry a "/real_time" suffix.
        name = re.sub(r"/real_time$", "", b.get("run_name", b["name"]))
        if b.get("error_occurred"):
            errors[name] = b.get("error_message", "error")
            continue
        if b.get("run_type", "iteration") != "iteration":
            continue
        times.setdefault(name, []).append(b["real_time"] * UNIT_NS[b.get("time_unit", "ns")])
        for key in ("peak_rss_MiB", "peak_rss_empty_MiB"):
            if key in b:
                counters[key] = b[key]
    medians = {name: statistics.median(values) for name, values in times.items()}
    reps = max((len(v) for v in times.values()), default=0)
    return medians, counters, errors, reps, data.get("context", {})


def show_time(ns):
    if ns is None:
        return "—"
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}" if ns / scale < 100 else f"{ns / scale:.0f} {unit}"
    return f"{ns:.3g} ns"


def machine():
    model = cores = ""
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in out.splitlines():
            key, _, value = line.partition(":")
            if key.strip() == "Model name":
                model = value.strip()
            elif key.strip() == "CPU(s)":
                cores = value.strip()
    except OSError:
        pass
    memory = ""
    try:
        with open("/proc/meminfo") as f:
            kib = int(re.search(r"MemTotal:\s+(\d+)", f.read()).group(1))
            memory = f"{kib / 1048576:.0f} GiB"
    except (OSError, AttributeError):
        pass
    compiler = os.environ.get("IDXREPORTS_BENCH_COMPILER", "")
    return f"{model}, {cores} cores, {memory} memory, Linux {platform.release()}, {compiler}".strip(", ")


def table(medians, counters, errors, reps):
    rows = ["| figure | ours | floor | ratio | target |", "|---|---:|---|---:|---|"]
    for key, what, floor, target in FIGURES:
        ours = medians.get(key + "/ours")
        base = medians.get(key + "/" + floor)
        if ours and base:
            ratio = ours / base
            ratio_text = f"{ratio:.2f}×"
            if target is None:
                verdict = ""
            else:
                verdict = f"≤ {target:g}×: " + ("met" if ratio <= target else "**missed**")
        else:
            ratio_text = "—"
            failed = errors.get(key + "/ours") or errors.get(key + "/" + floor)
            verdict = f"not measured ({failed})" if failed else "not measured"
        floor_text = f"{show_time(base)} ({FLOOR_NAMES[floor]})"
        rows.append(f"| {what} | {show_time(ours)} | {floor_text} | {ratio_text} | {verdict} |")
    notes = [f"Medians of {reps} repetitions, wall-clock time."]
    if "peak_rss_MiB" in counters:
        notes.append(
            f"Peak resident memory of a process that walks the 1 GiB report with ForEach: "
            f"{counters['peak_rss_MiB']:.1f} MiB (the same walk over a report with no data lines: "
            f"{counters.get('peak_rss_empty_MiB', float('nan')):.1f} MiB).")
    return "\n".join(rows) + "\n\n" + "\n".join(notes) + "\n"


def update_readme(path, text):
    begin, end = "<!-- bench-table:begin -->", "<!-- bench-table:end -->"
    block = f"{begin}\n{text}{end}"
    with open(path) as f:
        readme = f.read()
    if begin in readme and end in readme:
        readme = readme[: readme.index(begin)] + block + readme[readme.index(end) + len(end):]
    else:
        if "## Performance" not in readme:
            readme = readme.rstrip("\n") + "\n\n## Performance\n"
        # Put the block at the end of the Performance section.
        start = readme.index("## Performance")
        nxt = re.search(r"^## ", readme[start + 3:], re.M)
        at = start + 3 + nxt.start() if nxt else len(readme)
        readme = readme[:at].rstrip("\n") + "\n\n" + block + "\n" + ("\n" + readme[at:] if nxt else "")
    with open(path, "w") as f:
        f.write(readme)


def main(argv):
    if len(argv) not in (2, 4) or (len(argv) == 4 and argv[2] != "--readme"):
        sys.exit(__doc__)
    medians, counters, errors, reps = load(argv[1])[:4]
    text = table(medians, counters, errors, reps)
    load_avg = os.environ.get("IDXREPORTS_BENCH_LOAD", "")
    text += f"\nMachine: {machine()}." + (f" Load average before the run: {load_avg}." if load_avg else "") + "\n"
    print(text)
    if len(argv) == 4:
        update_readme(argv[3], text)


if __name__ == "__main__":
    main(sys.argv)
