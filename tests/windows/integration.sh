#!/usr/bin/env bash
# zel.exe as a Windows service under Wine, end to end, in a private prefix: zel -i installs it and
# the service control manager starts it; it exchanges documents both ways with the Linux test
# exchange server over TLS 1.2 (the test CA in the prefix's ROOT store) and offers the document it
# received over POP3 (the mail gateway's Winsock listeners); a document another Wine
# process holds open without sharing is not taken until released; pause, continue and stop go
# through ControlService; a server with an untrusted CA and one with a wrong host name are refused
# with their policy statuses; zel -u removes the service. The base folder, the program's folder and
# the document folders have Cyrillic names. The service's events are read from Wine's trace of
# ReportEventW (Wine keeps no event log), and its configuration backup from the registry. Everything
# it starts ends with it.
# Usage: integration.sh WINDOWS_BUILD LINUX_BUILD WORKDIR
set -euo pipefail
win=$(cd "$1" && pwd) lin=$(cd "$2" && pwd) work=$3
src=$(cd "$(dirname "$0")/../.." && pwd)
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

base_name="Обмен"                  # C:\Обмен: the program, its configuration and the folders
out_name="Исходящие" in_name="Входящие"
base=$WINEPREFIX/drive_c/$base_name
winbase="C:\\$base_name"
log() { cat "$base"/log/*.log 2>/dev/null; }
fail() {
  echo "FAIL: $*" >&2
  echo "--- the service's logs" >&2
  log >&2 || true
  echo "--- the exchange server" >&2
  cat "$work"/*.out >&2 2>/dev/null || true
  exit 1
}
pass() { echo "ok: $*"; }
# Waits up to $1 seconds for the command after it to succeed.
waitfor() {
  local seconds=$1
  shift
  for _ in $(seq $((seconds * 10))); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  return 1
}
ctl() { wine "$win/tests/windows/service_ctl.exe" "$@" | tr -d '\r'; }
zel() { wine "$winbase\\zel.exe" "$@" | tr -d '\r'; }
logged() { log | grep -qiF -- "$1"; }

# --- the Linux side: test PKI, whose servers send their issuer too (Wine checks only whole chains)
pki=$work/pki
bash "$src/testing/make-test-pki.sh" "$pki"
cat "$pki/good.pem" "$pki/ca.pem" > "$pki/good-chain.pem"
cat "$pki/untrusted.pem" "$pki/rogue.pem" > "$pki/untrusted-chain.pem"
cat "$pki/wrongname.pem" "$pki/ca.pem" > "$pki/wrongname-chain.pem"
printf 'alice alice-pass PID-ALICE\n' > "$work/accounts"
mkdir -p "$work/mailboxes/alice/inbox"
server() {  # name certificate
  "$lin/testing/exchange_server" --cert "$pki/$2-chain.pem" --key "$pki/$2-key.pem" --port-file "$work/$1.port" \
    --accounts "$work/accounts" --mailboxes "$work/mailboxes" --journal "$work/$1.journal" > "$work/$1.out" 2>&1 &
  pids+=($!)
}
server GOOD good
server UNTRUSTED untrusted
server WRONGNAME wrongname
for name in GOOD UNTRUSTED WRONGNAME; do
  waitfor 10 test -s "$work/$name.port" || fail "the $name exchange server did not start"
done
port() { cat "$work/$1.port"; }

envelope() {  # participant envelope-id text
  printf '<?xml version="1.0" encoding="utf-8"?>\r\n<env:Envelope xmlns:env="http://www.w3.org/2001/06/soap-envelope"><env:Header>'
  printf '<ed:EDHeader xmlns:ed="urn:t"><ed:ParticipantID>%s</ed:ParticipantID></ed:EDHeader>' "$1"
  printf '<roi:RoutingInf xmlns:roi="urn:t"><roi:EnvelopeID>%s</roi:EnvelopeID>' "$2"
  printf '<roi:SenderInformation>smtp://customs.example/office</roi:SenderInformation>'
  printf '<roi:ReceiverInformation>smtp://client.example/alice</roi:ReceiverInformation></roi:RoutingInf>'
  printf '</env:Header><env:Body><D>%s</D></env:Body></env:Envelope>\r\n' "$3"
}
posted() { test -f "$work/mailboxes/alice/posted/$1.xml"; }

# --- the prefix: the test CA in the local machine's ROOT store, the server names in the system
# environment (read by the service manager once per wineserver, so the prefix is restarted)
wine wineboot -i > /dev/null 2>&1
wine "$win/tests/windows/trust_root.exe" "$pki/ca.pem" > /dev/null || fail "the test CA could not be trusted"
wine reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v ZEL_SERVER_HOSTS \
  /d localhost,localhost,localhost,localhost,localhost /f > /dev/null
wineserver -w

# --- zel -g beside the program in the Cyrillic folder, then the account, the port and the folders
mkdir -p "$base"
cp "$win/service/zel.exe" "$base/"
out=$(zel -g)
[ "$out" = "Config file C:/$base_name/config.xml generated successfully" ] || fail "zel -g said: $out"
password=$("$lin/testing/zel_seal" alice alice-pass)
pop3_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
smtp_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sed -i "s|<Mailserver enabled=\"false\" smtp_port=\"25\" pop3_port=\"110\"|<Mailserver enabled=\"true\" smtp_port=\"$smtp_port\" pop3_port=\"$pop3_port\"|" \
  "$base/config.xml"
grep -q "pop3_port=\"$pop3_port\"" "$base/config.xml" || fail "the mail gateway could not be turned on"
sed -i "s|  <Accounts>\r|  <Accounts>\r\n    <Account name=\"Alice\" ParticipantID=\"PID-ALICE\" login=\"alice\" password=\"$password\" notify=\"false\" phone=\"\" timeout=\"15\" hostid=\"0\" />\r|; s|<Server port=\"443\"|<Server port=\"$(port GOOD)\"|; s|\$basedir/out\"|\$basedir/$out_name\"|; s|\$basedir/in\"|\$basedir/$in_name\"|" \
  "$base/config.xml"
mkdir -p "$base/$out_name" "$base/$in_name" "$base"/{bad,queue,temp,log}
pass "zel -g wrote config.xml in C:\\$base_name"

# What the service finds when it starts: one document to send, one waiting on the server.
envelope PID-ALICE out-1 "from Windows" > "$base/$out_name/декларация.xml"
envelope PID-ALICE in-1 "to Windows" > "$work/mailboxes/alice/inbox/ответ.xml"

# --- zel -i, and the service manager starts the service (automatic start, at the prefix's boot)
out=$(zel -i)
[ "$out" = "Service installed successfully" ] || fail "zel -i said: $out"
wineserver -k
wineserver -w
wineserver -p  # the prefix stays up while the service runs, with no other program in it
# This first program boots the prefix: the service manager, and the services it starts, inherit its
# standard error and its trace of the event log calls.
WINEDEBUG=-all,+eventlog,fixme+advapi wine "$win/tests/windows/service_ctl.exe" wait RUNNING 30 \
  2> "$work/events.trace" > /dev/null || fail "the service did not start: $(ctl query)"
accepts=$(ctl query)
[[ $accepts == "RUNNING accepts 0x47 "* ]] || fail "running, the service accepts: $accepts"
waitfor 20 logged "started" || fail "no start line"
pass "zel -i installed the service and the service manager started it ($accepts)"

# --- both ways over TLS 1.2
waitfor 30 posted out-1 || fail "out-1 was not posted"
cmp -s "$work/mailboxes/alice/posted/out-1.xml" <(envelope PID-ALICE out-1 "from Windows") || fail "out-1 arrived changed"
waitfor 30 test -f "$base/$in_name/ответ.xml" || fail "in-1 did not arrive in $in_name"
cmp -s "$base/$in_name/ответ.xml" <(envelope PID-ALICE in-1 "to Windows") || fail "in-1 arrived changed"
waitfor 10 test ! -e "$base/$out_name/декларация.xml" || fail "the sent document stayed in $out_name"
pass "a document went up and one came down, byte for byte, through folders with Cyrillic names"

# --- the mail gateway: the inbound document as a mail over POP3 (Winsock listeners, the mail with
# a CryptoAPI boundary), left on the server
mail=$(python3 - "$pop3_port" <<'PY'
import base64, email, poplib, sys
pop = poplib.POP3("127.0.0.1", int(sys.argv[1]), timeout=20)
pop.user("alice")
pop.pass_("alice-pass")
count, _ = pop.stat()
message = email.message_from_bytes(b"\r\n".join(pop.retr(1)[1]))
pop.quit()
for part in message.walk():
    if part.get_filename():
        print(count, message.get_content_type(), part.get_payload(decode=True).decode())
PY
) || fail "POP3 failed"
[[ $mail == "1 multipart/mixed "*"<D>to Windows</D>"* ]] || fail "POP3 offered: $mail"
pass "the mail gateway offered the inbound document over POP3"

# --- a document another Wine process holds open without sharing waits for it
# The holder writes the document itself while it holds it, so the service never sees it free before.
envelope PID-ALICE held-1 "held" > "$base/held.source"
wine "$win/tests/windows/hold_file.exe" "$winbase\\$out_name\\held.xml" "$winbase\\held.source" &
holder=$!
pids+=($holder)
waitfor 10 test -f "$base/$out_name/held.xml.held" || fail "hold_file did not take the file"
sleep 4  # several passes of the loop
posted held-1 && fail "a held document was taken"
test -f "$base/$out_name/held.xml" || fail "a held document was moved"
touch "$base/$out_name/held.xml.release"
wait "$holder" || fail "hold_file failed"
waitfor 20 posted held-1 || fail "the released document was not sent"
pass "a document held open without sharing by another process was taken only once released"

# --- pause, continue and stop through ControlService
ctl pause > /dev/null || fail "ControlService pause failed"
ctl wait PAUSED 20 > /dev/null || fail "not paused: $(ctl query)"
waitfor 10 logged "paused" || fail "no pause line"
envelope PID-ALICE paused-1 "while paused" > "$base/$out_name/paused.xml"
sleep 3
posted paused-1 && fail "a paused service sent a document"
ctl continue > /dev/null || fail "ControlService continue failed"
ctl wait RUNNING 20 > /dev/null || fail "not running again: $(ctl query)"
waitfor 10 logged "resumed" || fail "no resume line"
waitfor 20 posted paused-1 || fail "the document was not sent after continue"
ctl stop > /dev/null || fail "ControlService stop failed"
ctl wait STOPPED 30 > /dev/null || fail "not stopped: $(ctl query)"
waitfor 10 logged "stopped" || fail "no stop line"
pass "pause, continue and stop through ControlService, with their log lines"

# --- the event log: ReportEventW with each notice as its one insertion string and the information
# event's identifier
for notice in started paused resumed stopped; do
  grep -qF "L\"Velmor Carvoss v. 2.1.0444 $notice\"" "$work/events.trace" || fail "no $notice event"
done
grep -qE 'ReportEventW \([0-9A-F]+,0x0004,0x0000,0x40020bb8,[0-9A-F]+,0x0001,' "$work/events.trace" ||
  fail "no information event with identifier 0x40020bb8: $(grep ReportEventW "$work/events.trace" | head -3)"
pass "start, pause, continue and stop reported to the event log as information events 0x40020BB8"

# --- the configuration backup: stored in the registry key zel -i made; a broken config.xml is
# restored from it at the next start, with every folder expanded
backup=$(wine reg query 'HKLM\SOFTWARE\Velmor\CarvossService' /v config.backup 2>/dev/null | tr -d '\r')
[[ $backup == *"REG_BINARY"* ]] || fail "no backup value in the registry: $backup"
printf '<config><broken' > "$base/config.xml"
ctl start > /dev/null || fail "StartService with a broken config.xml failed"
waitfor 30 grep -qF "<Outbound path=\"C:/$base_name/$out_name\"" "$base/config.xml" ||
  fail "config.xml was not restored: $(head -c 300 "$base/config.xml")"
ctl wait RUNNING 30 > /dev/null || fail "the restored service does not run"
# Wine's trace writes the Cyrillic letters as escapes.
waitfor 20 grep -qE 'L"Restoring config file C:/[^"]*/config.xml"' "$work/events.trace" || fail "no restore event"
# The parse error before it: an error event with the message's two lines as two insertion strings.
grep -qE 'ReportEventW \([0-9A-F]+,0x0001,0x0000,0xc00203e8,[0-9A-F]+,0x0002,' "$work/events.trace" ||
  fail "no two-string error event 0xC00203E8 for the broken file"
ctl stop > /dev/null
ctl wait STOPPED 30 > /dev/null || fail "not stopped after the restore"
pass "the backup in HKLM\\SOFTWARE\\Velmor\\CarvossService restored a broken config.xml"

# --- servers that must be refused: an untrusted root and a certificate for another name
refused() {  # server status
  sed -i "s|<Server port=\"[0-9]*\"|<Server port=\"$(port "$1")\"|" "$base/config.xml"
  ctl start > /dev/null || fail "StartService failed"
  ctl wait RUNNING 30 > /dev/null || fail "the service did not start again"
  waitfor 30 logged "Certificate verification error: " || fail "$1: no certificate error"
  log | grep -i "Certificate verification error: " | tail -1 | grep -qi "($2)" ||
    fail "$1: $(log | grep -i 'Certificate verification error' | tail -1), not $2"
  ctl stop > /dev/null
  ctl wait STOPPED 30 > /dev/null || fail "not stopped after $1"
  pass "$1 refused: $(log | grep -i 'Certificate verification error' | tail -1 | sed 's/^.*error: //')"
  mkdir -p "$work/old-logs/$1" && mv "$base"/log/*.log "$work/old-logs/$1/"
}
mkdir -p "$work/old-logs/good" && mv "$base"/log/*.log "$work/old-logs/good/"
refused UNTRUSTED 0x800b0109
refused WRONGNAME 0x800b010f
[ ! -s "$work/UNTRUSTED.journal" ] && [ ! -s "$work/WRONGNAME.journal" ] || fail "a refused server was sent a request"

# --- zel -u
out=$(zel -u)
[ "$out" = "Service uninstalled successfully" ] || fail "zel -u said: $out"
out=$(ctl query || true)
[ "$out" = "OpenService error 1060" ] || fail "after zel -u the service manager says: $out"
pass "zel -u removed the service"
