#!/usr/bin/env python3
"""Reads the JSON output of idxreports_bench and prints two tables: each figure
of the library beside its floor, as medians over the repetitions, with the ratio
and the target it has to meet; and the scale table, the disk-sample figures at
one day, one year and ten years of samples, with each one's peak memory, and an
append to files of 1 MB and of 1 GiB side by side.

    table.py RESULTS.json [--readme README.md]

With --readme, each table that the run measured (and the machine it ran on)
replaces what stands between its markers in README.md's "## Performance"
section (bench-table, scale-table); the section and the markers are created at
the end of the file when missing.
"""
import json
import os
import platform
import re
import statistics
import subprocess
import sys

# A figure held to a rate rather than a time: its ratio is records per second,
# ours over the floor's, and has to reach the target.
RATE_TARGET = ("rate", 0.7)
CONTENDED_RECORDS = 4 * 5000
RECORDS = {"Contended_4x5000": CONTENDED_RECORDS}

# (benchmark, what it measures, the floor it is held against, target ratio)
FIGURES = [
    ("Append_JobStats_1M", "append 1,000,000 job statistics records (AddRecord)", "floor", 1.5),
    ("Append_Stubs_1M", "append 1,000,000 dangling stubs (AddDanglingStubsInfo)", "floor", 1.5),
    ("Append_Disk_1M", "append 1,000,000 disk samples (AddRecord)", "floor", 1.5),
    ("LoadAll_JobStats_1M", "LoadAll, 1,000,000 job statistics lines", "floor", 1.8),
    ("LoadAll_Disk_1M", "LoadAll, 1,000,000 disk samples", "floor", 2.2),
    ("ForEach_JobStats_1M", "ForEach, 1,000,000 job statistics lines", "floor", None),
    ("ForEach_Disk_1M", "ForEach, 1,000,000 disk samples", "floor", None),
    ("OpenCount_1GB", "open a 1 GiB report for appending (lines counted when asked)", "wc", 1.0),
    ("OpenCount_1GB", "the same, against read() in 1 MiB blocks + memchr", "floor", None),
    ("ForEach_JobStats_1GB", "ForEach over the 1 GiB report", "floor", None),
    ("Cycle_JobStats_10k", "open, AddJobStats, close on a 10,000-line JobStats.csv", "floor", 1.5),
    ("Contended_4x5000", "4 processes x 5,000 open, append, close of a disk sample, one report", "floor",
     RATE_TARGET),
    ("SetInvalidJobs_10k", "SetInvalidJobs on a full 10,000-row JobStats.csv", "floor", None),
    ("DiskFree_Year", "LoadIndexCacheDiskFreeSpace, a year of one-minute samples", "floor", 1.5),
    ("ForEach_Disk_BadNumbers_1M", "ForEach, 1,000,000 disk samples whose numbers do not convert", "good", 1.5),
    ("Lock_AcquireRelease", "uncontended lock + unlock (IdxNamedMutex against flock)", "floor", 2.0),
    ("Metrics_FullDirectory", "idxreport metrics: JobStats.csv, its .old, two disk files of a year of samples",
     "floor", None),
]

FLOOR_NAMES = {
    "floor": "floor",
    "wc": "`wc -l`",
    "good": "numbers that convert",
}

