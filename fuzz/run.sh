#!/usr/bin/env bash
# Fuzzes zel's parsers with libFuzzer (clang, AddressSanitizer, UndefinedBehaviorSanitizer) for
# $1 seconds (default 60), growing fuzz/corpus; new inputs are merged in minimised.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
bash scripts/install-deps.sh
command -v clang++ >/dev/null || apt-get -o DPkg::Lock::Timeout=600 install -y -qq clang libclang-rt-dev
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DZEL_FUZZ=ON -DZEL_TESTS=OFF -DZEL_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/fuzz -j"$(nproc)" --target zel_fuzz -- --no-print-directory >/dev/null
mkdir -p build/fuzz/new
build/fuzz/fuzz/zel_fuzz -max_total_time="$seconds" -max_len=65536 -timeout=10 build/fuzz/new fuzz/corpus
build/fuzz/fuzz/zel_fuzz -merge=1 fuzz/corpus build/fuzz/new
