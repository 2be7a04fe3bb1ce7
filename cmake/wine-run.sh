#!/bin/sh
# Runs a Windows program of the build under Wine; the emulator that ctest and test
# discovery start every .exe through.
#
# Wine is kept quiet and never offers to install Mono or Gecko. The first program of a run
# starts a wineserver that outlives each program by a few seconds, and Wine's services
# with it, their output sent nowhere: started by a test program, those services would
# hold the test's output open until the server ends, and started anew for each program
# they cost about 2 s apiece. A lock makes programs started side by side (ctest -j) wait
# for that start. A missing Wine fails the program, never skips it.
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml,winemenubuilder.exe=d}"
(
  flock 9
  if wineserver -p15 </dev/null >/dev/null 2>&1 9>&-; then
    wine cmd /c exit </dev/null >/dev/null 2>&1 9>&-
  fi
) 9>"${TMPDIR:-/tmp}/vrn-wine-run-$(id -u).lock"
exec wine "$@"
