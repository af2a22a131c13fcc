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
for i in 1 2 3; do
  cat > "$base/out/declaration-$i.xml" <<XML
<?xml version="1.0" encoding="utf-8"?>
<env:Envelope xmlns:env="http://www.w3.org/2001/06/soap-envelope">
  <env:Header>
    <ed:EDHeader xmlns:ed="urn:demo:EDHeader"><ed:ParticipantID>PID-000$i</ed:ParticipantID></ed:EDHeader>
    <roi:RoutingInf xmlns:roi="urn:demo:RoutingInf"><roi:EnvelopeID>demo-envelope-$i</roi:EnvelopeID></roi:RoutingInf>
  </env:Header>
  <env:Body><Declaration>demo $i</Declaration></env:Body>
</env:Envelope>
XML
done
echo "<not an envelope>" > "$base/out/broken.xml"
echo "== outbound before"; ls "$base/out"
echo "== zel -f -d (stopped with Ctrl-C after 3 seconds)"
"$base/zel" -f -d & pid=$!
sleep 3
kill -INT $pid
wait $pid
echo "== outbound after"; ls "$base/out"
echo "== queue (documents with their upload tickets)"; ls "$base/queue"
echo "== bad"; ls "$base/bad"
echo "== a ticket"; cat "$base/queue/declaration-1.ticket"; echo
echo "== $base/log/zel.log"; cat "$base/log/zel.log"
