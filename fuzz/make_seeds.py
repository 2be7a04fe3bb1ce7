#!/usr/bin/env python3
"""Makes the seed corpus of the open-path fuzzer.

The seeds are the small archives of tests/fixtures/make_fixtures.py, made with the 7z
program, and hand-made archives that 7z cannot make from Linux files: names with lone
UTF-16 surrogates, names of 1,000 and more characters, 100,000 entries in one folder,
paths 500 levels deep, and blocks whose listed sizes do not match what they deliver.
The hand-made ones are written here directly in the 7z container format: the copy
method (stored bytes), a plain header with UTF-16LE names, and correct CRCs wherever a
seed does not lie about them on purpose.

Usage: make_seeds.py OUTPUT_FOLDER [7Z_PROGRAM]. The folder is emptied first; the seeds
go straight into it (the fixtures are made in a folder beside it and then removed).
"""

import os
import shutil
import struct
import subprocess
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_FIXTURES = os.path.join(HERE, "..", "tests", "fixtures", "make_fixtures.py")
# The fixtures that seed the corpus: small, and each opens a different way. long.7z (35
# MiB unpacked) and junk.7z (1 MiB of random bytes first) would only slow every run.
FIXTURE_SEEDS = ["attrs", "damaged", "empty", "encdata", "enchead", "names", "noattr",
                 "noname.data", "plain", "solid", "truncated"]

SIGNATURE = b"7z\xbc\xaf\x27\x1c\x00\x04"
# Property ids of the 7z header.
K_END, K_HEADER, K_MAIN_STREAMS, K_FILES = 0x00, 0x01, 0x04, 0x05
K_PACK_INFO, K_UNPACK_INFO, K_SUBSTREAMS, K_SIZE, K_CRC = 0x06, 0x07, 0x08, 0x09, 0x0A
K_FOLDER, K_UNPACK_SIZE, K_NUM_UNPACK_STREAMS = 0x0B, 0x0C, 0x0D
K_EMPTY_STREAM, K_EMPTY_FILE, K_NAME, K_ATTRIBUTES = 0x0E, 0x0F, 0x11, 0x15
ATTRIBUTE_FOLDER, ATTRIBUTE_ARCHIVE = 0x10, 0x20


def number(n):
    """A 7z variable-length number: as many leading one bits in the first byte as
    bytes follow, the rest of the first byte holding the high bits."""
    for extra in range(8):
        if n < 1 << (7 * (extra + 1)):
            high = n >> (8 * extra)
            return bytes([(0xFF00 >> extra) & 0xFF | high]) + (n & ((1 << (8 * extra)) - 1)).to_bytes(extra, "little")
    return b"\xff" + n.to_bytes(8, "little")


