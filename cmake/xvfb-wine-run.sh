#!/bin/sh
# Runs a Windows program of the build under Wine on a virtual X display of its own, for
# the tests that show real windows.
#
# The program gets a fresh wineserver: one left running by an earlier program of the run
# (cmake/wine-run.sh keeps it a few seconds) was started without this display, and so was
# Wine's desktop process with it. Wine is told to draw window captions and frames itself,
# since no window manager runs on the display, and to speak English. When
# VRN_SCREENSHOT_DIR names a folder, a watcher on the display answers each NAME.request
# file that appears there with a picture of the screen, NAME.png (ImageMagick import, cut
# to the windows shown).
set -u
here=$(cd "$(dirname "$0")" && pwd)

if [ "${VRN_ON_XVFB:-}" != 1 ]; then
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  status=0
  VRN_ON_XVFB=1 xvfb-run -a -s '-screen 0 1280x1024x24' "$0" "$@" || status=$?
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  exit $status
fi

# The tests compare the system's own English texts (button captions such as "OK").
export LC_ALL=C.UTF-8
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml,winemenubuilder.exe=d}"
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1

watcher=
if [ -n "${VRN_SCREENSHOT_DIR:-}" ]; then
  (
    while :; do
      for request in "$VRN_SCREENSHOT_DIR"/*.request; do
        [ -e "$request" ] || continue
        name=${request%.request}
        if import -window root -trim +repage "$name.part.png" 2>/dev/null; then
          mv "$name.part.png" "$name.png"
        fi
        rm -f "$request"
      done
      sleep 0.2
    done
  ) &
  watcher=$!
fi

status=0
"$here/wine-run.sh" "$@" || status=$?
[ -n "$watcher" ] && kill "$watcher" 2>/dev/null
exit $status
