#!/bin/sh
# Takes pictures of the window stopped, opening, mounted with progress and messages, and
# of its error box: runs the window tests' Screenshots case on a virtual display, which
# asks for each picture in turn. Usage: screenshots.sh OUTPUT_FOLDER TEST_PROGRAM.
# Fails when a picture is missing.
set -u
out=$1
program=$2
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out" || exit 1
rm -f "$out"/*.png "$out"/*.request
status=0
VRN_SCREENSHOT_DIR=$out "$here/../../cmake/xvfb-wine-run.sh" "$program" \
  --gtest_filter=MainForm.Screenshots || status=$?
for name in main-stopped main-opening main-mounted error-box; do
  if [ ! -s "$out/$name.png" ]; then
    echo "screenshots: $out/$name.png is missing" >&2
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "screenshots: saved in $out"
exit $status