def bits(flags):
    """A 7z bit vector: the first flag in the top bit of the first byte."""
    out = bytearray((len(flags) + 7) // 8)
    for i, flag in enumerate(flags):
        if flag:
            out[i // 8] |= 0x80 >> (i % 8)
    return bytes(out)


def utf16(name):
    """A name as the header holds it; lone surrogates pass through as the units they are."""
    return name.encode("utf-16-le", "surrogatepass") + b"\0\0"


class Block:
    """Stored bytes unpacked by the copy method into Files, a list of (name, size).
    Each listed number may lie: PackSize and UnpackSize default to the truth, and the
    files' sizes are taken as given; the CRC of each file is that of its share of the
    bytes unless Crcs gives others."""

    def __init__(self, data, files, pack_size=None, unpack_size=None, crcs=None):
        self.data = data
        self.files = files
        self.pack_size = len(data) if pack_size is None else pack_size
        self.unpack_size = len(data) if unpack_size is None else unpack_size
        if crcs is None:
            crcs, at = [], 0
            for _, size in files:
                crcs.append(zlib.crc32(data[at:at + size]))
                at += size
        self.crcs = crcs


def archive(blocks=(), entries=()):
    """A 7z archive of Blocks followed by Entries without data: (name, is_folder)."""
    names, attributes, empty = [], [], []
    for block in blocks:
        for name, _ in block.files:
            names.append(name)
            attributes.append(ATTRIBUTE_ARCHIVE)
            empty.append(False)
    for name, folder in entries:
        names.append(name)
        attributes.append(ATTRIBUTE_FOLDER if folder else ATTRIBUTE_ARCHIVE)
        empty.append(True)

    header = bytearray([K_HEADER])
    if blocks:
        header += bytes([K_MAIN_STREAMS, K_PACK_INFO]) + number(0) + number(len(blocks))
        header += bytes([K_SIZE]) + b"".join(number(b.pack_size) for b in blocks)
        header += bytes([K_END, K_UNPACK_INFO, K_FOLDER]) + number(len(blocks)) + b"\0"
        # One coder each: one-byte id, simple (one stream in, one out); id 0 is "copy".
        header += b"".join(b"\x01\x01\x00" for _ in blocks)
        header += bytes([K_UNPACK_SIZE]) + b"".join(number(b.unpack_size) for b in blocks)
        header += bytes([K_END, K_SUBSTREAMS, K_NUM_UNPACK_STREAMS])
        header += b"".join(number(len(b.files)) for b in blocks)
        header += bytes([K_SIZE])
        header += b"".join(number(size) for b in blocks for _, size in b.files[:-1])
        header += bytes([K_CRC, 1]) + b"".join(struct.pack("<I", c) for b in blocks for c in b.crcs)
        header += bytes([K_END, K_END])
    header += bytes([K_FILES]) + number(len(names))
    if any(empty):
        vector = bits(empty)
        header += bytes([K_EMPTY_STREAM]) + number(len(vector)) + vector
        files = bits([not folder for _, folder in entries])
        header += bytes([K_EMPTY_FILE]) + number(len(files)) + files
    name_data = b"\0" + b"".join(utf16(n) for n in names)
    header += bytes([K_NAME]) + number(len(name_data)) + name_data
    attribute_data = b"\1\0" + b"".join(struct.pack("<I", a) for a in attributes)
    header += bytes([K_ATTRIBUTES]) + number(len(attribute_data)) + attribute_data
    header += bytes([K_END, K_END])

    packed = b"".join(b.data for b in blocks)
    start = struct.pack("<QQI", len(packed), len(header), zlib.crc32(header))
    return SIGNATURE + struct.pack("<I", zlib.crc32(start)) + start + packed + bytes(header)


def text(seed, size):
    """Readable bytes that differ from seed to seed."""
    line = f"seed {seed}: the quick brown fox jumps over the lazy dog\n".encode()
    return (line * (size // len(line) + 1))[:size]


def hand_made_seeds():
    """The archives 7z cannot make here, by seed file name."""
    seeds = {}

    # Lone surrogates: high at the end, low at the start, a reversed pair, a lone half in
    # a folder name; and a good pair beside them.
    surrogate_names = ["high\ud800", "\udc00low", "swap\udc00\ud800.txt", "dir\udbff/in.txt",
                       "pair\U0001f600.txt", "high\ud801"]
    seeds["surrogates.7z"] = archive(
        [Block(text(1, 300), [(n, 50) for n in surrogate_names])],
        [("dir\udbff", True), ("empty\udfff", False)])

    # Names of 1,000 characters and more: ASCII, CJK (3 UTF-8 bytes each), a long folder,
    # and two names that agree in their first thousand characters.
    long_a = "a" * 1200 + ".txt"
    seeds["long-names.7z"] = archive(
        [Block(text(2, 90), [(long_a, 30), ("a" * 1200 + "b.txt", 30),
                             ("\u4e2d" * 1000 + ".doc", 30)])],
        [("f" * 1500, True), ("f" * 1500 + "/" + "g" * 1100, False),
         ("x" * 2000 + "." + "y" * 9, False)])

    # 100,000 entries in one folder (the root: the names stay short): empty files, every
    # thousandth also under its name in upper case (the same name to the case-insensitive
    # tree), and two with data, one of them taking a name the empty files have too.
    names = [f"f{i:05x}" for i in range(100000)]
    names += [n.upper() for n in names[::1000]]
    seeds["many.7z"] = archive(
        [Block(text(3, 40), [("a-with-data", 20), ("f00000", 20)])],
        [(n, False) for n in names])

    # Thousands of entries of one name, in two letter cases and with and without an
    # extension: each must be numbered, which once took quadratic time.
    same = ["same.txt" if i % 2 else "SAME.TXT" for i in range(3000)] + ["same"] * 2000
    seeds["same-names.7z"] = archive(
        [Block(text(6, 40), [("same.txt", 20), ("same", 20)])],
        [(n, False) for n in same])

    # Paths 500 levels deep: folders listed on the way, a file at the bottom; and one
    # whose folders are not listed, with longer names.
    deep = "/".join(["d"] * 500)
    seeds["deep.7z"] = archive(
        [Block(text(4, 20), [(deep + "/bottom.txt", 10),
                             ("/".join(["level%03d" % i for i in range(500)]) + "/x", 10)])],
        [("/".join(["d"] * k), True) for k in range(1, 501)])

    # Blocks whose listed sizes lie. Each block is its own seed, so that mutations start
    # from one lie at a time.
    data = text(5, 100)
    lies = {
        # Fewer bytes stored than the block unpacks to: the copy runs dry.
        "lie-short-pack": Block(data[:60], [("short.txt", 100)], unpack_size=100),
        # The packed stream reaches past the end of the archive.
        "lie-pack-past-end": Block(data, [("past.txt", 100)], pack_size=1 << 20),
        # More bytes stored than the block unpacks to.
        "lie-pack-larger": Block(data, [("one.txt", 30), ("two.txt", 30)], unpack_size=60),
        # Files listed larger, together, than their block unpacks.
        "lie-files-larger": Block(data, [("big.txt", 160), ("after.txt", 0)], crcs=[0, 0]),
        # A file listed at the memory store's 64 MiB, and one beyond it, with 50 bytes each.
        "lie-64mib": Block(data, [("sixty-four.bin", 64 << 20), ("more.bin", (64 << 20) + 1)],
                           unpack_size=(128 << 20) + 1, crcs=[0, 0]),
        # A huge listed size (1 TiB) over a 100-byte block.
        "lie-huge": Block(data, [("huge.bin", 1 << 40)], unpack_size=1 << 40),
        # The right sizes with wrong CRCs.
        "lie-crc": Block(data, [("one.txt", 50), ("two.txt", 50)], crcs=[1, 2]),
    }
    for name, block in lies.items():
        seeds[name + ".7z"] = archive([block], [("folder", True)])
    return seeds


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    out = os.path.abspath(sys.argv[1])
    seven_zip = sys.argv[2] if len(sys.argv) == 3 else "7z"
    if os.path.exists(out):
        shutil.rmtree(out)
    os.makedirs(out)
    fixtures = out + ".fixtures"
    subprocess.run([sys.executable, MAKE_FIXTURES, fixtures, seven_zip], check=True,
                   stdout=subprocess.DEVNULL)
    for name in FIXTURE_SEEDS:
        shutil.copy(os.path.join(fixtures, name + ".7z"), os.path.join(out, name + ".7z"))
    shutil.rmtree(fixtures)
    for name, data in hand_made_seeds().items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
