#!/usr/bin/env python3
"""The driver of bench/compare.sh: measures Vornmount, archivemount and 7z side by side
on the generated archives and prints the figures as Markdown tables.

  compare.py --probe PROBE --vornmount PROGRAM --data FOLDER [--quick] [--limit SECONDS]
             [--runs N] [--only small,large,nonsolid,bigblock]

Every measurement starts a fresh mount (or a fresh 7z), with the archive in the page
cache; a figure is the best of N runs. A step that takes longer than the limit is shown
as "> limit" and not run again.
"""

import argparse
import os
import random
import subprocess
import sys
import tempfile

MIB = 1 << 20
# The 200 random reads: 64 KiB at a random offset of a random file, or the whole file
# when it is smaller.
RANDOM_READS = 200
RANGE = 64 << 10
# Readers at once on the big block: one pass serves them all, or each waits for its own.
PARALLEL_READERS = 16

# key: (title, make_bench_data kind, files, MiB, quick files, quick MiB)
ARCHIVES = {
    "small": ("many small files, solid", "small", 20000, 150, 2000, 15),
    "large": ("a few large files, solid", "large", 4, 400, 4, 40),
    "nonsolid": ("small files, non-solid", "nonsolid", 5000, 50, 500, 5),
    "bigblock": ("one big solid block", "bigblock", 62, 1024, 14, 100),
}
TOOLS = ["Vornmount", "archivemount", "7z"]


def archive_of(data, key, quick):
    _, kind, files, mb, quick_files, quick_mb = ARCHIVES[key]
    if quick:
        files, mb = quick_files, quick_mb
    path = os.path.join(data, f"{kind}-{files}-{mb}.7z")
    if not os.path.exists(path):
        os.makedirs(data, exist_ok=True)
        print(f"Generating {path} ...", file=sys.stderr)
        subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__),
                                                     "make_bench_data.py"),
                        kind, path, str(files), str(mb)], check=True)
    return path


def listing(archive):
    """(files as (path, size) in archive order, number of blocks)."""
    out = subprocess.run(["7z", "l", "-slt", archive], capture_output=True, text=True,
                         check=True).stdout
    files, blocks, entry = [], 1, {}
    for line in out.splitlines() + [""]:
        if line.startswith("Blocks = "):
            blocks = int(line[9:])
        elif " = " in line:
            key, value = line.split(" = ", 1)
            entry[key] = value
        elif not line and entry:
            if "Size" in entry and not entry.get("Attributes", "").startswith("D") \
                    and entry.get("Folder") != "+":
                files.append((entry["Path"], int(entry["Size"] or 0)))
            entry = {}
    return files, blocks


