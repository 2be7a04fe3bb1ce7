#!/usr/bin/env bash
# Builds both targets and runs every test: the Linux build with its real FUSE mounts,
# and the Windows build under Wine. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

start=$(date +%s)
ensure_packages "${LINUX_PACKAGES[@]}"
source scripts/windows-deps.sh

echo "== Linux build"
build_linux
echo "== Linux tests"
linux_ok=0
run_ctest build-linux --timeout 120 || linux_ok=$?
linux_passed=$CTEST_PASSED linux_failed=$CTEST_FAILED

echo "== Windows build"
build_windows
echo "== Windows tests (Wine)"
windows_ok=0
run_ctest build-windows --timeout 300 || windows_ok=$?
windows_passed=$CTEST_PASSED windows_failed=$CTEST_FAILED

passed=$((linux_passed + windows_passed))
failed=$((linux_failed + windows_failed))
echo
echo "Linux: $linux_passed passed, $linux_failed failed; Windows (Wine): $windows_passed passed, $windows_failed failed; $(( $(date +%s) - start )) s"
echo "$passed passed, $failed failed"
[ "$linux_ok" -eq 0 ] && [ "$windows_ok" -eq 0 ] && [ "$failed" -eq 0 ]
