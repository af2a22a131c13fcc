#!/usr/bin/env bash
# Cross-builds zel.exe for 64-bit Windows with mingw-w64 (scripts/install-deps.sh windows installs
# the compilers, the mingw zlib and Wine). Debian ships no mingw expat and no mingw GoogleTest: both
# are built here from Debian's own sources (apt-get source expat, /usr/src/googletest) into a cache
# under build/, once. Usage:
#   scripts/build-windows.sh [targets...]    default target: zel; "tests" adds the unit tests
# The result is build/win/service/zel.exe; the unit tests run under Wine with ctest --test-dir build/win.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
host=x86_64-w64-mingw32
deps=$top/build/win-deps
prefix=$deps/prefix
toolchain=$top/cmake/mingw-w64.cmake
jobs=${ZEL_JOBS:-2}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

for tool in $host-g++-posix $host-windres $host-windmc; do
  command -v "$tool" >/dev/null || { echo "build-windows.sh: $tool missing: run scripts/install-deps.sh windows" >&2; exit 2; }
done
[ -f /usr/$host/lib/libz.a ] || { echo "build-windows.sh: libz-mingw-w64-dev missing" >&2; exit 2; }

mkdir -p "$deps"

# expat from Debian's source package, as a static library.
if [ ! -f "$prefix/lib/libexpat.a" ]; then
  src=$(ls -d "$deps"/expat-*/ 2>/dev/null | head -n1 || true)
  if [ -z "$src" ]; then
    (cd "$deps" && apt-get source -qq expat) || {
      echo "build-windows.sh: apt-get source expat failed: scripts/install-deps.sh windows adds the deb-src entry" >&2
      exit 2
    }
    src=$(ls -d "$deps"/expat-*/ | head -n1)
  fi
  lib=$src; [ -f "$src/expat/CMakeLists.txt" ] && lib=$src/expat
  # Debian's patches test "#if XML_DTD == 1", as its configure script defines it; the CMake
  # template defines it empty, so it is given the value 1 here.
  sed -i 's/^#cmakedefine XML_DTD$/#cmakedefine XML_DTD 1/; s/^#cmakedefine XML_NS$/#cmakedefine XML_NS 1/' \
      "$lib/expat_config.h.cmake"
  cmake -S "$lib" -B "$deps/expat-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DEXPAT_SHARED_LIBS=OFF -DEXPAT_BUILD_TOOLS=OFF \
        -DEXPAT_BUILD_EXAMPLES=OFF -DEXPAT_BUILD_TESTS=OFF -DEXPAT_BUILD_DOCS=OFF -DEXPAT_BUILD_PKGCONFIG=OFF \
        "${launcher[@]}" >/dev/null
  nice cmake --build "$deps/expat-build" -j"$jobs" >/dev/null
  cmake --install "$deps/expat-build" >/dev/null
  # The import names CMake's FindEXPAT looks for.
  [ -f "$prefix/lib/libexpat.a" ] || cp "$prefix"/lib/libexpat*.a "$prefix/lib/libexpat.a"
fi

# GoogleTest (with gmock) from the sources libgtest-dev ships.
if [[ " $* " == *" tests "* ]] && [ ! -f "$prefix/lib/libgtest.a" ]; then
  cmake -S /usr/src/googletest -B "$deps/gtest-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
        -DBUILD_GMOCK=ON "${launcher[@]}" >/dev/null
  nice cmake --build "$deps/gtest-build" -j"$jobs" >/dev/null
  cmake --install "$deps/gtest-build" >/dev/null
fi

targets=()
tests=OFF
for t in "${@:-zel}"; do
  if [ "$t" = tests ]; then tests=ON; targets+=(zel_windows_tests); else targets+=("$t"); fi
done
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-/work} CCACHE_NOHASHDIR=1
cmake -S "$top" -B "$top/build/win" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DZEL_WIN_PREFIX="$prefix" \
      -DCMAKE_BUILD_TYPE=${ZEL_WIN_BUILD_TYPE:-Release} -DZEL_TESTS=$tests -DZEL_TEST_PEERS=OFF \
      -DZEL_TEST_KNOBS=$tests "${launcher[@]}" >/dev/null
nice cmake --build "$top/build/win" -j"$jobs" --target "${targets[@]}"
