#!/usr/bin/env python3
"""Makes the 7z archives of the benchmarks (bench/mount_bench.sh, bench/compare.sh).

  small ARCHIVE COUNT MEGABYTES     COUNT files of MEGABYTES in all, a few KiB each, in a
                                    tree of folders like a source tree's, as text
  large ARCHIVE COUNT MEGABYTES     COUNT files of MEGABYTES in all: text with one MiB in
                                    four of random bytes, as in disk images or media
  nonsolid ARCHIVE COUNT MEGABYTES  as small, each file packed on its own
  bigblock ARCHIVE COUNT MEGABYTES  one solid block of MEGABYTES: a-first.txt (256 KiB of
                                    text) at its start, z-last.txt (256 KiB) at its end,
                                    and COUNT files of the large kind's bytes between them
  tiny ARCHIVE COUNT MEGABYTES      COUNT files of 0 to 64 bytes (MEGABYTES is ignored) in
                                    COUNT/200 folders, one solid block
  empty ARCHIVE COUNT MEGABYTES     COUNT empty files (MEGABYTES is ignored) in COUNT/1000
                                    folders: an archive of entries and hardly any data
  tree ARCHIVE COUNT MEGABYTES      a copy of /usr/include (COUNT and MEGABYTES are
                                    ignored): thousands of real small files and some
                                    symbolic links

All but nonsolid are solid; bigblock is one block whatever its size, the others have the
compressor's default block size.

The content comes from fixed seeds, so the same arguments give the same files. The text
is drawn from a pool larger than the compressor's dictionary, so it packs and unpacks at
the speed of real text rather than of repeats. The tree is written to a folder beside the
archive and removed once the archive is made.
"""

import os
import random
import shutil
import subprocess
import sys

MIB = 1 << 20
# The text pool: far larger than the dictionary of -mx=1 (256 KiB).
POOL_SIZE = 40 * MIB


def text_pool(seed):
    """Pseudo-text: words of a made-up vocabulary with punctuation and line breaks."""
    r = random.Random(seed)
    letters = "etaoinshrdlucmfwypvbgkqjxz"
    weights = [12, 9, 8, 8, 7, 7, 6, 6, 4, 4, 3, 3, 2, 2, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1]
    vocabulary = ["".join(r.choices(letters, weights, k=r.randint(1, 10))) for _ in range(20000)]
    vocabulary += ["(", ")", "{", "}", ";", "=", "->", "//", "\n", "\n    ", ", ", ". "]
    pieces = []
    size = 0
    while size < POOL_SIZE:
        words = r.choices(vocabulary, k=200000)
        piece = " ".join(words).encode()
        pieces.append(piece)
        size += len(piece)
    return b"".join(pieces)[:POOL_SIZE]


def slice_of(pool, r, size):
    start = r.randrange(0, len(pool) - size)
    return pool[start:start + size]


def make_small(root, count, total, pool, r):
    """COUNT files in about count/50 folders two or three deep; sizes spread from a few
    bytes to some ten times the mean, a few empty."""
    mean = max(1, total // count)
    folders = [f"src/m{a:02d}/p{b:02d}" for a in range(max(1, count // 1000))
               for b in range(20)]
    folders += [f + f"/t{c}" for f in folders[: len(folders) // 4] for c in range(2)]
    sizes = [int(r.expovariate(1 / mean)) for _ in range(count)]
    scale = total / max(1, sum(sizes))
    for i, size in enumerate(sizes):
        size = min(int(size * scale), 4 * MIB)
        folder = os.path.join(root, r.choice(folders))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, f"file{i:05d}.txt"), "wb") as f:
            f.write(slice_of(pool, r, size) if size else b"")


def make_large(root, count, total, pool, r):
    os.makedirs(root)
    size = total // count
    for i in range(count):
        with open(os.path.join(root, f"image{i}.bin"), "wb") as f:
            left = size
            chunk = 0
            while left > 0:
                n = min(MIB, left)
                f.write(r.randbytes(n) if chunk % 4 == 3 else slice_of(pool, r, n))
                left -= n
                chunk += 1


def make_bigblock(root, count, total, pool, r):
    edge = 256 << 10
    os.makedirs(root)
    with open(os.path.join(root, "a-first.txt"), "wb") as f:
        f.write(slice_of(pool, r, edge))
    middle = os.path.join(root, "middle")
    make_large(middle, count, total - 2 * edge, pool, r)
    for name in os.listdir(middle):
        os.rename(os.path.join(middle, name), os.path.join(root, "m-" + name))
    os.rmdir(middle)
    with open(os.path.join(root, "z-last.txt"), "wb") as f:
        f.write(slice_of(pool, r, edge))


def make_tiny(root, count, total, pool, r):
    for i in range(count):
        folder = os.path.join(root, f"d{i % max(1, count // 200):04d}")
        if i < max(1, count // 200):
            os.makedirs(folder)
        with open(os.path.join(folder, f"f{i:07d}"), "wb") as f:
            f.write(slice_of(pool, r, r.randrange(0, 65)))


def make_empty(root, count, total, pool, r):
    for i in range(count):
        folder = os.path.join(root, f"d{i % max(1, count // 1000):04d}")
        if i < max(1, count // 1000):
            os.makedirs(folder)
        open(os.path.join(folder, f"entry{i:07d}"), "wb").close()


def make_tree(root, count, total, pool, r):
    shutil.copytree("/usr/include", root, symlinks=True)


MAKERS = {"small": make_small, "large": make_large, "nonsolid": make_small,
          "bigblock": make_bigblock, "tiny": make_tiny, "empty": make_empty,
          "tree": make_tree}
# How each kind is packed; 7z puts the files of a block in name order.
SWITCHES = {"small": ["-ms=on"], "large": ["-ms=on"], "nonsolid": ["-ms=off"],
            "bigblock": ["-ms=64g"], "tiny": ["-ms=64g"], "empty": ["-ms=on"],
            "tree": ["-ms=on", "-snl"]}


def main():
    if len(sys.argv) != 5 or sys.argv[1] not in MAKERS:
        sys.exit(__doc__)
    kind, archive, count, megabytes = sys.argv[1], os.path.abspath(sys.argv[2]), \
        int(sys.argv[3]), int(sys.argv[4])
    root = archive + ".tree"
    shutil.rmtree(root, ignore_errors=True)
    if os.path.exists(archive):
        os.remove(archive)
    r = random.Random(f"{kind}-{count}-{megabytes}")
    pool = text_pool(7)
    MAKERS[kind](root, count, megabytes * MIB, pool, r)
    subprocess.run(["7z", "a", "-bd", "-y", *SWITCHES[kind], "-mx=1", archive, "."], cwd=root,
                   stdout=subprocess.DEVNULL, check=True)
    shutil.rmtree(root)


if __name__ == "__main__":
    main()
