#!/usr/bin/env bash
# RETR of one 100 MB document through zel's POP3 against Dovecot's POP3 (Debian's dovecot-pop3d,
# started here on private ports, with a Maildir holding the message zel composes for the same
# document), both fetched by the same curl; then the mailbox load of 10,000 small documents.
# Prints a table of both servers with their ratio, and zel's peak RSS. Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test >/dev/null
launcher=(); command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build/bench-pop3 -DCMAKE_BUILD_TYPE=Release -DZEL_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build build/bench-pop3 -j"$(nproc)" --target zel zel_seal -- --no-print-directory >/dev/null
bin=$PWD/build/bench-pop3

work=$(mktemp -d /tmp/zelbench.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [ -f "$work/dovecot/run/master.pid" ] && kill "$(cat "$work/dovecot/run/master.pid")" 2>/dev/null || true
  sleep 0.3
  rm -rf "$work"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 200); do (echo >/dev/tcp/127.0.0.1/$1) 2>/dev/null && return 0; sleep 0.05; done; return 1; }
size_mb=${ZEL_BENCH_MB:-100}

# zel with one account, its mailbox holding the document.
base=$work/zel
mkdir -p "$base"/{in/alice,out,bad,queue,temp,log,state}
smtp=$(free_port); pop3=$(free_port)
cat > "$base/config.xml" <<XML
<config><Basedir path='$base'/><Inbound path='\$basedir/in'/><Outbound path='\$basedir/out'/>
<Bad path='\$basedir/bad'/><Queue path='\$basedir/queue'/><Temp path='\$basedir/temp'/>
<Logfile path='\$basedir/log/zel.log'/><Subdirs enabled='true' bylogin='true'/>
<Accounts><Account name='alice' ParticipantID='PID-A' login='alice' password='$("$bin/testing/zel_seal" alice secret)'/></Accounts>
<Server port='1' refresh='100000' list='/l' get='/g' post='/p' remove='/r'/>
<Mailserver enabled='true' smtp_port='$smtp' pop3_port='$pop3'/></config>
XML
python3 - "$base/in/alice/big.xml" "$size_mb" <<'PY'
import sys
path, mb = sys.argv[1], int(sys.argv[2])
head = (b"<?xml version='1.0'?><Envelope><RoutingInf><EnvelopeID>BIG-1</EnvelopeID>"
        b"<SenderInformation>smtp://h.example/s</SenderInformation>"
        b"<ReceiverInformation>smtp://r.example/alice</ReceiverInformation></RoutingInf><Body>")
line = b"<Item>0123456789abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ</Item>\n"
with open(path, "wb") as f:
    f.write(head)
    for _ in range(mb * 1024 * 1024 // len(line)):
        f.write(line)
    f.write(b"</Body></Envelope>")
PY
ZEL_SERVER_HOSTS=127.0.0.1,127.0.0.1,127.0.0.1,127.0.0.1,127.0.0.1 NOTIFY_SOCKET= ZEL_STATE_DIR=$base/state \
  "$bin/service/zel" -f -c "$base/config.xml" >"$work/zel.out" 2>&1 &
zel_pid=$!
pids+=("$zel_pid")
wait_port "$pop3"

# The same message for Dovecot: what zel composes, stored in a Maildir.
dc=$work/dovecot
mkdir -p "$dc"/{run,state,home/alice/Maildir/{cur,new,tmp}}
# The first fetch also reads the document's envelope (later loads take it from the envelope cache).
first=$(curl -sS -u alice:secret "pop3://127.0.0.1:$pop3/1" -o "$dc/message" -w '%{time_total}')
bytes=$(stat -c %s "$dc/message")  # curl's own download count of a POP3 body is not the message's size
mv "$dc/message" "$dc/home/alice/Maildir/cur/1.M1P1.bench:2,S"
chown -R nobody:nogroup "$dc/home"
dport=$(free_port)
echo "alice:{PLAIN}secret:65534:65534::$dc/home/alice::" > "$dc/passwd"
cat > "$dc/dovecot.conf" <<CONF
protocols = pop3
listen = 127.0.0.1
base_dir = $dc/run
state_dir = $dc/state
log_path = $dc/dovecot.log
ssl = no
disable_plaintext_auth = no
first_valid_uid = 1
mail_location = maildir:~/Maildir
pop3_uidl_format = %f
passdb {
  driver = passwd-file
  args = $dc/passwd
}
userdb {
  driver = passwd-file
  args = $dc/passwd
}
service pop3-login {
  inet_listener pop3 {
    port = $dport
  }
  inet_listener pop3s {
    port = 0
  }
}
service imap-login {
  inet_listener imap {
    port = 0
  }
}
CONF
/usr/sbin/dovecot -c "$dc/dovecot.conf"
wait_port "$dport"

fetch() {  # port: seconds of the best of three RETRs, and the message's size
  local best=""
  for _ in 1 2 3; do
    r="$(curl -sS -u alice:secret "pop3://127.0.0.1:$1/1" -o /dev/null -w '%{time_total}') $bytes"
    if [ -z "$best" ] || awk -v a="${r% *}" -v b="${best% *}" 'BEGIN{exit !(a<b)}'; then best=$r; fi
  done
  echo "$best"
}
zel_r=$(fetch "$pop3")
dc_r=$(fetch "$dport")
rss=$(awk '/VmHWM/{print $2}' /proc/$zel_pid/status)
printf '\nRETR of a %d MB document (a message of %s bytes), best of 3, curl:\n' "$size_mb" "$bytes"
printf '%-10s %10s %12s\n' server seconds MB/s
for row in "zel $zel_r" "dovecot $dc_r"; do
  set -- $row
  printf '%-10s %10.3f %12.1f\n' "$1" "$2" "$(awk -v s="$2" -v b="$3" 'BEGIN{print b/s/1e6}')"
done
awk -v z="${zel_r% *}" -v d="${dc_r% *}" 'BEGIN{printf "zel/dovecot throughput ratio %.2f\n", d/z}'
awk -v f="$first" -v b="${zel_r#* }" 'BEGIN{printf "zel first fetch, envelope read included: %.3f s, %.1f MB/s\n", f, b/f/1e6}'
printf 'zel peak RSS %.1f MiB (target 16)\n' "$(awk -v k="$rss" 'BEGIN{print k/1024}')"

[ "${ZEL_BENCH_LOAD:-1}" = 0 ] && exit 0
# The mailbox load: 10,000 small documents, timed from PASS to the answer of STAT.
python3 - "$base/in/alice" <<'PY'
import os, sys
folder = sys.argv[1]
os.remove(os.path.join(folder, "big.xml"))
for i in range(10000):
    with open(os.path.join(folder, "d%05d.xml" % i), "w") as f:
        f.write("<Envelope><RoutingInf><EnvelopeID>E%05d</EnvelopeID><SenderInformation>smtp://h/s"
                "</SenderInformation><ReceiverInformation>smtp://r/t</ReceiverInformation></RoutingInf>"
                "<Body>%s</Body></Envelope>" % (i, "x" * 300))
PY
python3 - "$pop3" <<'PY'
import poplib, sys, time
box = poplib.POP3("127.0.0.1", int(sys.argv[1]), timeout=300)
box.user("alice")
start = time.monotonic()
box.pass_("secret")
count, size = box.stat()
loaded = time.monotonic() - start
start = time.monotonic()
_, listing, _ = box.list()
listed = time.monotonic() - start
box.quit()
print("\nmailbox of %d documents: load %.3f s (%.1f us per document), LIST %.3f s" %
      (count, loaded, loaded / count * 1e6, listed))
PY
