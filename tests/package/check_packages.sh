#!/usr/bin/env bash
# Checks what scripts/package.sh made, as a user gets it:
#   the .deb: installed with apt-get into this machine, /usr/bin/vornmount mounts an
#   archive and a file reads back whole; an /etc/fstab-style line (a fstab of its own,
#   through `mount -T`, so mount(8) and mount.fuse3 do what they do at boot) mounts it
#   with its options and `umount` ends it; then the package is removed again, unless it
#   was installed before.
#   the .zip: the four files of the Windows release, its vornmount.exe byte for byte the
#   build that the Wine tests ran.
# Needs root (apt-get, mount). Prints "ok ..." per check; exits 1 at the first failure.
#
# Usage: tests/package/check_packages.sh DEB ZIP WINDOWS_EXE
set -euo pipefail
[ "$(id -u)" -eq 0 ] || exec sudo "$0" "$@"
deb=$(realpath "$1") zip=$(realpath "$2") exe=$(realpath "$3")

work=$(mktemp -d)
installed_before=0
dpkg -s vornmount >/dev/null 2>&1 && installed_before=1
cleanup() {
  local dir
  for dir in "$work"/mnt-*; do
    mountpoint -q "$dir" 2>/dev/null && umount "$dir" 2>/dev/null || true
  done
  if [ "$installed_before" -eq 0 ] && dpkg -s vornmount >/dev/null 2>&1; then
    dpkg -r vornmount >/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAILED: $*" >&2; exit 1; }
ok() { echo "ok $*"; }

# Fails unless Dir is no mount point any more within 5 s (umount ended the mount).
wait_unmounted() {
  local i
  for i in $(seq 50); do
    mountpoint -q "$1" || return 0
    sleep 0.1
  done
  fail "$1 is still mounted"
}

# The archive: a text file, a file in a folder, a link.
mkdir -p "$work/src/docs"
printf 'installed and mounted\n' >"$work/src/hello.txt"
head -c 300000 /dev/urandom >"$work/src/docs/data.bin"
chmod 0640 "$work/src/docs/data.bin"
ln -s docs/data.bin "$work/src/link"
(cd "$work/src" && 7z a -bd -y "$work/a b.7z" hello.txt docs link >/dev/null)
archive="$work/a b.7z"

# --- Debian package -----------------------------------------------------------------
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$deb" \
  >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get install $deb"; }
[ "$(dpkg-query -W -f '${Status}' vornmount)" = "install ok installed" ] ||
  fail "the package is not installed"
[ -x /usr/bin/vornmount ] || fail "/usr/bin/vornmount is missing"
/usr/bin/vornmount --version | grep -q '^vornmount ' || fail "vornmount --version"
manual=/usr/share/man/man1/vornmount.1.gz
dpkg -L vornmount | grep -qx "$manual" || fail "the package has no $manual"
zcat "$manual" | grep -q '^\.TH VORNMOUNT 1' || fail "$manual is no manual page"
[ -f /usr/share/doc/vornmount/copyright ] || fail "no copyright file"
ok "apt-get install ./$(basename "$deb"): /usr/bin/vornmount, its manual page, copyright"

# The installed program, run as a user runs it: returns once mounted.
mnt=$work/mnt-cli
mkdir "$mnt"
/usr/bin/vornmount "$archive" "$mnt" || fail "/usr/bin/vornmount exited with $?"
mountpoint -q "$mnt" || fail "not mounted after vornmount returned"
cmp "$mnt/hello.txt" "$work/src/hello.txt" || fail "hello.txt differs"
cmp "$mnt/docs/data.bin" "$work/src/docs/data.bin" || fail "docs/data.bin differs"
[ "$(readlink "$mnt/link")" = docs/data.bin ] || fail "the link's target"
umount "$mnt"
wait_unmounted "$mnt"
ok "/usr/bin/vornmount ARCHIVE DIR: files read back whole, the link as stored, umount ends it"

# An fstab line, mounted the way mount(8) mounts one: fuse.vornmount runs
# /usr/bin/vornmount through mount.fuse3 with the line's options.
mnt=$work/mnt-fstab
mkdir "$mnt"
archive_field=${archive// /\\040}
printf '%s %s fuse.vornmount ro,nofail,uid=4321,gid=8765,umask=0027 0 0\n' \
  "$archive_field" "$mnt" >"$work/fstab"
mount -T "$work/fstab" "$mnt" || fail "mount -T fstab $mnt"
line=$(awk -v dir="$mnt" '$2 == dir' /proc/mounts)
[ "$(echo "$line" | awk '{print $1}')" = "$archive_field" ] || fail "source in /proc/mounts: $line"
[ "$(echo "$line" | awk '{print $3}')" = fuse.vornmount ] || fail "type in /proc/mounts: $line"
echo "$line" | awk '{print $4}' | tr , '\n' | grep -qx ro || fail "not read-only: $line"
[ "$(stat -c '%u:%g %a' "$mnt/docs/data.bin")" = "4321:8765 440" ] ||
  fail "owner and mode: $(stat -c '%u:%g %a' "$mnt/docs/data.bin")"
cmp "$mnt/docs/data.bin" "$work/src/docs/data.bin" || fail "docs/data.bin differs (fstab)"
umount "$mnt" || fail "umount $mnt"
wait_unmounted "$mnt"
ok "fstab line through mount -T: source, type, ro, uid/gid/umask, data; umount"

# --- Windows zip ----------------------------------------------------------------------
listing=$(unzip -Z1 "$zip" | sort)
name=$(basename "$zip" .zip)
expected=$(printf '%s/\n%s/LICENSE.txt\n%s/README.txt\n%s/THIRD-PARTY-NOTICES.txt\n%s/vornmount.exe\n' \
  "$name" "$name" "$name" "$name" "$name" | sort)
[ "$listing" = "$expected" ] || fail "the zip holds: $listing"
unzip -q "$zip" -d "$work/zip"
cmp "$work/zip/$name/vornmount.exe" "$exe" || fail "the zip's vornmount.exe is not the tested build"
grep -q 'Dokan 2.0.6' "$work/zip/$name/README.txt" || fail "README.txt names no Dokan version"
grep -q $'\r$' "$work/zip/$name/README.txt" || fail "README.txt has no Windows line ends"
ok "$(basename "$zip"): vornmount.exe (the tested build), README.txt, LICENSE.txt, notices"