# The scale table: (benchmark prefix, what it measures), at each scale.
SCALES = [("Day", "1 day (1,440)"), ("Year", "1 year (525,600)"), ("TenYears", "10 years (5,256,000)")]
SCALE_FIGURES = [
    ("Cycle_Disk", "ours", "open, append one sample, close"),
    ("Cycle_Disk", "floor", "floor: open, flock, one write, close"),
    ("DiskFree", "ours", "LoadIndexCacheDiskFreeSpace"),
    ("DiskFree", "floor", "floor: streamed, from_chars, averaged"),
]
# Open, append, close on files of two sizes: the larger may cost this much more.
SIZES = [("1MB", "1 MB"), ("1GiB", "1 GiB")]
SIZE_TARGET = 1.5

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load(path):
    with open(path) as f:
        data = json.load(f)
    times, counters, errors = {}, {}, {}
    for b in data.get("benchmarks", []):
        # Benchmarks timed in wall-clock time carry a "/real_time" suffix.
        # A fixed iteration count adds "/iterations:N" before it.
        name = re.sub(r"(/iterations:\d+)?(/real_time)?$", "", b.get("run_name", b["name"]))
        if b.get("error_occurred"):
            errors[name] = b.get("error_message", "error")
            continue
        if b.get("run_type", "iteration") != "iteration":
            continue
        times.setdefault(name, []).append(b["real_time"] * UNIT_NS[b.get("time_unit", "ns")])
        for key in ("peak_rss_MiB", "peak_rss_empty_MiB"):
            if key in b:
                counters.setdefault(name, {})[key] = b[key]
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


def show_rate(records, ns):
    return "—" if not ns else f"{records / (ns / 1e9):,.0f} records/s"


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
        records = RECORDS.get(key)
        if ours and base and isinstance(target, tuple):
            ratio = base / ours
            ratio_text = f"{ratio:.2f}× the rate"
            verdict = f"≥ {target[1]:g}×: " + ("met" if ratio >= target[1] else "**missed**")
        elif ours and base:
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
        ours_text, base_text = show_time(ours), show_time(base)
        if records:
            ours_text += f", {show_rate(records, ours)}"
            base_text += f", {show_rate(records, base)}"
        floor_text = f"{base_text} ({FLOOR_NAMES[floor]})"
        rows.append(f"| {what} | {ours_text} | {floor_text} | {ratio_text} | {verdict} |")
    notes = [f"Medians of {reps} repetitions, wall-clock time."]
    walk = counters.get("ForEach_JobStats_1GB/ours", {})
    if "peak_rss_MiB" in walk:
        notes.append(
            f"Peak resident memory of a process that walks the 1 GiB report with ForEach: "
            f"{walk['peak_rss_MiB']:.1f} MiB (the same walk over a report with no data lines: "
            f"{walk.get('peak_rss_empty_MiB', float('nan')):.1f} MiB).")
    ours = medians.get("Contended_4x5000/ours")
    floor, reopen = medians.get("Contended_4x5000/floor"), medians.get("Contended_4x5000/reopen")
    if ours and floor:
        rate = lambda ns: show_rate(CONTENDED_RECORDS, ns)
        notes.append(
            f"Contended appends: {rate(ours)}; floor (flock, one write, unlock on a descriptor each process "
            f"holds) {rate(floor)}: {floor / ours:.2f}x the floor's rate"
            + (f"; against the same with an open and a close per record, {rate(reopen)}: {reopen / ours:.2f}x"
               if reopen else "") + ".")
    return "\n".join(rows) + "\n\n" + "\n".join(notes) + "\n"


