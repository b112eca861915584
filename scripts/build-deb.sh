#!/usr/bin/env bash
# Builds the Debian package parcelo_<version>_<arch>.deb from a Release
# build: build-deb.sh [BUILD-DIR [OUT-DIR]]. The build goes to BUILD-DIR
# (default build-deb/, kept apart from the test builds), the package to
# OUT-DIR (default the top of the source tree). Prints the package's path as
# its last line. Install it with
#   sudo apt install ./parcelo_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-deb}
out=${2:-.}
case $build in /*) ;; *) build=$PWD/$build ;; esac
mkdir -p "$out"
out=$(cd "$out" && pwd)

./scripts/install-deps.sh

# Debian's own compiler and linker flags, hardening included, as a package
# built by Debian's tools would get them. CMake reads no CPPFLAGS, so the
# preprocessor's go in with the compiler's.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
export CFLAGS="$CPPFLAGS $CFLAGS" CXXFLAGS="$CPPFLAGS $CXXFLAGS"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPARCELO_BUILD_TESTS=OFF >/dev/null
nice cmake --build "$build" -j "$(nproc)"

rm -f "$build"/parcelo_*.deb
(cd "$build" && nice cpack -G DEB >cpack.log 2>&1) || { cat "$build/cpack.log" >&2; exit 1; }
deb=$(ls "$build"/parcelo_*.deb 2>/dev/null) || { cat "$build/cpack.log" >&2; exit 1; }
if ! [ "$(dirname "$deb")" -ef "$out" ]; then
  rm -f "$out"/parcelo_*.deb   # an older version would make parcelo_*.deb name two packages
  mv -f "$deb" "$out/"
fi
echo "$out/$(basename "$deb")"
