#!/usr/bin/env python3
"""The driver of bench/compare.sh: measures Vornmount beside squashfuse_ll, archivemount,
the extracted tree on local disk and 7z on the generated archives, and prints the figures
as Markdown tables.

  compare.py --probe PROBE --vornmount PROGRAM --data FOLDER [--quick] [--limit SECONDS]
             [--runs N] [--only tiny,tree,small,large,nonsolid,bigblock,entries]

Every measurement starts a fresh mount (or a fresh 7z), with the archive in the page
cache; a figure is the best of N runs. A step that takes longer than the limit is shown
as "> limit" and not run again. squashfuse_ll serves an xz squashfs image of the same
tree, and "local disk" is that tree extracted into the data folder (in the page cache
too); both are made once and kept beside the archive.
"""

import argparse
import os
import random
import shutil
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
    "tiny": ("tiny files, one solid block", "tiny", 200000, 0, 20000, 0),
    "tree": ("a real tree (/usr/include), solid", "tree", 0, 0, 0, 0),
    "small": ("many small files, solid", "small", 20000, 150, 2000, 15),
    "large": ("a few large files, solid", "large", 4, 400, 4, 40),
    "nonsolid": ("small files, non-solid", "nonsolid", 20000, 80, 2000, 8),
    "bigblock": ("one big solid block", "bigblock", 62, 1024, 14, 100),
}
# The archives of empty entries whose mount and listing show the memory per entry.
ENTRY_COUNTS = (50000, 200000, 1000000, 2000000)
QUICK_ENTRY_COUNTS = (5000, 20000, 100000)
TOOLS = ["Vornmount", "squashfuse_ll", "archivemount", "local disk", "7z"]
# What 7z does for a row, beside its figure.
SEVEN_ZIP_NOTES = {"mount_list_seconds": "`7z l`", "read_all_seconds": "`7z x -so`",
                   "ranges_seconds": "whole files, one `7z x`"}


def generate(data, kind, files, mb):
    path = os.path.join(data, f"{kind}-{files}-{mb}.7z")
    if not os.path.exists(path):
        os.makedirs(data, exist_ok=True)
        print(f"Generating {path} ...", file=sys.stderr)
        subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__),
                                                     "make_bench_data.py"),
                        kind, path, str(files), str(mb)], check=True)
    return path


def archive_of(data, key, quick):
    _, kind, files, mb, quick_files, quick_mb = ARCHIVES[key]
    if quick:
        files, mb = quick_files, quick_mb
    return generate(data, kind, files, mb)


def references(archive):
    """The archive's tree extracted beside it, and an xz squashfs image of that tree."""
    tree = archive + ".extracted"
    image = archive + ".sqfs"
    if not os.path.isdir(tree):
        print(f"Extracting {archive} ...", file=sys.stderr)
        shutil.rmtree(tree + ".part", ignore_errors=True)
        out = subprocess.run(["7z", "x", "-bd", "-y", "-snld", "-o" + tree + ".part", archive],
                             capture_output=True, text=True)
        # 7z leaves out links that lead outside the folder (or through another link) even
        # with -snld; the files are all there, and they are what is read.
        errors = [line for line in (out.stdout + out.stderr).splitlines()
                  if line.startswith("ERROR:")]
        if out.returncode != 0 and (not errors or any("Dangerous link" not in line
                                                      for line in errors)):
            sys.exit(f"compare.py: 7z x {archive} failed:\n{out.stdout}{out.stderr}")
        os.rename(tree + ".part", tree)
    if not os.path.exists(image):
        print(f"Making {image} ...", file=sys.stderr)
        subprocess.run(["mksquashfs", tree, image + ".part", "-comp", "xz", "-quiet",
                        "-no-progress", "-noappend"], stdout=subprocess.DEVNULL, check=True)
        os.rename(image + ".part", image)
    return tree, image


def warm(path):
    """Reads a file, or every file below a folder, so that it is in the page cache."""
    paths = [path] if os.path.isfile(path) else \
        [os.path.join(d, f) for d, _, names in os.walk(path) for f in names]
    for p in paths:
        if os.path.islink(p):
            continue
        with open(p, "rb") as f:
            while f.read(8 * MIB):
                pass


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
            attributes = entry.get("Attributes", "")
            if "Size" in entry and not attributes.startswith("D") \
                    and " l" not in attributes and entry.get("Folder") != "+":
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

    def figure(self, tool, measure):
        value = self.best.get((tool, measure))
        return value if isinstance(value, float) else None


