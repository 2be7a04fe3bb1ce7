#!/usr/bin/env bash
# The mount benchmark: how a mounted archive compares with the 7z program on the same
# archive, measured in one run and printed as a table.
#
# Two solid archives are generated (and kept for later runs): "small", many small files
# of text in a source-like tree (20,000 files, 150 MiB unpacked by default), and "large",
# a few big files of text and random bytes (4 files, 400 MiB). For each, the 7z program
# gives the yardsticks: `7z x -so ARCHIVE > /dev/null` (raw extraction) and `7z l
# ARCHIVE` (listing). Then, for each store kind, vrn_mount_probe runs vornmount on a
# fresh mount and times: mounting plus a full recursive listing with attributes (target
# at most 1.5x `7z l`), reading every file once (at most 1.2x raw extraction), 200
# random reads once everything is extracted (under 1% of raw extraction: whole files of
# the small archive, 64 KiB ranges of the large one, whose four files would otherwise
# be read fifty times over), and the program's peak resident memory.
#
# Usage: bench/mount_bench.sh [--quick] [--small-files N] [--small-mb N]
#                             [--large-files N] [--large-mb N] [--data FOLDER]
#   --quick   a tenth of the default sizes: 2,000 files of 15 MiB, 4 files of 40 MiB
#   --data    where the generated archives are kept (default build-linux/bench-data)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

small_files=20000 small_mb=150 large_files=4 large_mb=400
data=$PWD/build-linux/bench-data
while [ $# -gt 0 ]; do
  case $1 in
    --quick) small_files=2000 small_mb=15 large_files=4 large_mb=40 ;;
    --small-files) small_files=$2; shift ;;
    --small-mb) small_mb=$2; shift ;;
    --large-files) large_files=$2; shift ;;
    --large-mb) large_mb=$2; shift ;;
    --data) data=$2; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "mount_bench.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
  shift
done

ensure_packages "${LINUX_PACKAGES[@]}"
if [ ! -f build-linux/build.ninja ]; then
  cmake -S . -B build-linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build-linux --target vornmount vrn_mount_probe >/dev/null
program=$PWD/build-linux/vornmount
probe=$PWD/build-linux/bench/vrn_mount_probe

mountpoint=$(mktemp -d /tmp/vornmount-bench-XXXXXX)
cleanup() {
  if mountpoint -q "$mountpoint" 2>/dev/null; then
    fusermount3 -u -z "$mountpoint" 2>/dev/null || true
  fi
  rmdir "$mountpoint" 2>/dev/null || true
}
trap cleanup EXIT

# The archive of one kind, made when missing.
archive_of() {
  local kind=$1 files=$2 mb=$3
  local archive=$data/$kind-$files-$mb.7z
  if [ ! -f "$archive" ]; then
    mkdir -p "$data"
    echo "Generating $archive ..." >&2
    python3 bench/make_bench_data.py "$kind" "$archive" "$files" "$mb"
  fi
  echo "$archive"
}

# The best wall time of two runs of a command, in seconds, its output discarded.
best_of_two() {
  local best= start end seconds
  for _ in 1 2; do
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    seconds=$(awk -v d=$((end - start)) 'BEGIN { printf "%.4f", d / 1e9 }')
    if [ -z "$best" ] || awk -v a="$seconds" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$seconds
    fi
  done
  echo "$best"
}

# "met" or "MISSED": whether Value <= Limit.
verdict() {
  awk -v v="$1" -v l="$2" 'BEGIN { print (v <= l ? "met" : "MISSED") }'
}

figure() {
  sed -n "s/^$1 //p" <<<"$2"
}

bench_archive() {
  local kind=$1 archive=$2 mode=$3
  local packed blocks raw list
  packed=$(stat -c %s "$archive")
  blocks=$(7z l -slt "$archive" | sed -n 's/^Blocks = //p')
  cat "$archive" >/dev/null  # in the page cache for everyone alike
  raw=$(best_of_two 7z x -so "$archive")
  list=$(best_of_two 7z l "$archive")
  echo
  echo "== $kind: $(basename "$archive"), $((packed >> 20)) MiB packed in ${blocks:-1} solid block(s)"
  printf '7z x -so > /dev/null: %.3f s    7z l: %.3f s\n' "$raw" "$list"
  printf '%-12s %8s %12s %-14s %10s %-14s %10s %-14s %10s %9s\n' \
    store "mount s" "mount+list s" "(/7z l)" "read all s" "(/raw)" "random s" "(of raw)" \
    "reread s" "peak RSS"
  local store result
  for store in temp memory-temp memory; do
    result=$("$probe" "$program" "$archive" "$mountpoint" "$store" "$mode" 200)
    local mount mountList readAll random reread rss
    mount=$(figure mount_seconds "$result")
    mountList=$(figure mount_list_seconds "$result")
    readAll=$(figure read_all_seconds "$result")
    random=$(figure random_seconds "$result")
    reread=$(figure reread_all_seconds "$result")
    rss=$(figure peak_rss_kib "$result")
    local listRatio readRatio randomShare
    listRatio=$(awk -v a="$mountList" -v b="$list" 'BEGIN { printf "%.2f", a / b }')
    readRatio=$(awk -v a="$readAll" -v b="$raw" 'BEGIN { printf "%.2f", a / b }')
    randomShare=$(awk -v a="$random" -v b="$raw" 'BEGIN { printf "%.2f", 100 * a / b }')
    printf '%-12s %8.3f %12.3f %-14s %10.3f %-14s %10.4f %-14s %10.3f %5d MiB\n' \
      "$store" "$mount" "$mountList" "${listRatio}x $(verdict "$listRatio" 1.5)" \
      "$readAll" "${readRatio}x $(verdict "$readRatio" 1.2)" \
      "$random" "${randomShare}% $(verdict "$randomShare" 0.99999)" "$reread" $((rss >> 10))
    if [ "$store" = temp ]; then
      echo "             ($(figure files "$result") files, $(($(figure bytes "$result") >> 20)) MiB unpacked)"
    fi
  done
}

echo "Targets: mount+list <= 1.5x 7z l; read all <= 1.2x raw extraction;" \
  "200 random reads < 1% of raw extraction."
echo "$(nproc) cores, $(uname -r)"
small=$(archive_of small "$small_files" "$small_mb")
large=$(archive_of large "$large_files" "$large_mb")
bench_archive "small files" "$small" files
bench_archive "large files" "$large" ranges
