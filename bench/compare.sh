#!/usr/bin/env bash
# Vornmount beside its peers: the same generated archives measured in one run for
# Vornmount, squashfuse_ll (Debian's squashfuse, over an xz squashfs image of the same
# tree), archivemount (Debian's, on libarchive), the extracted tree read from local disk
# and raw 7z, printed as Markdown tables (the README's performance table comes from here),
# with the issue targets' ratios at the end.
#
# Archives (generated once, kept in the data folder with their extracted tree and
# squashfs image): 200,000 tiny files in 1,000 folders, one block; a real tree (a copy of
# /usr/include, thousands of small headers and some links); many small files, solid
# (20,000 files, 150 MiB); a few large files, solid (4 x 100 MiB); small files,
# non-solid (20,000 files, 80 MiB); one solid block of 1 GiB with a small file at its
# start and one at its end. For each, on a fresh mount every time: mount plus a full
# recursive listing with attributes, reading every file once, reading every file again
# (warm: extracted and in the page cache), 200 random reads (64 KiB at a random offset,
# or the whole file when it is smaller), and for the big block the time to the first byte
# of the file at its start and of the file at its end and the time for 16 readers at once
# to read every file (one pass of the block serves them all); then the peak memory of the
# mounter (or of 7z) over its runs. 7z does the same jobs its own way: `7z l`,
# `7z x -so`, and one `7z x -so` of the files the random reads touch. Vornmount runs with
# its default store. Last, "entries": the peak memory of a mount and full listing of
# archives of 50,000, 200,000, 1,000,000 and 2,000,000 empty entries, beside `7z l` of them.
#
# Usage: bench/compare.sh [--quick] [--limit SECONDS] [--runs N] [--only KEYS]
#   --quick   a tenth of the sizes
#   --limit   the longest one step may take before it shows as "> limit" (default 60)
#   --runs    runs of each step, the best counts (default 2)
#   --only    some of tiny,tree,small,large,nonsolid,bigblock,entries
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

args=()
while [ $# -gt 0 ]; do
  case $1 in
    --quick) args+=(--quick) ;;
    --limit|--runs|--only) args+=("$1" "$2"); shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "compare.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
  shift
done

ensure_packages "${LINUX_PACKAGES[@]}" archivemount squashfuse squashfs-tools
if [ ! -f build-linux/build.ninja ]; then
  cmake -S . -B build-linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build-linux --target vornmount vrn_compare_probe >/dev/null

echo "$(date -u '+%Y-%m-%d'), $(nproc) cores ($(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)), $(free -g | awk '/^Mem:/ { print $2 }') GiB," \
  "Linux $(uname -r), $(7z | sed -n 's/^\(p7zip Version [^ ]*\).*/\1/p' | head -1), archivemount $(dpkg-query -W -f '${Version}' archivemount), squashfuse $(dpkg-query -W -f '${Version}' squashfuse)"
echo
python3 bench/compare.py --probe build-linux/bench/vrn_compare_probe \
  --vornmount build-linux/vornmount --data build-linux/bench-data "${args[@]}"
