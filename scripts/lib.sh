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

# The project's version, as CMakeLists.txt declares it.
vrn_version() {
  sed -n 's/^project(vornmount VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt
}

# The packages the Linux build and its tests need.
LINUX_PACKAGES=(cmake ninja-build g++ pkg-config libfuse3-dev fuse3 libicu-dev
                libgtest-dev libgmock-dev p7zip-full python3)

# Configures and builds the Linux target into build-linux.
build_linux() {
  cmake -S . -B build-linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build-linux
}

# Configures and builds a sanitizer build of the Linux target: build_sanitized FOLDER
# SANITIZERS, with SANITIZERS as for -fsanitize= (address,undefined or thread).
build_sanitized() {
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVRN_SANITIZE="$2" >/dev/null
  cmake --build "$1"
}

# The sanitizers' run-time options: the first report ends the program with an error, and
# the suppressions name the few reports that come from libraries outside the project.
export_sanitizer_options() {
  local supp=$PWD/tests/sanitizers
  export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export LSAN_OPTIONS=suppressions=$supp/lsan.supp
  export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$supp/tsan.supp"
}

# Configures and builds the Windows target into build-windows (after windows-deps.sh).
build_windows() {
  cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DVRN_7ZXA_DLL="$VRN_7ZXA_DLL" >/dev/null
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
