#!/usr/bin/env bash
# Computes stored-password vectors without any zel code: the CryptoAPI key derivation in python3's
# hashlib, the Triple-DES encryption with the openssl command line. Prints "login<TAB>password<TAB>stored".
set -euo pipefail
vector() {
  local login=$1 password=$2
  local key
  key=$(python3 - "$login" <<'PY'
import hashlib, sys
h = hashlib.sha1(sys.argv[1].encode()).digest()
b1 = bytes(x ^ y for x, y in zip(h.ljust(64, b"\0"), b"\x36" * 64))
b2 = bytes(x ^ y for x, y in zip(h.ljust(64, b"\0"), b"\x5c" * 64))
print((hashlib.sha1(b1).digest() + hashlib.sha1(b2).digest())[:24].hex())
PY
)
  local stored
  stored=$(printf '%s' "$password" | openssl enc -des-ede3-cbc -K "$key" -iv 0000000000000000 -nosalt | base64 -w0)
  printf '%s\t%s\t%s\n' "$login" "$password" "$stored"
}
vector "user1" ""
vector "user1" "secret"
vector "user1" "12345678"
vector "Иванов" "пароль-Пароль"
vector "LOGIN" "a much longer password with spaces & symbols <>\""
vector "Amber lanterns drift above the quiet harbour while seven patient clockmakers polish brass gears beneath the northern arches." "<config/>"
