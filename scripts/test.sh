#!/usr/bin/env bash
# Builds zel from nothing and runs every test twice: an optimised build, and one under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --test-peers
jobs=$(nproc)
for variant in release asan; do
  dir=build/test-$variant
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
  [ $variant = asan ] && flags+=(-DZEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
  echo "== $variant build"
  cmake -S . -B "$dir" "${flags[@]}" >/dev/null
  cmake --build "$dir" -j"$jobs" -- --no-print-directory 2>&1 | grep -vE '^\[ *[0-9]+%\]' || true
  [ -x "$dir/service/zel" ] || { echo "build failed"; exit 1; }
  echo "== $variant tests"
  # Full stacks for leaks, so that a suppression can name the library a leak comes from.
  ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0 LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
    ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 300
done