def measure(args, key, archive, limit, results):
    files, blocks = listing(archive)
    tree, image = references(archive)
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
    for path in (archive, image, tree):  # in the page cache for everyone alike
        warm(path)

    mounters = {
        "Vornmount": [args.vornmount, "-f", archive, mountpoint],
        "squashfuse_ll": ["squashfuse_ll", "-f", image, mountpoint],
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

    def record(tool, name, figures):
        if name is not None and name != "first_byte_seconds" \
                and "first_byte_seconds" in figures:
            figures[name] = figures.pop("first_byte_seconds")
        measures = ["mount_list_seconds", "read_all_seconds", "reread_all_seconds"] \
            if name is None else [name]
        for m in measures:
            # A figure is missing when an earlier part of the run (the mount or the
            # listing) ran out of time.
            results.add(tool, m, figures.get(m))
        results.add_peak(tool, figures.get("peak_rss_kib"))

    try:
        for _ in range(args.runs):
            for tool, command in mounters.items():
                for step, name in steps:
                    if results.timed_out(tool, name or "mount_list_seconds") or \
                            name is None and results.timed_out(tool, "read_all_seconds"):
                        continue
                    record(tool, name, probe(args, "mount", mountpoint, str(limit), step,
                                             "--", *command))
            for step, name in steps:
                record("local disk", name, probe(args, "tree", tree, str(limit), step))
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


def measure_entries(args, limit):
    """Peak memory of a mount and full listing of archives of empty entries, beside 7z l
    of the same archive: [(entries, archive size, Vornmount KiB or text, 7z KiB)]."""
    rows = []
    work = tempfile.mkdtemp(prefix="vornmount-compare-")
    mountpoint = os.path.join(work, "mnt")
    os.mkdir(mountpoint)
    try:
        for count in QUICK_ENTRY_COUNTS if args.quick else ENTRY_COUNTS:
            archive = generate(args.data, "empty", count, 0)
            warm(archive)
            figures = probe(args, "mount", mountpoint, str(limit), "list", "--",
                            args.vornmount, "-f", archive, mountpoint)
            seconds = figures.get("mount_list_seconds")
            ours = figures.get("peak_rss_kib") if isinstance(seconds, float) else seconds
            theirs = probe(args, "pipe", str(limit), "--", "7z", "l", archive)
            rows.append((count, os.path.getsize(archive), ours, seconds,
                         theirs.get("peak_rss_kib")))
    finally:
        subprocess.run(["fusermount3", "-u", "-z", mountpoint], stderr=subprocess.DEVNULL)
        os.rmdir(mountpoint)
        os.rmdir(work)
    return rows


def seconds(value, limit):
    if value is None:
        return f"> {limit:g} s"
    if isinstance(value, str):
        return f"fails ({value.split(': ')[-1]})"
    return f"{value:.3f} s" if value < 1 else f"{value:.2f} s"


def cell(results, tool, name, limit):
    return seconds(results.best[(tool, name)], limit) if (tool, name) in results.best else "–"


def table(key, archive, files, blocks, limit, results):
    title = ARCHIVES[key][0]
    unpacked = sum(size for _, size in files)
    packed = os.path.getsize(archive)
    lines = [f"#### {title}: {len(files):,} files, {unpacked / MIB:,.0f} MiB unpacked, "
             f"{packed / MIB:,.0f} MiB packed, {blocks} block{'s' if blocks != 1 else ''}",
             "", "| | " + " | ".join(TOOLS) + " |", "|---|" + "---|" * len(TOOLS)]
    rows = [("mount + list with attributes", "mount_list_seconds"),
            ("read everything", "read_all_seconds"),
            ("read everything again (warm)", "reread_all_seconds"),
            (f"{RANDOM_READS} random reads (64 KiB or whole file)", "ranges_seconds")]
    if key == "bigblock":
        rows += [("first byte of a-first.txt (block start)", "first_byte_seconds"),
                 ("first byte of z-last.txt (block end)", "last_byte_seconds"),
                 (f"read everything, {PARALLEL_READERS} readers at once",
                  "parallel_read_seconds")]
    for label, name in rows:
        cells = []
        for tool in TOOLS:
            text = cell(results, tool, name, limit)
            if tool == "7z" and name in SEVEN_ZIP_NOTES and text != "–":
                text += f" ({SEVEN_ZIP_NOTES[name]})"
            cells.append(text)
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    lines.append("| peak memory | " + " | ".join(
        f"{results.peak[t] / 1024:.0f} MiB" if t in results.peak else "–" for t in TOOLS) + " |")
    return "\n".join(lines)


def entries_table(rows, limit):
    lines = ["#### Memory of a mount and full listing, archives of empty entries", "",
             "| entries | archive | Vornmount peak | per entry | mount + list | `7z l` peak |",
             "|---|---|---|---|---|---|"]
    for count, size, ours, took, theirs in rows:
        if isinstance(ours, (int, float)) and ours:
            peak, per = f"{ours / 1024:.0f} MiB", f"{ours * 1024 / count:.0f} bytes"
        else:
            peak, per = seconds(ours, limit), "–"
        listed = f"{theirs / 1024:.0f} MiB" if theirs else "–"
        lines.append(f"| {count:,} | {size / 1024:,.0f} KiB | {peak} | {per} | "
                     f"{seconds(took, limit)} | {listed} |")
    return "\n".join(lines)


def summary(runs, limit):
    """The short table: every archive's main figures, then the big block's own."""
    lines = ["| archive | | mount + list | read everything | again (warm) | 200 random reads "
             "| peak memory |", "|---|---|---|---|---|---|---|"]
    for key, files, _, results in runs:
        unpacked = sum(size for _, size in files)
        title = f"{ARCHIVES[key][0]} ({len(files):,} files, {unpacked / MIB:,.0f} MiB)"
        for i, tool in enumerate(TOOLS):
            figures = [cell(results, tool, name, limit) for name in
                       ("mount_list_seconds", "read_all_seconds", "reread_all_seconds",
                        "ranges_seconds")]
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


def ratio_line(results, label, measure, reference, reference_measure, target):
    ours = results.figure("Vornmount", measure)
    theirs = results.figure(reference, reference_measure)
    if ours is None or theirs is None or theirs <= 0:
        return f"- {label}: no figure"
    ratio = ours / theirs
    return (f"- {label}: {ratio:.2f}x {reference} (target at most {target}x): "
            f"{'met' if ratio <= target else 'MISSED'}")


def targets_of(key, results):
    title = ARCHIVES[key][0]
    lines = []
    if key in ("tiny", "tree", "small"):
        lines.append(ratio_line(results, f"Read everything, {title}", "read_all_seconds",
                                "squashfuse_ll", "read_all_seconds", 1.0))
        lines.append(ratio_line(results, f"Read everything again, {title}",
                                "reread_all_seconds", "local disk", "reread_all_seconds", 1.5))
    if key == "nonsolid":
        lines.append(ratio_line(results, f"Read everything, {title}", "read_all_seconds", "7z",
                                "read_all_seconds", 1.5))
    if key == "large":
        lines.append(ratio_line(results, f"Read everything, {title}", "read_all_seconds", "7z",
                                "read_all_seconds", 1.2))
    if key == "bigblock":
        first = results.figure("Vornmount", "first_byte_seconds")
        whole = results.figure("7z", "read_all_seconds")
        if first is not None and whole:
            share = 100 * first / whole
            lines.append(f"- First byte at the start of the big block: {share:.1f}% of "
                         f"unpacking the whole block with `7z x -so` (target at most 5%): "
                         f"{'met' if share <= 5 else 'MISSED'}")
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    parser.add_argument("--vornmount", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--limit", type=float, default=60)
    parser.add_argument("--runs", type=int, default=2)
    parser.add_argument("--only", default=",".join([*ARCHIVES, "entries"]))
    args = parser.parse_args()

    targets = []
    runs = []
    for key in args.only.split(","):
        if key == "entries":
            rows = measure_entries(args, args.limit)
            print(entries_table(rows, args.limit), end="\n\n", flush=True)
            per_entry = {count: ours * 1024 / count for count, _, ours, _, _ in rows
                         if isinstance(ours, (int, float)) and ours}
            if 200000 in per_entry:
                peak = per_entry[200000] * 200000 / MIB
                targets.append(f"- Peak memory after mounting and listing 200,000 entries: "
                               f"{peak:.0f} MiB (target at most 120 MiB): "
                               f"{'met' if peak <= 120 else 'MISSED'}")
            continue
        if key not in ARCHIVES:
            sys.exit(f"compare.py: unknown archive '{key}'")
        archive = archive_of(args.data, key, args.quick)
        results = Results()
        files, blocks = measure(args, key, archive, args.limit, results)
        runs.append((key, files, blocks, results))
        print(table(key, archive, files, blocks, args.limit, results), end="\n\n", flush=True)
        for (tool, name), value in results.best.items():
            if tool == "Vornmount" and isinstance(value, str):
                sys.exit(f"compare.py: Vornmount failed: {name}: {value}")
        targets += targets_of(key, results)
    if runs:
        print("#### In short\n\n" + summary(runs, args.limit) + "\n")
    if targets:
        print("Targets:\n" + "\n".join(targets))


if __name__ == "__main__":
    main()
