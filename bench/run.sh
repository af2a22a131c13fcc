#!/usr/bin/env bash
# Builds the benchmarks optimised and runs them; figures in MB/s (bytes_per_second).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DZEL_TESTS=OFF -DZEL_BENCH=ON >/dev/null
cmake --build build/bench -j"$(nproc)" -- --no-print-directory >/dev/null
for b in build/bench/bench/*_bench; do
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.5 "$@"
done
echo "== SMTP ingest against aiosmtpd"
/usr/bin/python3 bench/smtp_ingest.py build/bench/service/zel build/bench/testing/zel_seal
