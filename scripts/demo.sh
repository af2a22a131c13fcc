#!/usr/bin/env bash
# The main job, on local folders: builds zel and the test exchange server, starts the server on
# 127.0.0.1 (HTTPS with a test certificate authority), generates a base folder and a config with two
# accounts, drops sample declarations into the outbound folder and puts documents into a server
# mailbox, runs zel in the foreground until both sides have arrived, shows them, and stops
# everything it started. zel runs under bubblewrap with the file-system restrictions of its systemd
# unit: /usr, /boot and /etc read-only (except /etc/zel), a private /tmp.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=build/demo
cmake -S . -B $build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build $build -j"$(nproc)" --target zel exchange_server zel_seal -- --no-print-directory >/dev/null
bash testing/make-test-pki.sh $build/pki

work=$(mktemp -d /tmp/zel-demo.XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
base=$work/base
mkdir -p "$base" "$work/mailboxes"

echo "== the test exchange server"
printf 'alice alice-pass PID-ALICE\nbob bob-pass PID-BOB\n' > "$work/accounts"
$build/testing/exchange_server --cert $build/pki/good.pem --key $build/pki/good-key.pem \
  --port-file "$work/port" --accounts "$work/accounts" --mailboxes "$work/mailboxes" \
  --journal "$work/journal" > "$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
port=$(cat "$work/port")
echo "listening on https://127.0.0.1:$port (accounts alice and bob)"

echo "== zel -g, then two accounts and the server's port"
cp $build/service/zel "$base/"
"$base/zel" -g
mkdir -p "$base"/{in,out,bad,queue,temp,log}
alice=$($build/testing/zel_seal alice alice-pass)
bob=$($build/testing/zel_seal bob bob-pass)
sed -i "s|  <Accounts>\r|  <Accounts>\r\n    <Account name=\"Alice\" ParticipantID=\"PID-ALICE\" login=\"alice\" password=\"$alice\" notify=\"false\" phone=\"\" timeout=\"15\" hostid=\"0\" />\r\n    <Account name=\"Bob\" ParticipantID=\"PID-BOB\" login=\"bob\" password=\"$bob\" notify=\"false\" phone=\"\" timeout=\"15\" hostid=\"1\" />\r|; s|<Server port=\"443\"|<Server port=\"$port\"|; s|textmessage=\"false\"|textmessage=\"true\"|" "$base/config.xml"
cat "$base/config.xml"

envelope() {  # participant envelope-id text
  cat <<XML
<?xml version="1.0" encoding="utf-8"?>
<env:Envelope xmlns:env="http://www.w3.org/2001/06/soap-envelope">
  <env:Header>
    <ed:EDHeader xmlns:ed="urn:demo:EDHeader"><ed:ParticipantID>$1</ed:ParticipantID></ed:EDHeader>
    <roi:RoutingInf xmlns:roi="urn:demo:RoutingInf"><roi:EnvelopeID>$2</roi:EnvelopeID></roi:RoutingInf>
  </env:Header>
  <env:Body><Declaration>$3</Declaration></env:Body>
</env:Envelope>
XML
}
envelope PID-ALICE alice-decl-1 "declaration from Alice" > "$base/out/declaration-alice.xml"
envelope PID-BOB bob-decl-1 "declaration from Bob" > "$base/out/declaration-bob.xml"
echo "<not an envelope>" > "$base/out/broken.xml"
envelope PID-ALICE answer-1 "the customs office's answer" > "$work/mailboxes/alice/inbox/answer-1.xml"
echo "Добрый день! The exchange server will be down on Sunday." > "$work/mailboxes/alice/inbox/NOTE.TXT"
echo "== outbound: $(ls "$base/out" | tr '\n' ' ')"
echo "== alice's mailbox on the server: $(ls "$work/mailboxes/alice/inbox" | tr '\n' ' ')"

# The unit's ProtectSystem=full, ReadWritePaths=/etc/zel and PrivateTmp=yes, rebuilt with bubblewrap;
# the demo's own folder is bound back in, as a configured folder outside /tmp would simply be there.
confined() {
  local ro=(--ro-bind /usr /usr --ro-bind /etc /etc)
  [ -d /boot ] && ro+=(--ro-bind /boot /boot)
  bwrap --bind / / "${ro[@]}" --bind-try /etc/zel /etc/zel --dev /dev --proc /proc --tmpfs /tmp \
    --bind "$work" "$work" --die-with-parent "$@"
}
echo "== confined: a write to /usr: $(confined sh -c 'touch /usr/zel-probe 2>&1 | sed "s/.*: //"'); /tmp holds only: $(confined ls /tmp)"

echo "== zel -f, confined (stopped with Ctrl-C once everything has arrived)"
SSL_CERT_FILE=$PWD/$build/pki/ca.pem ZEL_SERVER_HOSTS=localhost,127.0.0.1,127.0.0.1,127.0.0.1,127.0.0.1 \
  ZEL_CONSOLE_RECORD=$work/console ZEL_STATE_DIR=$work/state confined --info-fd 3 "$base/zel" -f 3>"$work/bwrap.info" &
bwrap_pid=$!
for _ in $(seq 100); do grep -q child-pid "$work/bwrap.info" 2>/dev/null && break; sleep 0.05; done
zel_pid=$(sed -n 's/.*"child-pid": *\([0-9]*\).*/\1/p' "$work/bwrap.info")
for _ in $(seq 200); do
  [ -f "$base/in/answer-1.xml" ] && [ -f "$work/mailboxes/bob/posted/bob-decl-1.xml" ] &&
    [ -f "$work/mailboxes/alice/posted/alice-decl-1.xml" ] && [ ! -f "$work/mailboxes/alice/inbox/answer-1.xml" ] && break
  sleep 0.1
done
kill -INT "$zel_pid"
wait $bwrap_pid

echo "== on the server: what zel posted"
ls -R "$work/mailboxes"/*/posted
echo "== alice's mailbox on the server now: $(ls "$work/mailboxes/alice/inbox" | tr '\n' ' ')"
echo "== inbound folder"; ls "$base/in"
echo "== bad folder"; ls "$base/bad"
echo "== shown at the console"; cat "$work/console" | tr '\036' '\n'
echo "== the server's request journal"; cat "$work/journal"
cmp "$base/in/answer-1.xml" <(envelope PID-ALICE answer-1 "the customs office's answer") && echo "answer-1.xml arrived byte for byte"
cmp "$work/mailboxes/alice/posted/alice-decl-1.xml" <(envelope PID-ALICE alice-decl-1 "declaration from Alice") &&
  echo "declaration-alice.xml arrived at the server byte for byte"
