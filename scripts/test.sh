#!/usr/bin/env bash
# Builds zel from nothing and runs every test twice: an optimised build, and one under
# AddressSanitizer and UndefinedBehaviorSanitizer. Once, after the optimised run, the Debian package
# is built (lintian without errors) and installed, removed and purged on this machine, and zel.exe
# is cross-built for Windows, its unit tests run under Wine and the service is run end to end there
# against the exchange server of the optimised build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test package windows
jobs=$(nproc)
for variant in release asan; do
  dir=build/test-$variant
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_TEST_KNOBS=ON)
  [ $variant = asan ] && flags+=(-DZEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
  echo "== $variant build"
  cmake -S . -B "$dir" "${flags[@]}" >/dev/null
  cmake --build "$dir" -j"$jobs" -- --no-print-directory 2>&1 | grep -vE '^\[ *[0-9]+%\]' || true
  [ -x "$dir/service/zel" ] || { echo "build failed"; exit 1; }
  echo "== $variant tests"
  # Full stacks for leaks, so that a suppression can name the library a leak comes from.
  ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0 LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
    ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 300
  if [ $variant = release ]; then
    echo "== the Debian package"
    rm -rf build/package
    bash scripts/package.sh build/package
    bash tests/package/package-test.sh build/package/zel_*.deb
    echo "== the Windows build, its tests under Wine"
    ZEL_JOBS=$jobs bash scripts/build-windows.sh tests 2>&1 | grep -vE '^\[ *[0-9]+%\]' || true
    ctest --test-dir build/win --output-on-failure --timeout 300
    bash tests/windows/integration.sh build/win "$dir" build/win/integration
  fi
done
