#!/usr/bin/env bash
# Builds the Debian package dist/corvanefortcp_<version>_<arch>.deb with CPack
# and checks it: lintian (errors fail, warnings are shown), desktop-file-validate
# on the desktop entry and the autostart entry, and appstreamcli on the
# AppStream metadata.
# Usage: bash scripts/package.sh [--from DIR]   (JOBS=nproc)
#   By default in its own build directory (BUILD_DIR=build-pkg): Release, only
#   the two programs, without the tests (CORVANE_BUILD_TESTS=OFF).
#   --from DIR packages a build tree made with the same Debian flags and prefix
#   (scripts/debian-flags.sh; scripts/test.sh's normal build), so that the
#   package holds the very programs its tests ran; it refuses a tree made
#   with other flags.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build-pkg}
from=0
case "${1:-}" in
  --from) [ -n "${2:-}" ] || { echo "package.sh: --from needs a build directory" >&2; exit 2; }; build=$2; from=1 ;;
  "") ;;
  *) echo "usage: bash scripts/package.sh [--from DIR]" >&2; exit 2 ;;
esac
jobs=${JOBS:-$(nproc)}
started=$SECONDS

for tool in cmake cpack dpkg-shlibdeps scdoc lintian desktop-file-validate appstreamcli; do
  command -v "$tool" >/dev/null || { echo "package.sh: $tool is missing (bash scripts/install-deps.sh)" >&2; exit 1; }
done

# shellcheck source=scripts/debian-flags.sh
source scripts/debian-flags.sh
if [ $from -eq 1 ]; then
  # The tree's cache must hold exactly the flags and the prefix a package
  # build would use.
  cache=$build/CMakeCache.txt
  [ -f "$cache" ] || { echo "package.sh: $build is not a configured build tree" >&2; exit 1; }
  for arg in "${debian_cmake_args[@]}"; do
    key=${arg#-D}; key=${key%%=*}; want=${arg#*=}
    have=$(sed -n "s/^$key:[A-Z]*=//p" "$cache")
    [ "$have" = "$want" ] || { echo "package.sh: $build has $key='$have', a package needs '$want'" >&2; exit 1; }
  done
  echo "== build (the tree $build)"
  cmake --build "$build" -j "$jobs"
else
  # Through ccache when it is there (scripts/test.sh sets where it looks).
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  echo "== configure $build"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_TESTS=OFF "${debian_cmake_args[@]}" "${launcher[@]}" \
    >/dev/null
  echo "== build"
  cmake --build "$build" -j "$jobs"
fi
echo "== cpack"
rm -rf "$build/cpack"
(cd "$build" && cpack -G DEB)

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
arch=$(dpkg --print-architecture)
name=corvanefortcp_${version}_${arch}.deb
[ -f "$build/cpack/$name" ] || { echo "package.sh: cpack made no $build/cpack/$name" >&2; ls "$build/cpack" >&2; exit 1; }
mkdir -p dist
rm -f dist/corvanefortcp_*.deb
cp "$build/cpack/$name" dist/
deb=dist/$name

status=0
echo "== contents of $deb"
dpkg-deb --field "$deb"
dpkg-deb --contents "$deb" | awk '{print $1, $6, $7, $8}'

echo "== lintian"
# lintian's exit status is 1 with errors only (its default --fail-on=error).
lintian --info --display-level '>=info' "$deb" || { echo "lintian: errors (see above)"; status=1; }

echo "== desktop-file-validate and appstreamcli"
files=$(mktemp -d)
trap 'rm -rf "$files"' EXIT
dpkg-deb -x "$deb" "$files"
desktop=$files/usr/share/applications/jp.quorvantine.CorvaneForTcp.desktop
autostart=$files/etc/xdg/autostart/messengerd.desktop
metainfo=$files/usr/share/metainfo/jp.quorvantine.CorvaneForTcp.metainfo.xml
if desktop-file-validate "$desktop"; then echo "desktop entry: valid"; else status=1; fi
if desktop-file-validate "$autostart"; then echo "autostart entry: valid"; else status=1; fi
# appstreamcli's exit status is not 0 with errors (warnings, infos and
# pedantic notes are printed and let it pass).
if appstreamcli validate --no-net --explain "$metainfo"; then :; else status=1; fi

echo "== $deb: $(stat -c %s "$deb") bytes, $((SECONDS - started)) s"
if [ $status -eq 0 ]; then echo "PACKAGE OK"; else echo "PACKAGE CHECKS FAILED"; fi
exit $status
