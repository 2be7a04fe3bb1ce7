#!/usr/bin/env bash
# Shows the program's main job from end to end: packs this repository's own sources, with
# a symbolic link and a small executable script beside them, into a solid 7z archive of a
# few blocks, mounts it with `vornmount` on a temporary folder, lists the folder, follows
# the link and runs the script from the mount, reads every file through the mount and
# compares it with what `7z x` extracts, shows the program's own output, unmounts and
# prints a verdict.
#
# Builds the Linux program first when needed (installing missing Debian packages). Needs
# root or FUSE rights. Whatever happens, the folder is unmounted and the temporary files
# go when the script ends.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

ensure_packages "${LINUX_PACKAGES[@]}"
if [ ! -x build-linux/vornmount ] || [ -n "$(find app mount vfs model engine platform \
    CMakeLists.txt -newer build-linux/vornmount -print -quit)" ]; then
  echo "== Building"
  build_linux >/dev/null
fi
program=$PWD/build-linux/vornmount

work=$(mktemp -d /tmp/vornmount-demo-XXXXXX)
mountpoint=$work/mnt
log=$work/vornmount.log
server=
cleanup() {
  if [ -n "$server" ] && kill -0 "$server" 2>/dev/null; then
    kill -TERM "$server" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$server" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$server" 2>/dev/null || true
  fi
  if mountpoint -q "$mountpoint" 2>/dev/null; then
    fusermount3 -u -z "$mountpoint" 2>/dev/null || umount -l "$mountpoint" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$mountpoint" "$work/extracted"
status=0

echo "== A solid archive of this repository's sources (32 files a block)"
mkdir "$work/tree"
git ls-files --cached --others --exclude-standard -z -- . ":!:.*" |
  xargs -0 cp --parents -t "$work/tree"
printf '#!/bin/sh\necho "Hello from a script inside the archive"\n' >"$work/tree/hello.sh"
chmod 755 "$work/tree/hello.sh"
ln -s README.md "$work/tree/read-me-link"
(cd "$work/tree" && 7z a -bd -snl -ms=on -ms=32f -mx=7 "$work/sources.7z" . >/dev/null)
7z l "$work/sources.7z" | tail -n 1
echo "blocks: $(7z l -slt "$work/sources.7z" | sed -n 's/^Blocks = //p')," \
  "archive $(stat -c %s "$work/sources.7z") bytes"
7z x -bd -snld -o"$work/extracted" "$work/sources.7z" >/dev/null

echo
echo "== vornmount sources.7z $mountpoint"
"$program" -f "$work/sources.7z" "$mountpoint" >"$log" 2>&1 &
server=$!
for _ in $(seq 200); do
  grep -q '^Mounted at ' "$log" && break
  kill -0 "$server" 2>/dev/null || break
  sleep 0.05
done
if ! grep -q '^Mounted at ' "$log"; then
  cat "$log"
  echo "Verdict: FAILED, the archive was not mounted"
  exit 1
fi
findmnt --noheadings --output TARGET,SOURCE,FSTYPE,OPTIONS "$mountpoint" || true

echo
echo "== The mounted folder"
ls -la "$mountpoint"
echo "..."
files=$(find "$mountpoint" -type f | wc -l)
folders=$(find "$mountpoint" -mindepth 1 -type d | wc -l)
links=$(find "$mountpoint" -type l | wc -l)
echo "$files files, $folders folders and $links symbolic link"

echo
echo "== A link and an executable, as they were packed"
echo "read-me-link -> $(readlink "$mountpoint/read-me-link"); its first line: $(head -n 1 "$mountpoint/read-me-link")"
[ -L "$mountpoint/read-me-link" ] && [ "$(readlink "$mountpoint/read-me-link")" = README.md ] ||
  status=1
stat -c '%A %n' "$mountpoint/hello.sh"
"$mountpoint/hello.sh" || status=1

echo
echo "== Every file read through the mount and compared with 7z x"
if diff -r --no-dereference "$work/extracted" "$mountpoint" >"$work/diff.txt" 2>&1; then
  echo "identical: $(find "$mountpoint" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')" \
    "bytes in $files files"
else
  status=1
  head -n 20 "$work/diff.txt"
fi
echo "A write is refused:"
touch "$mountpoint/new-file" 2>&1 || true

echo
echo "== Unmounting (SIGTERM; Ctrl+C in a terminal does the same)"
kill -TERM "$server"
code=0
wait "$server" || code=$?
server=
echo "exit status $code"
mountpoint -q "$mountpoint" && status=1 && echo "still mounted!"

echo
echo "== What vornmount printed"
cat "$log"

echo
if [ "$status" -eq 0 ] && [ "$code" -eq 0 ]; then
  echo "Verdict: OK, $files files and a symbolic link served from a solid archive were" \
    "identical to 7z x, the script ran from the mount, and the folder was unmounted cleanly"
else
  echo "Verdict: FAILED"
  exit 1
fi
