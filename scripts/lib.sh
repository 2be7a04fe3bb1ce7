# Shared helpers of the project's scripts; sourced, not run.

# Installs the Debian packages that are missing; does nothing when all are present.
ensure_packages() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  if [ -z "${VRN_APT_UPDATED:-}" ]; then
    "${sudo[@]}" apt-get update -q
    export VRN_APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# The packages the Linux build and its tests need.
LINUX_PACKAGES=(cmake ninja-build g++ pkg-config libfuse3-dev fuse3 libicu-dev
                libgtest-dev libgmock-dev p7zip-full python3)

# Configures and builds the Linux target into build-linux.
build_linux() {
  cmake -S . -B build-linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build-linux
}

# Configures and builds the Windows target into build-windows (after windows-deps.sh).
build_windows() {
  cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DVRN_7ZXA_DLL="$VRN_7ZXA_DLL" >/dev/null
  cmake --build build-windows
}

# Runs ctest in a build folder; prints its output and sets CTEST_PASSED and CTEST_FAILED.
run_ctest() {
  local folder=$1
  shift
  local log
  log=$(mktemp)
  local status=0
  ctest --test-dir "$folder" --output-on-failure --no-tests=error "$@" 2>&1 | tee "$log" ||
    status=$?
  local total failed skipped
  total=$(sed -n 's/.*tests* failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  failed=$(sed -n 's/.* \([0-9]*\) tests* failed out of.*/\1/p' "$log" | tail -n 1)
  if [ -z "$total" ] || [ "$total" -eq 0 ]; then
    # No test ran: that is a failure, not a pass.
    rm -f "$log"
    CTEST_PASSED=0
    CTEST_FAILED=1
    return 1
  fi
  # A skipped test is a test that did not pass.
  skipped=$(grep -c '\*\*\*Skipped' "$log" || true)
  CTEST_FAILED=$((${failed:-0} + skipped))
  rm -f "$log"
  CTEST_PASSED=$((total - CTEST_FAILED))
  [ "$status" -eq 0 ] && [ "$CTEST_FAILED" -eq 0 ]
}
