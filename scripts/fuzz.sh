#!/usr/bin/env bash
# Fuzzes the open path: builds fuzz/vrn_open_fuzzer with clang (libFuzzer, ASan, UBSan)
# into build-fuzz, generates the seed corpus there, and runs libFuzzer for N seconds
# (default 60) with a 10 s limit per input and leak detection on. Fails on any crash,
# leak, hang, out-of-memory or sanitizer report. Installs what is missing first.
#
#   scripts/fuzz.sh [--seconds N]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

seconds=60
while [ $# -gt 0 ]; do
  case $1 in
    --seconds) seconds=${2:?--seconds needs a number}; shift 2 ;;
    --seconds=*) seconds=${1#--seconds=}; shift ;;
    -h | --help) sed -n '2,7p' "$0"; exit 0 ;;
    *) echo "fuzz.sh: unknown argument '$1' (usage: scripts/fuzz.sh [--seconds N])" >&2; exit 2 ;;
  esac
done
case $seconds in
  '' | *[!0-9]* | 0) echo "fuzz.sh: --seconds takes a positive whole number" >&2; exit 2 ;;
esac

# libclang-rt-dev holds the libFuzzer and sanitizer runtimes, llvm the symbolizer that
# names the frames of a report.
ensure_packages "${LINUX_PACKAGES[@]}" clang libclang-rt-dev llvm

build=build-fuzz
echo "== Fuzz build"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVRN_FUZZ=ON -DVRN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target vrn_open_fuzzer

echo "== Seeds"
seeds=$build/seeds
python3 fuzz/make_seeds.py "$seeds" "$(command -v 7z)"

# A fresh corpus, artifact folder and temporary folder for every run, so that what is
# reported is this run's.
corpus=$build/corpus
artifacts=$build/artifacts
scratch=$build/tmp
rm -rf "$corpus" "$artifacts" "$scratch"
mkdir -p "$corpus" "$artifacts" "$scratch"
log=$build/fuzz.log

echo "== Fuzzing for $seconds s"
start=$(date +%s)
status=0
# -max_len: the 100,000-entry seed is larger than libFuzzer's default cap of 1 MiB and
# would be cut short without it.
TMPDIR=$PWD/$scratch \
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
LSAN_OPTIONS=suppressions=$PWD/fuzz/lsan.supp:print_suppressions=0 \
  "$build/fuzz/vrn_open_fuzzer" -max_total_time="$seconds" -timeout=10 -detect_leaks=1 \
  -max_len=2097152 -print_final_stats=1 -artifact_prefix="$artifacts/" \
  "$corpus" "$seeds" >"$log" 2>&1 || status=$?
elapsed=$(( $(date +%s) - start ))

problems=()
[ "$status" -eq 0 ] || problems+=("libFuzzer exited with status $status")
found=$(find "$artifacts" -type f | sort)
[ -z "$found" ] || problems+=("artifacts: $(echo $found)")
if grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|SUMMARY: ' "$log"; then
  problems+=("a sanitizer report in $log")
fi
if grep -q 'libFuzzer disabled leak detection' "$log"; then
  problems+=("libFuzzer turned leak detection off (memory kept across inputs)")
fi
leftovers=$(find "$scratch" -mindepth 1 | wc -l)
[ "$leftovers" -eq 0 ] || problems+=("$leftovers files left in the temporary folder $scratch")

executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
if [ -z "$executed" ]; then
  executed=$(sed -n 's/^#\([0-9][0-9]*\).*/\1/p' "$log" | tail -n 1)
fi
new_inputs=$(find "$corpus" -type f | wc -l)
seed_count=$(find "$seeds" -type f | wc -l)
coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1 || true)

if [ ${#problems[@]} -gt 0 ]; then
  tail -n 60 "$log"
  echo
  printf 'FAILED: %s\n' "${problems[@]}"
fi
echo "Fuzzing: ${executed:-0} inputs executed in $elapsed s; corpus: $seed_count seeds + $new_inputs new inputs; ${coverage:-no coverage line}; log: $log"
[ ${#problems[@]} -eq 0 ]
