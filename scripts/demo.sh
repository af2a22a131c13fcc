#!/usr/bin/env bash
# The main job, on local folders: builds zel, sets up a base folder, generates config.xml there, runs
# the service in the foreground on it for a few seconds, and shows its log.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_TESTS=OFF >/dev/null
cmake --build build/demo -j"$(nproc)" --target zel -- --no-print-directory >/dev/null
base=$(mktemp -d /tmp/zel-demo.XXXXXX)
trap 'rm -rf "$base"' EXIT
cp build/demo/service/zel "$base/"
echo "== zel -v"; "$base/zel" -v
echo "== zel -g"; "$base/zel" -g
mkdir -p "$base"/{in,out,bad,queue,temp,log}
echo "== config.xml"; cat "$base/config.xml"
echo "== zel -f -d (stopped with Ctrl-C after 3 seconds)"
"$base/zel" -f -d & pid=$!
sleep 3
kill -INT $pid
wait $pid
echo "== $base/log/zel.log"; cat "$base/log/zel.log"
