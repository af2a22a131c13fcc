#!/usr/bin/env bash
# Runs the Windows cryptography tests under Wine in a fresh private prefix: makes the test PKI,
# trusts its CA in the prefix's local-machine ROOT store, starts the peers on the Linux side
# (openssl s_server with TLS 1.2, testing/tls_server and the test exchange server, both built here)
# and names their ports in ZEL_WIN_PORT_*. Every peer and the prefix's wineserver end with it.
# Usage: run-crypto-tests.sh TESTS.exe TRUST_ROOT.exe WORKDIR [gtest arguments...]
set -euo pipefail
tests=$1 trust=$2 work=$3
shift 3
src=$(cd "$(dirname "$0")/../.." && pwd)
rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  rm -rf "$work/prefix"
}
trap cleanup EXIT

pki=$work/pki
"$src/testing/make-test-pki.sh" "$pki"
# Each server sends its issuer too, so the chain is whole and Wine really checks its root.
for pair in good:ca wrongname:ca untrusted:rogue; do
  cat "$pki/${pair%%:*}.pem" "$pki/${pair#*:}.pem" > "$pki/${pair%%:*}-chain.pem"
done
g++ -O2 -std=c++20 -I"$src" "$src/testing/tls_server.cpp" -o "$work/tls_server" -lssl -lcrypto -lz
# shellcheck disable=SC2046
g++ -O1 -std=c++20 -I"$src" $(pkg-config --cflags cpp-httplib) "$src/testing/exchange_server.cpp" \
  -o "$work/exchange_server" $(pkg-config --libs cpp-httplib) -lssl -lcrypto -lz -pthread
mkdir -p "$work/mailboxes/user1/inbox"
echo "user1 pw1 P1" > "$work/accounts"
printf '<a>123456</a>' > "$work/mailboxes/user1/inbox/doc.xml"

wine "$trust" "$pki/ca.pem"

# openssl s_server: name cert chain-file; the port is read from its ACCEPT line.
s_server() {
  openssl s_server -accept 0 -tls1_2 -www -cert "$pki/$2.pem" -key "$pki/$2-key.pem" -cert_chain "$pki/$3.pem" \
    > "$work/$1.out" 2>&1 &
  pids+=($!)
}
tls_server() {  # name [--split]
  "$work/tls_server" --cert "$pki/good-chain.pem" --key "$pki/good-key.pem" --port-file "$work/$1.port" "${@:2}" \
    > "$work/$1.out" 2>&1 &
  pids+=($!)
}
exchange_server() {  # name cert
  "$work/exchange_server" --cert "$pki/$2-chain.pem" --key "$pki/$2-key.pem" --port-file "$work/$1.port" \
    --accounts "$work/accounts" --mailboxes "$work/mailboxes" --journal "$work/$1.journal" > "$work/$1.out" 2>&1 &
  pids+=($!)
}
s_server GOOD good ca
s_server WRONGNAME wrongname ca
s_server UNTRUSTED untrusted rogue
s_server EXPIRED expired ca
tls_server RECORDS
tls_server SPLIT --split
exchange_server EXCHANGE good
exchange_server EXCHANGE_WRONGNAME wrongname
exchange_server EXCHANGE_UNTRUSTED untrusted
for name in GOOD WRONGNAME UNTRUSTED EXPIRED RECORDS SPLIT EXCHANGE EXCHANGE_WRONGNAME EXCHANGE_UNTRUSTED; do
  port=
  for _ in $(seq 100); do
    if [ -s "$work/$name.port" ]; then port=$(cat "$work/$name.port"); fi
    [ -z "$port" ] && port=$(sed -n 's/^ACCEPT .*:\([0-9]*\)$/\1/p' "$work/$name.out" 2>/dev/null || true)
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { echo "run-crypto-tests.sh: the $name server did not start" >&2; cat "$work/$name.out" >&2; exit 1; }
  export "ZEL_WIN_PORT_$name=$port"
done

# Boundaries first, while the prefix's account has no key container: the cipher makes one.
wine "$tests" --gtest_filter='CryptoApiBoundary.*'
wine "$tests" "$@"