def probe(args, *probe_args):
    out = subprocess.run([args.probe, *probe_args], capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit(f"compare.py: {' '.join(probe_args)} failed:\n{out.stderr}")
    # A figure is seconds, None for a timeout, or the text of a failure.
    figures, failure = {}, "failed"
    for line in out.stdout.splitlines():
        name, value = line.split(" ", 1)
        if name == "error":
            failure = value
        else:
            figures[name] = None if value == "timeout" else value if value == "error" \
                else float(value)
    return {name: failure if value == "error" else value for name, value in figures.items()}


class Results:
    """The best figure per (tool, measure) over the runs; once a run timed out (None) or
    failed (its text), that stays."""

    def __init__(self):
        self.best = {}
        self.peak = {}

    def add(self, tool, measure, value):
        key = (tool, measure)
        old = self.best.get(key)
        if key not in self.best or isinstance(old, float) and \
                (not isinstance(value, float) or value < old):
            self.best[key] = value

    def timed_out(self, tool, measure):
        return (tool, measure) in self.best and not isinstance(self.best[(tool, measure)], float)

    def add_peak(self, tool, kib):
        if kib:
            self.peak[tool] = max(self.peak.get(tool, 0), kib)


def measure(args, key, archive, limit, results):
    files, blocks = listing(archive)
    r = random.Random(20261210)
    reads = []
    for _ in range(RANDOM_READS):
        path, size = r.choice(files)
        if size > RANGE:
            reads.append((r.randrange(0, size - RANGE + 1), RANGE, path))
        else:
            reads.append((0, 0, path))
    work = tempfile.mkdtemp(prefix="vornmount-compare-")
    mountpoint = os.path.join(work, "mnt")
    os.mkdir(mountpoint)
    ranges = os.path.join(work, "ranges.txt")
    with open(ranges, "w") as f:
        f.writelines(f"{o} {n} {p}\n" for o, n, p in reads)
    names = os.path.join(work, "names.txt")
    with open(names, "w") as f:
        f.writelines(f"{p}\n" for p in sorted({p for _, _, p in reads}))
    with open(archive, "rb") as f:  # in the page cache for everyone alike
        while f.read(8 * MIB):
            pass

    mounters = {
        "Vornmount": [args.vornmount, archive, mountpoint],
        "archivemount": ["archivemount", "-o", "readonly", "-f", archive, mountpoint],
    }
    steps = [("list-read", None), (f"ranges:{ranges}", "ranges_seconds")]
    sevenzip = [("mount_list_seconds", ["7z", "l", archive], "seconds"),
                ("read_all_seconds", ["7z", "x", "-so", archive], "seconds"),
                ("ranges_seconds", ["7z", "x", "-so", archive, f"@{names}"], "seconds")]
    if key == "bigblock":
        steps += [("first:a-first.txt", "first_byte_seconds"),
                  ("first:z-last.txt", "last_byte_seconds"),
                  (f"parallel:{PARALLEL_READERS}", "parallel_read_seconds")]
        sevenzip += [("first_byte_seconds", ["7z", "x", "-so", archive, "a-first.txt"],
                      "first_byte_seconds"),
                     ("last_byte_seconds", ["7z", "x", "-so", archive, "z-last.txt"],
                      "first_byte_seconds")]
    try:
        for _ in range(args.runs):
            for tool, command in mounters.items():
                for step, name in steps:
                    measures = ["mount_list_seconds", "read_all_seconds"] if name is None \
                        else [name]
                    if all(results.timed_out(tool, m) for m in measures):
                        continue
                    figures = probe(args, "mount", mountpoint, str(limit), step, "--", *command)
                    if name is not None and name != "first_byte_seconds" \
                            and "first_byte_seconds" in figures:
                        figures[name] = figures.pop("first_byte_seconds")
                    for m in measures:
                        # A figure is missing when an earlier part of the run (the mount
                        # or the listing) ran out of time.
                        results.add(tool, m, figures.get(m))
                    results.add_peak(tool, figures.get("peak_rss_kib"))
            for name, command, figure in sevenzip:
                if results.timed_out("7z", name):
                    continue
                figures = probe(args, "pipe", str(limit), "--", *command)
                results.add("7z", name, figures.get(figure))
                results.add_peak("7z", figures.get("peak_rss_kib"))
    finally:
        subprocess.run(["fusermount3", "-u", "-z", mountpoint], stderr=subprocess.DEVNULL)
        for path in (ranges, names):
            os.remove(path)
        os.rmdir(mountpoint)
        os.rmdir(work)
    return files, blocks


def seconds(value, limit):
    if value is None:
        return f"> {limit:g} s"
    if isinstance(value, str):
        return f"fails ({value.split(': ')[-1]})"
    return f"{value:.3f} s" if value < 1 else f"{value:.2f} s"


def table(key, archive, files, blocks, limit, results):
    title = ARCHIVES[key][0]
    unpacked = sum(size for _, size in files)
    packed = os.path.getsize(archive)
    lines = [f"#### {title}: {len(files):,} files, {unpacked / MIB:,.0f} MiB unpacked, "
             f"{packed / MIB:,.0f} MiB packed, {blocks} block{'s' if blocks != 1 else ''}",
             "", "| | " + " | ".join(TOOLS) + " |", "|---|" + "---|" * len(TOOLS)]
    rows = [("mount + list with attributes", "mount_list_seconds", "`7z l`"),
            ("read everything", "read_all_seconds", "`7z x -so`"),
            (f"{RANDOM_READS} random reads (64 KiB or whole file)", "ranges_seconds",
             "whole files, one `7z x`")]
    if key == "bigblock":
        rows += [("first byte of a-first.txt (block start)", "first_byte_seconds", ""),
                 ("first byte of z-last.txt (block end)", "last_byte_seconds", ""),
                 (f"read everything, {PARALLEL_READERS} readers at once",
                  "parallel_read_seconds", "")]
    for label, name, note in rows:
        cells = []
        for tool in TOOLS:
            cell = seconds(results.best.get((tool, name)), limit) \
                if (tool, name) in results.best else "–"
            if tool == "7z" and note:
                cell += f" ({note})"
            cells.append(cell)
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    lines.append("| peak memory | " + " | ".join(
        f"{results.peak[t] / 1024:.0f} MiB" if t in results.peak else "–" for t in TOOLS) + " |")
    return "\n".join(lines)


def cell(results, tool, name, limit):
    return seconds(results.best[(tool, name)], limit) if (tool, name) in results.best else "–"


def summary(runs, limit):
    """The short table: every archive's main figures, then the big block's own."""
    lines = ["| archive | | mount + list | read everything | 200 random reads | peak memory |",
             "|---|---|---|---|---|---|"]
    for key, files, _, results in runs:
        unpacked = sum(size for _, size in files)
        title = f"{ARCHIVES[key][0]} ({len(files):,} files, {unpacked / MIB:,.0f} MiB)"
        for i, tool in enumerate(TOOLS):
            figures = [cell(results, tool, name, limit) for name in
                       ("mount_list_seconds", "read_all_seconds", "ranges_seconds")]
            peak = f"{results.peak[tool] / 1024:.0f} MiB" if tool in results.peak else "–"
            lines.append(f"| {title if i == 0 else ''} | {tool} | " + " | ".join(figures) +
                         f" | {peak} |")
    for key, files, _, results in runs:
        if key != "bigblock":
            continue
        unpacked = sum(size for _, size in files)
        lines += ["", f"| one solid block of {unpacked / MIB:,.0f} MiB | " + " | ".join(TOOLS) +
                  " |", "|---|" + "---|" * len(TOOLS)]
        for label, name in (("first byte of the file at its start", "first_byte_seconds"),
                            ("first byte of the file at its end", "last_byte_seconds"),
                            (f"every file, {PARALLEL_READERS} readers at once",
                             "parallel_read_seconds")):
            lines.append(f"| {label} | " + " | ".join(cell(results, t, name, limit)
                                                       for t in TOOLS) + " |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    parser.add_argument("--vornmount", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--limit", type=float, default=60)
    parser.add_argument("--runs", type=int, default=2)
    parser.add_argument("--only", default=",".join(ARCHIVES))
    args = parser.parse_args()

    targets = []
    runs = []
    for key in args.only.split(","):
        archive = archive_of(args.data, key, args.quick)
        results = Results()
        files, blocks = measure(args, key, archive, args.limit, results)
        runs.append((key, files, blocks, results))
        print(table(key, archive, files, blocks, args.limit, results), end="\n\n", flush=True)
        best = results.best.get
        for (tool, name), value in results.best.items():
            if tool == "Vornmount" and isinstance(value, str):
                sys.exit(f"compare.py: Vornmount failed: {name}: {value}")
        if key == "small" and isinstance(best(("Vornmount", "read_all_seconds")), float) \
                and isinstance(best(("7z", "read_all_seconds")), float):
            ratio = best(("Vornmount", "read_all_seconds")) / best(("7z", "read_all_seconds"))
            targets.append(f"- Read everything, many small files: {ratio:.2f}x `7z x -so` "
                           f"(target at most 1.2x): {'met' if ratio <= 1.2 else 'MISSED'}")
        if key == "bigblock" and isinstance(best(("Vornmount", "first_byte_seconds")), float) \
                and isinstance(best(("7z", "read_all_seconds")), float):
            share = 100 * best(("Vornmount", "first_byte_seconds")) / best(("7z", "read_all_seconds"))
            targets.append(f"- First byte at the start of the big block: {share:.1f}% of "
                           f"unpacking the whole block with `7z x -so` (target at most 5%): "
                           f"{'met' if share <= 5 else 'MISSED'}")
    print("#### In short\n\n" + summary(runs, args.limit) + "\n")
    if targets:
        print("Targets:\n" + "\n".join(targets))


if __name__ == "__main__":
    main()
