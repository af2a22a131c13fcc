#!/usr/bin/env bash
# zel-config started by an ordinary user: without pkexec, and with a pkexec that fails (the user
# cancels, or no polkit daemon answers), it shows a clear error box and leaves config.xml alone.
# The box text is echoed on stderr, which is how this script sees it. usage: ordinary_user.sh ZEL_CONFIG
set -euo pipefail
tool=$1
if [ "$(id -u)" != 0 ] || ! command -v setpriv >/dev/null; then
  echo "skipped: becoming the user nobody needs root and setpriv"
  exit 77
fi
dir=$(mktemp -d)
pid=
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$dir"; }
trap cleanup EXIT
chmod 755 "$dir"
mkdir "$dir/app" "$dir/nopkexec" "$dir/pkexec" "$dir/home"
chmod 777 "$dir/home"
cp "$tool" "$dir/app/zel-config"
printf '<?xml version="1.0" encoding="utf-8" ?>\r\n<config>\r\n  <Basedir path="/tmp" />\r\n</config>\r\n' >"$dir/app/config.xml"
chmod 666 "$dir/app/config.xml"
before=$(stat -c '%s %Y %a %U' "$dir/app/config.xml")$(sha256sum <"$dir/app/config.xml")
for code in 126 127; do
  printf '#!/bin/sh\necho "$@" >>%s/home/pkexec-calls\nexit %s\n' "$dir" "$code" >"$dir/pkexec/pkexec-$code"
  chmod 755 "$dir/pkexec/pkexec-$code"
done

run() {  # PATH, expected start of the box text
  rm -f "$dir/home/err"
  setpriv --reuid=nobody --regid=nogroup --clear-groups \
    env -i PATH="$1" HOME="$dir/home" QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$dir/home" \
    "$dir/app/zel-config" 2>"$dir/home/err" &
  pid=$!
  for _ in $(seq 200); do
    grep -q "^zel-config: $2" "$dir/home/err" 2>/dev/null && break
    sleep 0.1
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  pid=
  if ! grep -q "^zel-config: $2" "$dir/home/err"; then
    echo "FAIL: no box \"$2\"; stderr was:"
    cat "$dir/home/err"
    exit 1
  fi
  echo "ok: $(grep -A1 '^zel-config:' "$dir/home/err" | tr '\n' ' ')"
}

run "$dir/nopkexec" "Для изменения конфигурации нужны права администратора."
for code in 126 127; do
  ln -sf "$dir/pkexec/pkexec-$code" "$dir/pkexec/pkexec"
  run "$dir/pkexec" "Не удалось получить права администратора (pkexec, код $code)."
done
grep -q "$dir/app/zel-config" "$dir/home/pkexec-calls" || { echo "FAIL: pkexec was not asked to run the tool"; exit 1; }
after=$(stat -c '%s %Y %a %U' "$dir/app/config.xml")$(sha256sum <"$dir/app/config.xml")
[ "$before" = "$after" ] || { echo "FAIL: config.xml changed: $before -> $after"; exit 1; }
echo "config.xml unchanged"
