#!/usr/bin/env bash
# Builds the Debian package of zel from the committed tree (plus changes to tracked files), in a
# scratch copy, with debhelper; checks it with lintian (no errors allowed) and leaves the .deb in
# the folder named by the first argument (default build/package).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh package
out=$(realpath -m "${1:-build/package}")
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
work=$(mktemp -d /tmp/zel-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
src=$work/zel-$version
mkdir -p "$src"
if git rev-parse --git-dir >/dev/null 2>&1; then
  git ls-files -z | xargs -0 cp --parents -t "$src"
else
  tar --exclude=./build -cf - . | tar -xf - -C "$src"
fi
flags=
if command -v ccache >/dev/null; then
  flags=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR=$work CCACHE_NOHASHDIR=1
fi
echo "== building zel $version"
(cd "$src" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" ZEL_CMAKE_FLAGS=$flags \
  dpkg-buildpackage -b -us -uc > "$work/build.log" 2>&1) || { tail -40 "$work/build.log"; exit 1; }
deb=$(ls "$work"/zel_"$version"_*.deb)
echo "== lintian"
lintian --fail-on error --tag-display-limit 0 "$deb"
mkdir -p "$out"
cp "$deb" "$out/"
echo "== $out/$(basename "$deb")"
