#!/usr/bin/env bash
# Builds the Linux target and shows what it can do so far: the 7-Zip library it finds,
# and a real FUSE mount served through our Dokan 2 implementation.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

ensure_packages "${LINUX_PACKAGES[@]}"
build_linux

echo
echo "== The 7-Zip library and the file-system loop"
build-linux/tests/vrn_unit_tests --gtest_brief=1 \
  --gtest_filter='EngineLibraryTest.*:DrivoMountTest.*'
echo
echo "== A real FUSE mount of a small volume: listing, reading, refused writes"
build-linux/tests/vrn_fuse_tests --gtest_brief=1
echo
echo "The archive mount itself (vornmount ARCHIVE MOUNTPOINT) is not built yet."
