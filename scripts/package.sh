#!/usr/bin/env bash
# Builds the two release artifacts into dist/ (or --out DIR):
#   vornmount_<version>_amd64.deb   the Linux program with its manual page, README,
#                                   copyright and changelog, for Debian 12; checked
#                                   with lintian, which must report no error
#   vornmount-<version>-win64.zip   the Windows program (the same stripped release build
#                                   that the Wine tests run), README.txt, the licence
#                                   and the notices of the runtime linked into it
# Installs what is missing first, as the other scripts do.
#
# Usage: scripts/package.sh [--deb] [--zip] [--out DIR]   (no --deb/--zip: both)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

out=dist want_deb=0 want_zip=0
while [ $# -gt 0 ]; do
  case $1 in
    --deb) want_deb=1 ;;
    --zip) want_zip=1 ;;
    --out) out=$2; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "package.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
  shift
done
[ $want_deb -eq 1 ] || [ $want_zip -eq 1 ] || want_deb=1 want_zip=1
mkdir -p "$out"
out=$(cd "$out" && pwd)

version=$(vrn_version)
changelog_version=$(sed -n '1s/^vornmount (\([^)]*\)).*/\1/p' packaging/debian/changelog)
if [ "$version" != "$changelog_version" ]; then
  echo "package.sh: CMakeLists.txt says $version, packaging/debian/changelog $changelog_version" >&2
  exit 1
fi

# Files go in with the modes Debian expects whatever the caller's umask.
umask 022
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

make_deb() {
  ensure_packages "${LINUX_PACKAGES[@]}" dpkg-dev lintian
  # Debian's build flags with every hardening (fortify, stack protector, relro, bind now,
  # PIE) over an optimised build without tests.
  local build=build-package
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  local cppflags
  cppflags=$(dpkg-buildflags --get CPPFLAGS)
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVRN_BUILD_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="$cppflags $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_C_FLAGS="$cppflags $(dpkg-buildflags --get CFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
  cmake --build "$build" --target vornmount

  # The package's tree where dpkg-shlibdeps looks for it, in a source folder of its own.
  local source=$work/source
  local root=$source/debian/vornmount
  DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
  # Stripped as Debian strips: no symbols, no compiler notes.
  strip --remove-section=.comment --remove-section=.note --strip-unneeded \
    "$root/usr/bin/vornmount"
  local doc=$root/usr/share/doc/vornmount
  # Debian's places: the licence is the copyright file, manual and changelog are gzipped
  # (-n: no name or time inside, so the same input gives the same package).
  rm -f "$doc/LICENSE"
  install -m 0644 packaging/debian/copyright "$doc/copyright"
  gzip -9n -c packaging/debian/changelog >"$doc/changelog.gz"
  gzip -9n "$root/usr/share/man/man1/vornmount.1"

  # The shared libraries' packages, as dpkg-shlibdeps finds them (it wants a debian/control).
  printf 'Source: vornmount\n\nPackage: vornmount\nArchitecture: amd64\n' \
    >"$source/debian/control"
  local shlibs
  shlibs=$(cd "$source" && dpkg-shlibdeps -O "$root/usr/bin/vornmount" |
    sed -n 's/^shlibs:Depends=//p')
  [ -n "$shlibs" ] || { echo "package.sh: dpkg-shlibdeps found no libraries" >&2; return 1; }

  local maintainer
  maintainer=$(sed -n 's/^ -- \(.*>\)  .*/\1/p' packaging/debian/changelog | head -1)
  mkdir -p "$root/DEBIAN"
  (cd "$root" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$root/DEBIAN/md5sums"
  sed -e "s|@VERSION@|$version|" -e "s|@MAINTAINER@|$maintainer|" \
      -e "s|@SHLIBS_DEPENDS@|$shlibs|" \
      -e "s|@INSTALLED_SIZE@|$(du -sk --exclude=DEBIAN "$root" | cut -f1)|" \
      packaging/debian/control >"$root/DEBIAN/control"
  chmod 0644 "$root/DEBIAN/md5sums" "$root/DEBIAN/control"

  local deb=$out/vornmount_${version}_amd64.deb
  dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
  echo "== $deb"
  dpkg-deb --info "$deb" | sed -n '/^ Package:/,$p'
  dpkg-deb --contents "$deb"
  echo "== lintian"
  # Errors fail the build; warnings and notes are shown.
  if ! lintian --tag-display-limit 0 --display-info "$deb"; then
    echo "package.sh: lintian reported errors" >&2
    return 1
  fi
  echo "lintian: no errors"
}

make_zip() {
  ensure_packages zip unzip
  source scripts/windows-deps.sh
  build_windows
  local exe=build-windows/bin/vornmount.exe
  local name=vornmount-$version-win64
  local dir=$work/zip/$name
  mkdir -p "$dir"
  install -m 0644 "$exe" "$dir/vornmount.exe"
  # Text files with Windows line ends, for Notepad.
  sed "s|@VERSION@|$version|" packaging/windows/README.txt | sed 's/$/\r/' >"$dir/README.txt"
  sed 's/$/\r/' LICENSE >"$dir/LICENSE.txt"
  {
    cat packaging/windows/THIRD-PARTY-NOTICES.txt
    echo "----------------------------------------------------------------------------"
    echo "GCC Runtime Library Exception (from Debian's gcc-mingw-w64-base copyright)"
    echo
    sed -n '/^GCC RUNTIME LIBRARY EXCEPTION$/,/requirements of the license of GCC\.$/p' \
      /usr/share/doc/gcc-mingw-w64-base/copyright
    echo
    echo "----------------------------------------------------------------------------"
    echo "MinGW-w64 (Debian's mingw-w64-common copyright statement)"
    echo
    cat /usr/share/doc/mingw-w64-common/copyright
  } | sed 's/$/\r/' >"$dir/THIRD-PARTY-NOTICES.txt"
  if ! grep -q 'GCC RUNTIME LIBRARY EXCEPTION' "$dir/THIRD-PARTY-NOTICES.txt"; then
    echo "package.sh: the GCC runtime exception was not found" >&2
    return 1
  fi
  local zip=$out/$name.zip
  rm -f "$zip"
  (cd "$work/zip" && zip -q -X -r "$zip" "$name")
  echo "== $zip"
  unzip -l "$zip"
}

[ $want_deb -eq 0 ] || make_deb
[ $want_zip -eq 0 ] || make_zip