def scale_table(medians, counters):
    """The scale table, or None when the run measured none of it."""
    measured = [s for s in SCALES if any(f"{p}_{s[0]}/{side}" in medians for p, side, _ in SCALE_FIGURES)]
    sizes = size_rows(medians, counters)
    if not measured:
        return sizes
    rows = ["| figure | " + " | ".join(label for _, label in measured) + " |",
            "|---|" + "---:|" * len(measured)]
    for prefix, side, what in SCALE_FIGURES:
        cells = []
        for scale, _ in measured:
            name = f"{prefix}_{scale}/{side}"
            peak = counters.get(name, {}).get("peak_rss_MiB")
            peak_text = f", {peak:.1f} MiB" if peak is not None and peak >= 0 else ""
            cells.append(show_time(medians.get(name)) + peak_text)
        rows.append(f"| {what} | " + " | ".join(cells) + " |")
    notes = ["Time (median, wall clock), then the peak resident memory of a fresh process that does the "
             "same once."]
    first, last = measured[0][0], measured[-1][0]
    a, b = medians.get(f"Cycle_Disk_{first}/ours"), medians.get(f"Cycle_Disk_{last}/ours")
    if a and b and first != last:
        notes.append(f"Open, append, close: {b / a:.2f}x from {first} to {last}.")
    for scale, _ in measured:
        ours, floor = medians.get(f"DiskFree_{scale}/ours"), medians.get(f"DiskFree_{scale}/floor")
        if ours and floor:
            notes.append(f"Daily averages, {scale}: {ours / floor:.2f}x the floor.")
    pa = counters.get(f"DiskFree_{first}/ours", {}).get("peak_rss_MiB")
    pb = counters.get(f"DiskFree_{last}/ours", {}).get("peak_rss_MiB")
    if pa is not None and pb is not None and first != last:
        notes.append(f"Peak memory of the daily averages, {last} less {first}: {pb - pa:.1f} MiB.")
    return "\n".join(rows) + "\n\n" + " ".join(notes) + "\n" + ("\n" + sizes if sizes else "")


def size_rows(medians, counters):
    """Open, append, close on the 1 MB and the 1 GiB file, and the ratio of the two; None unmeasured."""
    names = [f"Cycle_Disk_{size}/{side}" for size, _ in SIZES for side in ("ours", "floor")]
    if not any(name in medians for name in names):
        return None
    rows = ["| figure | " + " | ".join(f"{label} file" for _, label in SIZES) + " | 1 GiB / 1 MB |",
            "|---|" + "---:|" * (len(SIZES) + 1)]
    lines = []
    for side, what in (("ours", "open, append one sample, close"), ("floor", "floor: open, flock, one write, close")):
        cells = []
        for size, _ in SIZES:
            name = f"Cycle_Disk_{size}/{side}"
            peak = counters.get(name, {}).get("peak_rss_MiB")
            cells.append(show_time(medians.get(name)) + (f", {peak:.1f} MiB" if peak is not None and peak >= 0 else ""))
        small, large = medians.get(f"Cycle_Disk_1MB/{side}"), medians.get(f"Cycle_Disk_1GiB/{side}")
        ratio = f"{large / small:.2f}×" if small and large else "—"
        if side == "ours" and small and large:
            verdict = "met" if large / small <= SIZE_TARGET else "**missed**"
            lines.append(f"Open, append, close on 1 GiB against 1 MB: {large / small:.2f}x "
                         f"(target ≤ {SIZE_TARGET:g}x: {verdict}).")
        rows.append(f"| {what} | " + " | ".join(cells) + f" | {ratio} |")
    return "\n".join(rows) + "\n\n" + " ".join(lines) + "\n"


def update_readme(path, text, marker="bench-table"):
    begin, end = f"<!-- {marker}:begin -->", f"<!-- {marker}:end -->"
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
    load_avg = os.environ.get("IDXREPORTS_BENCH_LOAD", "")
    where = f"\nMachine: {machine()}." + (f" Load average before the run: {load_avg}." if load_avg else "") + "\n"
    # The main table only when the run measured some of it: a run of the scale
    # figures alone must not blank it in the README.
    main_keys = [f"{key}/{side}" for key, _, floor, _ in FIGURES for side in ("ours", floor)
                 if not key.startswith(tuple(prefix + "_" for prefix, _, _ in SCALE_FIGURES))]
    text = table(medians, counters, errors, reps) + where if any(k in medians for k in main_keys) else None
    scale = scale_table(medians, counters)
    scale = scale + where if scale else None
    for block in (text, scale):
        if block:
            print(block)
    if len(argv) == 4:
        if text:
            update_readme(argv[3], text)
        if scale:
            update_readme(argv[3], scale, "scale-table")


if __name__ == "__main__":
    main(sys.argv)
