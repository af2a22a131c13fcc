#!/usr/bin/env bash
# Makes a test certificate authority and server certificates in folder $1, with the openssl
# command line only: good.pem (localhost and 127.0.0.1), wrongname.pem, expired.pem, selfsigned.pem,
# untrusted.pem (issued by a CA nobody trusts), hostile.pem (127.0.0.2, for the hostile test
# server), each with its -key.pem; ca.pem is the trusted root.
set -euo pipefail
out=$1
mkdir -p "$out"
cd "$out"
[ -f hostile.pem ] && exit 0
quiet() { "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }; }

ca() {  # name subject
  quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1-key.pem" -out "$1.pem" -days 3650 -subj "$2" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
}
ca ca "/CN=zel test CA"
ca rogue "/CN=zel rogue CA"

cat > server.ext <<EXT
basicConstraints=CA:FALSE
keyUsage=digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=DNS:localhost,IP:127.0.0.1
EXT
cat > other.ext <<EXT
basicConstraints=CA:FALSE
extendedKeyUsage=serverAuth
subjectAltName=DNS:other.example
EXT

issue() {  # name issuer extfile [days]
  quiet openssl req -newkey rsa:2048 -nodes -keyout "$1-key.pem" -out "$1.csr" -subj "/CN=$1"
  quiet openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2-key.pem" -CAcreateserial -out "$1.pem" \
    -days "${4:-825}" -extfile "$3"
}
cat > hostile.ext <<EXT
basicConstraints=CA:FALSE
extendedKeyUsage=serverAuth
subjectAltName=IP:127.0.0.2
EXT
issue good ca server.ext
issue hostile ca hostile.ext
issue wrongname ca other.ext
issue untrusted rogue server.ext

# Expired: valid for one day, a year ago, issued through openssl ca, which takes explicit dates.
mkdir -p db && : > db/index.txt && echo 01 > db/serial
cat > ca.cnf <<CNF
[ ca ]
default_ca = test
[ test ]
database = db/index.txt
serial = db/serial
new_certs_dir = db
certificate = ca.pem
private_key = ca-key.pem
default_md = sha256
policy = any
copy_extensions = none
[ any ]
commonName = supplied
CNF
quiet openssl req -newkey rsa:2048 -nodes -keyout expired-key.pem -out expired.csr -subj "/CN=localhost"
past=$(date -u -d '1 year ago' +%y%m%d%H%M%SZ)
pastEnd=$(date -u -d '1 year ago + 1 day' +%y%m%d%H%M%SZ)
quiet openssl ca -batch -config ca.cnf -in expired.csr -out expired.pem -startdate "$past" -enddate "$pastEnd" \
  -extfile server.ext -notext

quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout selfsigned-key.pem -out selfsigned.pem -days 825 \
  -subj "/CN=localhost" -addext "subjectAltName=DNS:localhost,IP:127.0.0.1"
