#!/usr/bin/env bash
# zel against curl on the same exchange requests, side by side: builds the optimised zel (no test
# knobs) and the test exchange server, makes the test PKI, and runs bench/exchange.py.
#   bash bench/exchange.sh [--runs N] [--documents N]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=build/bench-exchange
cmake -S . -B $build -DCMAKE_BUILD_TYPE=Release -DZEL_TESTS=OFF >/dev/null
cmake --build $build -j"$(nproc)" --target zel exchange_server zel_seal -- --no-print-directory >/dev/null
bash testing/make-test-pki.sh $build/pki >/dev/null
python3 bench/exchange.py $build $build/pki "$@"
